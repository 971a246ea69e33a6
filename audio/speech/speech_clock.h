// SpeechClock: places audio buffers stamped in milliseconds on the speech
// analyser's timeline, counted in frames at the analyser's rate.
//
// Positions never run backwards and buffers never overlap. A buffer that
// starts less than 50 ms after the end of the previous one, or before it, is
// placed flush against it; one that starts 50 ms or more after keeps its own
// time, so that real gaps stay gaps and result times stay recording times.
// A plain value without a lock: its owner (a LiveSpeech) guards it.
#pragma once

#include <cstdint>
#include <optional>

namespace lumeno {

struct SpeechClock {
  double rate = 16000.0;        // frames per second of the analyser's timeline
  std::optional<int64_t> next;  // the frame just after the last placed buffer

  // The frame at which a buffer of `frames` frames (at least 1) whose first
  // frame lies at atMs on the recording's timeline starts; advances next.
  int64_t place(double atMs, int64_t frames);
};

}  // namespace lumeno
