// What the fuzz targets share: the check that turns a broken expectation into
// a crash report, and one temporary folder per run.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lumeno::fuzz {

// Stops the run with a report (and the input saved) when ok is false.
inline void check(bool ok) {
  if (!ok) std::abort();
}

// A fresh temporary folder, made on the first call. libFuzzer ends the
// process without running exit handlers, so it stays behind: scripts/fuzz.sh
// points TMPDIR into the fuzz build and empties it.
inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumeno-fuzz-XXXXXX").string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
  }();
  return path;
}

}  // namespace lumeno::fuzz
