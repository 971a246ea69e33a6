// join: merges the parts of a recording into one file per source.
//
// For "me" and then "them", the parts are decoded in part order and laid out
// on the recording's timeline with silence in the gaps (a part that overlaps
// what was already written follows it, uncut), encoded through a Track into
// name.joined.m4a, checked by decoding it again, and put in place of name.m4a
// in one rename. Only then are the merged part files deleted; every part file
// is first hard-linked into "original". Part metadata files go only when
// both sources succeeded. Messages go to the log; nothing to standard output.
#pragma once

#include <filesystem>
#include <optional>

#include "audio/platform/writer.h"

namespace lumeno {

class Track;

// Joins both sources of a recording folder; 0 when both succeeded (nothing to
// do counts as success), 1 when either failed. writerFactory makes the work
// files' writers.
int joinParts(const std::filesystem::path& folder, const WriterFactory& writerFactory);
// The join command: the above with the real file writer, once no recording
// holds the folder (else one log line and 1). folder is absolute.
int joinParts(const std::filesystem::path& folder);

// Decodes the first audio track of file to 48 kHz mono float, one buffer at a
// time, writing each into track when one is given. The decoded length in ms,
// or none when the file cannot be read, does not end cleanly, or the track
// did not take a buffer whole. *replacedMs, when given, receives how much of
// it is silence in place of damaged audio.
std::optional<double> decodedAudio(const std::filesystem::path& file, Track* track, double* replacedMs = nullptr);

}  // namespace lumeno
