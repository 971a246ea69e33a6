// compact: re-encodes a joined recording's two base files as HE-AAC at
// 16 kbit/s into a separate staging folder.
#pragma once

#include <filesystem>

namespace lumeno {

// The compact command: "null" when the recording is already compact, else the
// JSON description of the copies in staging; a message and exit status 1 on
// any failure, including a recording that still holds the folder. Both paths
// are absolute; the recording folder is only read.
void compactAudio(const std::filesystem::path& folder, const std::filesystem::path& staging);

}  // namespace lumeno
