// inspect: describes a fully joined recording as one JSON line, and the
// format helpers that inspect and compact share.
#pragma once

#include <filesystem>
#include <optional>

#include "audio/platform/reader.h"

namespace lumeno {

// The inspect command: one JSON line on standard output, or a message and
// exit status 1. folder is absolute.
void inspectAudio(const std::filesystem::path& folder);

// The playback format of a file's first audio track; none without a format
// description.
std::optional<StreamDescription> playbackAudioFormat(const Asset& asset);

// True when file is already compact: HE-AAC at more than 0 and at most
// 20000 bits per second. False for anything unreadable.
bool isCompactAudio(const std::filesystem::path& file);

}  // namespace lumeno
