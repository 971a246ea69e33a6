// A check of an MPEG-4 file's sample tables before the demuxer sees them.
// The demuxer allocates, and zeroes, room for as many entries as a table
// claims before it reads them, so a damaged count in a box of a few bytes
// costs hundreds of megabytes and seconds. Every entry of a sample table
// stands for at least one sample, and every sample takes at least one byte
// of the file, so tables of one kind that together claim more entries than
// the file has bytes are damage. A count that is merely larger than its box
// is left to the demuxer, which reads what is there: refusing it would lose
// the fragments around it.
// Called by openContainer on whichever thread opens a file; reads only box
// headers and table headers. Private to the platform folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumeno {

// What is wrong with the file's sample tables, or none when they are
// plausible or the file has none (another kind of file).
std::optional<std::string> implausibleSampleTables(const std::filesystem::path& file);

}  // namespace lumeno
