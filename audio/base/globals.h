// Process-wide values of lumeno-audio. Start-up (audio/cli/start_up.h) writes
// them once, on the main thread, before any other thread exists; everything
// else only reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/platform/dispatch.h"
#include "audio/platform/pcm_buffer.h"

namespace lumeno {

extern SerialQueue* outQ;  // "lumeno.out": every event write to standard output
extern SerialQueue* work;  // "lumeno.work": every recorder operation
extern std::vector<std::string>& args;
extern int64_t part;           // --part, 0 for the first part of a recording
extern double startOffsetMs;   // --start-ms: this part's start on the recording's timeline
extern uint64_t startedHost;   // host clock at start-up: program time 0
extern double hostMsPerTick;   // milliseconds per host clock tick
extern const AudioFormat mono16;  // 32-bit float, 16 kHz, 1 channel, planar
extern const AudioFormat mono48;  // 32-bit float, 48 kHz, 1 channel, planar
extern uint32_t system;        // the audio system object
extern bool testing;           // LUMENO_AUDIO_TEST is exactly "1"

// The host clock: CLOCK_MONOTONIC in nanoseconds.
uint64_t hostNow();

// The element of args after the first one equal to key; none when the key is
// missing or is the last element.
std::optional<std::string> argValue(std::string_view key);
// True when some element of args equals flag.
bool hasFlag(std::string_view flag);

// An optional sign and one or more decimal digits, nothing else, within int64.
std::optional<int64_t> parseInteger(std::string_view text);
// A decimal floating-point number over the whole string, no leading white
// space; non-finite results ("nan", "inf") count as unparseable.
std::optional<double> parseNumber(std::string_view text);

// The farthest a part may start from the recording's beginning, either way:
// a week. Further is a mistake, not a meeting, and would overflow the
// integer milliseconds of events and the frame counts of join.
inline constexpr double latestStartMs = 7 * 24 * 3600 * 1000.0;

// A --start-ms value: parseNumber() within latestStartMs of 0; anything
// further counts as unparseable.
std::optional<double> parseStartMs(std::string_view text);

}  // namespace lumeno
