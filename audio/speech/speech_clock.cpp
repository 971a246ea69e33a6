#include "audio/speech/speech_clock.h"

#include <cmath>

namespace lumeno {

int64_t SpeechClock::place(double atMs, int64_t frames) {
  // std::llround rounds halves away from zero.
  int64_t t = std::llround(atMs * rate / 1000.0);
  int64_t start = t;
  if (next) {
    auto tolerance = int64_t(rate / 20.0);  // 50 ms
    if (*next + tolerance > t) start = *next;
  }
  next = start + frames;
  return start;
}

}  // namespace lumeno
