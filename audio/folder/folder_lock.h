// The advisory lock of a recording folder. record holds it shared for its
// whole run; join and compact take it exclusively, so that they never merge,
// delete or copy a file that is still being recorded. The lock is taken on
// the folder itself (flock), so it adds no file to the folder, and it goes
// away with the process that holds it, however that process ends.
#pragma once

#include <filesystem>

namespace lumeno {

enum class FolderLock { held, busy, unavailable };

// A shared hold for a recording, kept until the process ends. busy while a
// folder tool holds the folder; unavailable when the folder cannot be opened.
FolderLock holdForRecording(const std::filesystem::path& folder);

// The exclusive hold of a folder tool, kept until the process ends. busy while
// a recording (or another tool) holds the folder; unavailable when the folder
// cannot be opened.
FolderLock holdForTool(const std::filesystem::path& folder);

}  // namespace lumeno
