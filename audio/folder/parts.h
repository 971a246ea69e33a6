// The recording folder's layout and part discovery.
//
// A recording folder holds, per source ("me", "them"): the base file
// name.m4a (part 0, or the whole recording once joined), later parts
// name.N.m4a (N >= 1), and one metadata file part.N.json per later part that
// places it on the recording's timeline (milliseconds from part 0's start).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumeno {

// The two sources of a recording, in the order every folder tool handles them.
inline constexpr const char* trackNames[] = {"me", "them"};

// One part file of a source.
struct PartEntry {
  int64_t part = 0;             // 0 for the base file, N >= 1 for a later part
  std::filesystem::path file;   // the part's audio file in the recording folder
  double startMs = 0;           // start on the recording's timeline; NaN when unknown
};

// folder / "part.N.json", N in decimal without sign or leading zeros.
std::filesystem::path partMetadataFile(const std::filesystem::path& folder, int64_t part);

// The "startMs" number of a part metadata file; none when the file is missing,
// not a small regular file, not JSON, not an object or has no numeric "startMs".
std::optional<double> partStartMs(const std::filesystem::path& metadataFile);

// The part number of a part metadata file name: N for exactly the name
// partMetadataFile() gives part N >= 1; none for every other name.
std::optional<int64_t> metadataPartOf(const std::string& fileName);

// The part number a file name gives for a source: name.N.m4a with N an
// optionally signed decimal > 0 (empty pieces between dots are dropped).
// None for every other name.
std::optional<int64_t> partNumberOf(const std::string& fileName, const std::string& name);

// The part entries of one source, ordered by part number (stable: the base
// file first, then listing order). Never fails and never writes; an unlistable
// folder gives at most the base entry.
std::vector<PartEntry> partsOf(const std::string& name, const std::filesystem::path& folder);

// Whether either source already has an audio file of that part in the folder
// (the base file for part 0; for N >= 1 any name partsOf() reads as part N).
bool partHasAudio(const std::filesystem::path& folder, int64_t part);

// The part number after the highest one that the folder's audio files or
// part metadata files use; 1 for a folder without later parts.
int64_t nextFreePart(const std::filesystem::path& folder);

}  // namespace lumeno
