// A check of an MPEG-4 file's sample tables before the demuxer sees them.
// The demuxer allocates, and zeroes, room for as many entries as a table
// claims before it reads them, so a damaged count in a box of a few bytes
// costs hundreds of megabytes and seconds. A table whose entries cannot all
// lie in its box, or that claims more samples than the file has bytes
// (every sample takes at least one), is damage.
// Called by openContainer on whichever thread opens a file; reads only box
// headers and table headers. Private to the platform folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumeno {

// What is wrong with the file's sample tables, or none when they are
// plausible or the file has none (another kind of file). A box cut off by the end of
// the file (a writer killed mid-fragment) is checked only against the file's
// size.
std::optional<std::string> implausibleSampleTables(const std::filesystem::path& file);

}  // namespace lumeno
