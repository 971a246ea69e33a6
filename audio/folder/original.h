// Links to the part files that join merged, kept in the recording folder's
// "original" folder under names no later run can collide with.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace lumeno {

// A fresh random UUID (version 4) in upper-case 8-4-4-4-12 text form.
std::string randomUuid();

// Makes folder/"original" if needed and hard-links file into it as
// UUID + "-" + the file's own name. Returns the first error; nothing is undone.
std::error_code retainAudio(const std::filesystem::path& file, const std::filesystem::path& folder);

}  // namespace lumeno
