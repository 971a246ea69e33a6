// Figures of the "them" capture that leaves the program's own process family
// out, on a private audio server of its own (of the kind named in
// LUMENO_TEST_AUDIO_SERVER); prints them, asserts nothing.
// scripts/bench-exclude.sh runs it.
//
//   exclude-bench SECONDS
//
// For 1, 5 and 20 playback streams of other applications (tones from
// detached players), the CPU of this process and of the audio server while
// SystemAudio captures, against a plain record stream of the speakers'
// monitor with the same mono copy and queue hand-off (the capture that does
// not leave anything out), in one run.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "audio/base/globals.h"
#include "audio/capture/system_audio.h"
#include "audio/cli/start_up.h"
#include "audio/platform/pulse.h"
#include "audio/track/pcm.h"
#include "tests/audio_server.h"
#include "tests/usage.h"

namespace lumeno::test {
namespace {

double selfCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double self = 0;    // CPU % of this process
  double server = 0;  // CPU % of the audio server
  size_t buffers = 0;
};

// CPU seconds of the audio server's processes: on PipeWire the graph runs in
// the PipeWire daemon, beside its pulse server.
double serverCpuSeconds(const std::string& dir, pid_t pulseServer) {
  double seconds = usageOf(pulseServer).cpuSeconds;
  pid_t daemon = 0;
  if (std::ifstream(dir + "/pipewire.pid") >> daemon) seconds += usageOf(daemon).cpuSeconds;
  return seconds;
}

// Runs start() for `seconds` and measures; stop() ends the capture.
template <typename Start, typename Stop>
std::optional<Figures> measure(const AudioServer& server, const std::string& dir, double seconds, Start start,
                               Stop stop) {
  if (!start()) return std::nullopt;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the start
  double s0 = selfCpuSeconds(), v0 = serverCpuSeconds(dir, server.pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double s1 = selfCpuSeconds(), v1 = serverCpuSeconds(dir, server.pid());
  stop();
  return Figures{100 * (s1 - s0) / seconds, 100 * (v1 - v0) / seconds, 0};
}

// Starts the capture and waits until every playback stream is recorded
// alone (on PipeWire the taps open on a queue of their own).
bool startRecordingAll(SystemAudio& sys, SerialQueue& queue, size_t count) {
  bool started = false;
  queue.sync([&] { started = sys.start(); });
  for (int i = 0; started && i < 100; ++i) {
    size_t recorded = 0;
    queue.sync([&] { recorded = sys.streams.size(); });
    if (recorded == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int run(double seconds) {
  TempDir dir;
  AudioServer server(dir.path());
  if (!server.start()) {
    std::fprintf(stderr, "exclude-bench: the audio server did not start\n");
    return 1;
  }
  setenv("PULSE_SERVER", server.address().c_str(), 1);
  SerialQueue queue("exclude-bench");
  size_t buffers = 0;  // on queue

  // pacat at its default latency, as most applications play: the test
  // player's low latency would cost the server more than the capture does.
  std::vector<pid_t> players;
  std::printf("%-8s %-22s %10s %10s %10s\n", "streams", "capture", "self CPU", "server CPU", "together");
  double baseline1 = 0;
  for (size_t count : {1u, 5u, 20u}) {
    while (players.size() < count) {
      std::string hz = std::to_string(300 + 50 * players.size());
      pid_t p = spawnDetached({"/bin/sh", "-c",
                               "sox -n -r 48000 -c 1 -t raw -e float -b 32 - synth 3600 sine " + hz +
                                   " vol 0.02 | pacat --raw --format=float32le --rate=48000 --channels=1 -d " +
                                   kSpeakers + " 2>/dev/null"});
      if (p <= 0) {
        std::fprintf(stderr, "exclude-bench: a player did not start\n");
        return 1;
      }
      players.push_back(p);
    }
    for (int i = 0; i < 100 && pulse::Connection::shared().sinkInputs().value_or(std::vector<pulse::SinkInput>{}).size() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The monitor alone, as the capture that leaves nothing out records it.
    std::unique_ptr<pulse::RecordStream> plain;
    auto monitorOnly = measure(
        server, dir.path(), seconds,
        [&] {
          pulse::StreamSpec wanted;
          wanted.device = kSpeakers + ".monitor";
          wanted.rate = 48000;
          wanted.channels = 2;
          wanted.fragmentFrames = 480;
          wanted.name = "plain monitor";
          int code = 0;
          std::string error;
          plain = pulse::RecordStream::open(
              wanted,
              [&](const float* samples, uint32_t frames, std::optional<uint64_t>) {
                auto b = mono(samples, frames, 48000, 2, false);
                if (b) queue.async([&, b = std::move(*b)] { buffers += b.frameLength() > 0; });
              },
              nullptr, &code, &error);
          return plain != nullptr;
        },
        [&] { plain.reset(); });
    SystemAudio sys([&](PcmBuffer& b, std::optional<double>) { buffers += b.frameLength() > 0; }, queue);
    auto leavingOut = measure(
        server, dir.path(), seconds, [&] { return startRecordingAll(sys, queue, count); },
        [&] { queue.sync([&] { sys.stop(); }); });
    if (!monitorOnly || !leavingOut) {
      std::fprintf(stderr, "exclude-bench: a capture did not start\n");
      return 1;
    }
    if (count == 1) baseline1 = monitorOnly->self + monitorOnly->server;
    double plainTotal = monitorOnly->self + monitorOnly->server, mixTotal = leavingOut->self + leavingOut->server;
    std::printf("%-8zu %-22s %9.2f%% %9.2f%% %9.2f%%\n", count, "monitor only", monitorOnly->self, monitorOnly->server,
                plainTotal);
    std::printf("%-8zu %-22s %9.2f%% %9.2f%% %9.2f%%   %.2f x the monitor\n", count, "each stream alone",
                leavingOut->self, leavingOut->server, mixTotal, mixTotal / plainTotal);
    std::printf("CPU_EXCLUDE %zu %.4f %.4f %.4f %.4f %.4f\n", count, plainTotal, mixTotal, baseline1,
                leavingOut->self - monitorOnly->self, leavingOut->server - monitorOnly->server);
    std::fflush(stdout);
  }
  for (pid_t p : players) kill(-p, SIGKILL);  // the shell, sox and pacat: a group of their own
  return 0;
}

}  // namespace
}  // namespace lumeno::test

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: exclude-bench SECONDS\n");
    return 2;
  }
  double seconds = std::atof(argv[1]);
  lumeno::startUp(argc, argv);
  return lumeno::test::run(seconds > 0 ? seconds : 10);
}
