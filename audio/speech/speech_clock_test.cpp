#include "audio/speech/speech_clock.h"

#include <gtest/gtest.h>

namespace lumeno {
namespace {

TEST(SpeechClock, SmallGapsAndOverlapsCloseUpWhileRealGapsStay) {
  struct Call {
    double atMs;
    int64_t frames;
    int64_t placed, next;
  };
  const Call calls[] = {
      {1000, 1600, 16000, 17600},  // first buffer: its own time
      {1130, 1600, 17600, 19200},  // a 30 ms gap is below 50 ms: flush
      {1250, 1600, 20000, 21600},  // a gap of exactly 50 ms: its own time
      {1300, 1600, 21600, 23200},  // overlap: at the previous end
      {1000, 1600, 23200, 24800},  // time ran backwards: at the previous end
  };
  SpeechClock clock{16000.0, std::nullopt};
  for (const auto& c : calls) {
    EXPECT_EQ(clock.place(c.atMs, c.frames), c.placed) << c.atMs;
    EXPECT_EQ(clock.next, c.next) << c.atMs;
  }
}

TEST(SpeechClock, RoundsItsOwnTimeHalvesAwayFromZero) {
  struct Case {
    double rate, atMs;
    int64_t placed;
  };
  const Case cases[] = {
      {16000, 0.03125, 1},   // 0.5 frames
      {16000, 0.03, 0},      // 0.48 frames
      {16000, 3.6e6, 57600000000 / 1000},  // an hour into a recording
      {44100, 1000, 44100},
  };
  for (const auto& c : cases) {
    SpeechClock clock{c.rate, std::nullopt};
    EXPECT_EQ(clock.place(c.atMs, 1), c.placed) << c.atMs;
  }
}

TEST(SpeechClock, ToleranceIsFiftyMillisecondsOfFramesTruncated) {
  // 44.1 kHz: 2205 frames. A buffer 2204 frames after the end is flush, one
  // 2205 after keeps its time.
  SpeechClock clock{44100, std::nullopt};
  clock.place(0, 441);  // next 441
  EXPECT_EQ(clock.place((441 + 2204) / 44.1, 10), 441);
  SpeechClock other{44100, std::nullopt};
  other.place(0, 441);
  EXPECT_EQ(other.place((441 + 2205) / 44.1, 10), 441 + 2205);
}

}  // namespace
}  // namespace lumeno
