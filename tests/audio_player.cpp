// lumeno-test-player: plays a generated signal into one or more sinks of the
// test audio server (PULSE_SERVER), optionally with clicks at chosen
// CLOCK_MONOTONIC moments. For every click it prints "click NS", NS being the
// moment the server will play it (in the first sink), taken from the playback
// stream's latency.
//
//   lumeno-test-player --sink NAME [--sink NAME]... [--rate 48000] [--channels 1]
//                      [--seconds 1] [--tone HZ] [--amplitude 0.5] [--click-at NS]...
//                      [--click-in SECONDS]...
//
// --click-in places a click that many seconds after the player starts, for
// callers without the monotonic clock at hand (scripts).
//
// With several sinks the same signal goes to each through a stream of its
// own, written in one loop, and each stream places the clicks by its own
// latency, so that a click plays at the same moment everywhere.
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/simple.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

struct Output {
  pa_simple* stream = nullptr;
  std::deque<double> anchors;  // host ns at which frame 0 plays
  size_t nextClick = 0;
  int64_t clickStart = -1;     // frame of the click being written
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> sinks;
  unsigned rate = 48000, channels = 1;
  double seconds = 1, tone = 0, amplitude = 0.5;
  std::vector<double> clicks;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--sink") sinks.push_back(value);
    else if (key == "--rate") rate = unsigned(std::atoi(value));
    else if (key == "--channels") channels = unsigned(std::atoi(value));
    else if (key == "--seconds") seconds = std::atof(value);
    else if (key == "--tone") tone = std::atof(value);
    else if (key == "--amplitude") amplitude = std::atof(value);
    else if (key == "--click-at") clicks.push_back(std::strtod(value, nullptr));
    else if (key == "--click-in") clicks.push_back(double(pa_rtclock_now()) * 1000 + std::strtod(value, nullptr) * 1e9);
    else {
      std::fprintf(stderr, "lumeno-test-player: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (sinks.empty()) sinks.push_back("");
  std::sort(clicks.begin(), clicks.end());
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A player starved by a busy machine under-runs and moves its sound; ahead
  // of ordinary processes it rarely is (root only; otherwise nothing changes).
  setpriority(PRIO_PROCESS, 0, -10);

  pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, rate, uint8_t(channels)};
  uint32_t frameBytes = uint32_t(sizeof(float) * channels);
  const uint32_t chunk = rate / 200;  // 5 ms
  pa_buffer_attr attr;
  attr.maxlength = uint32_t(-1);
  // 20 ms of buffer: the null sink renders in blocks of about this size and a
  // sample's play time is only as exact as its block (200 ms put the clicks
  // 13 ms off). On a machine busy enough to starve the player, the clicks play
  // later than it says.
  attr.tlength = chunk * 4 * frameBytes;
  attr.prebuf = uint32_t(-1);
  attr.minreq = chunk * 2 * frameBytes;
  attr.fragsize = uint32_t(-1);
  std::vector<Output> outputs(sinks.size());
  auto closeAll = [&] {
    for (auto& o : outputs)
      if (o.stream) pa_simple_free(o.stream);
  };
  for (size_t s = 0; s < sinks.size(); ++s) {
    int error = 0;
    outputs[s].stream = pa_simple_new(nullptr, "lumeno-test-player", PA_STREAM_PLAYBACK,
                                      sinks[s].empty() ? nullptr : sinks[s].c_str(), "signal", &ss, nullptr, &attr,
                                      &error);
    if (!outputs[s].stream) {
      std::fprintf(stderr, "lumeno-test-player: %s\n", pa_strerror(error));
      closeAll();
      return 1;
    }
  }
  std::printf("playing\n");

  uint64_t total = uint64_t(seconds * rate);
  const uint32_t clickFrames = std::max(1u, rate / 1000);  // 1 ms at full scale
  std::vector<float> buf(size_t(chunk) * channels);
  for (uint64_t written = 0; written < total; written += chunk) {
    for (size_t s = 0; s < outputs.size(); ++s) {
      Output& o = outputs[s];
      int error = 0;
      pa_usec_t latency = pa_simple_get_latency(o.stream, &error);
      double now = double(pa_rtclock_now()) * 1000.0;
      if (latency != pa_usec_t(-1)) {
        o.anchors.push_back(now + double(latency) * 1000.0 - double(written) * 1e9 / rate);
        if (o.anchors.size() > 64) o.anchors.pop_front();
      }
      std::vector<double> sorted(o.anchors.begin(), o.anchors.end());
      std::sort(sorted.begin(), sorted.end());
      double anchor = sorted.empty() ? now : sorted[sorted.size() / 2];
      double startNs = anchor + double(written) * 1e9 / rate;
      double endNs = startNs + double(chunk) * 1e9 / rate;
      while (o.nextClick < clicks.size() && clicks[o.nextClick] < endNs) {
        double at = std::max(clicks[o.nextClick], startNs);
        o.clickStart = int64_t(written) + int64_t(std::llround((at - startNs) * rate / 1e9));
        if (s == 0) std::printf("click %.0f\n", anchor + double(o.clickStart) * 1e9 / rate);
        ++o.nextClick;
      }
      for (uint32_t i = 0; i < chunk; ++i) {
        uint64_t n = written + i;
        float v = tone > 0 ? float(amplitude * std::sin(2 * M_PI * tone * double(n) / rate)) : 0.0f;
        if (o.clickStart >= 0 && int64_t(n) >= o.clickStart && int64_t(n) < o.clickStart + clickFrames) v = 1.0f;
        for (uint32_t c = 0; c < channels; ++c) buf[size_t(i) * channels + c] = v;
      }
      if (pa_simple_write(o.stream, buf.data(), buf.size() * sizeof(float), &error) < 0) {
        std::fprintf(stderr, "lumeno-test-player: %s\n", pa_strerror(error));
        closeAll();
        return 1;
      }
    }
  }
  for (auto& o : outputs) {
    int error = 0;
    pa_simple_drain(o.stream, &error);
  }
  closeAll();
  return 0;
}
