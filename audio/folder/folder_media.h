// The folder tools' view of the encoded-file reader, and what they share.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "audio/platform/reader.h"

namespace lumeno {

// openAsset() for a regular file (symbolic links followed); anything else (a
// folder, a FIFO, a device) is no media file and is never opened, so that a
// stray FIFO cannot block a tool.
Asset assetOf(const std::filesystem::path& file);
// AssetReader::make() with the same rule.
std::unique_ptr<AssetReader> readerOf(const std::filesystem::path& file);

// True for a file of size 0: a track killed before its first fragment went
// out. It holds no audio, so the folder tools pass over it (and keep it).
// False when the size cannot be read.
bool holdsNoAudio(const std::filesystem::path& file);

// The log's words for audio that did not decode and was replaced by
// silence: "42.7 ms of damaged audio replaced by silence".
std::string replacedBySilence(double replacedMs);

// A JSON number that prints without a fraction when it is integral.
nlohmann::json jsonNumber(double value);

}  // namespace lumeno
