// Figures of `lumeno-audio record` on a private audio server of its own;
// prints them, asserts nothing. scripts/bench-record.sh runs every part.
//
//   record-bench cpu SECONDS      CPU and peak memory of a two-track recording,
//                                 beside two parec streams of the same sources
//                                 and ffmpeg recording both to AAC, all at once
//   record-bench latency CLICKS   from a click played to its "pcm" event read
//   record-bench drift SECONDS    the same click into both tracks at the start
//                                 and the end of a long recording
//   record-bench pause SECONDS    the longest gap between level events around
//                                 the resume after a pause that long
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/audio_server.h"
#include "tests/media_fixtures.h"
#include "tests/recording.h"
#include "tests/usage.h"

namespace lumeno::test {
namespace {

using namespace std::chrono_literals;

std::string program;  // lumeno-audio

int cpu(double seconds) {
  auto themTone = Player::play(toneSignal(kSpeakers, 440, 0.2, seconds + 10));
  auto meTone = Player::play(toneSignal(kMicSink, 1000, 0.2, seconds + 10));
  TempDir tmp;
  Recording rec(program, tmp / "rec");
  if (!rec.waitForType("level")) return 1;
  std::string monitor = kSpeakers + ".monitor";
  // The same capture as the recorder's: both sources in 10 ms fragments at
  // the device's rate and channels.
  pid_t parecThem = spawnDetached({"/usr/bin/parec", "-d", monitor, "--format=float32le", "--rate=48000",
                                   "--channels=2", "--latency-msec=10"});
  pid_t parecMe = spawnDetached(
      {"/usr/bin/parec", "-d", kMic, "--format=float32le", "--rate=48000", "--channels=1", "--latency-msec=10"});
  pid_t ffmpeg = spawnDetached({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-f", "pulse", "-i", kMic,
                                "-f", "pulse", "-i", monitor, "-map", "0:a", "-c:a", "aac", "-b:a", "16k", "-ac", "1",
                                "-y", tmp / "ffmpeg-me.m4a", "-map", "1:a", "-c:a", "aac", "-b:a", "16k", "-ac", "1",
                                "-y", tmp / "ffmpeg-them.m4a"});
  std::this_thread::sleep_for(1s);  // every process past its start
  Usage r0 = usageOf(rec.pid()), p0 = usageOf(parecThem), q0 = usageOf(parecMe), f0 = usageOf(ffmpeg);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  Usage r1 = usageOf(rec.pid()), p1 = usageOf(parecThem), q1 = usageOf(parecMe), f1 = usageOf(ffmpeg);
  rec.command("stop");
  auto result = rec.wait();
  for (pid_t pid : {parecThem, parecMe}) stopProcess(pid);
  kill(ffmpeg, SIGINT);  // lets ffmpeg finish its files
  for (int i = 0; i < 500 && processAlive(ffmpeg); ++i) std::this_thread::sleep_for(10ms);
  stopProcess(ffmpeg);

  auto share = [&](const Usage& a, const Usage& b) { return (b.cpuSeconds - a.cpuSeconds) / seconds; };
  std::printf("cpu over %.0f s of a two-track recording, as a share of one core:\n", seconds);
  std::printf("  lumeno-audio record      %6.2f %%   peak rss %.1f MB   (exit %d)\n", 100 * share(r0, r1), r1.peakMB,
              result.status);
  std::printf("  two parec streams        %6.2f %%   (%.2f %% + %.2f %%)\n", 100 * (share(p0, p1) + share(q0, q1)),
              100 * share(p0, p1), 100 * share(q0, q1));
  std::printf("  ffmpeg -f pulse, aac     %6.2f %%   peak rss %.1f MB\n", 100 * share(f0, f1), f1.peakMB);
  std::printf("CPU_RECORD %.6f\nCPU_PAREC %.6f\nCPU_FFMPEG %.6f\n", share(r0, r1), share(p0, p1) + share(q0, q1),
              share(f0, f1));
  return result.status == 0 ? 0 : 1;
}

int latency(int count) {
  TempDir tmp;
  Recording rec(program, tmp / "rec");
  if (!rec.waitForType("level")) return 1;
  std::this_thread::sleep_for(1s);
  for (const std::string& sink : {kSpeakers, kMicSink}) {
    std::string track = sink == kSpeakers ? "them" : "me";
    std::vector<uint64_t> at;
    uint64_t first = monotonicNs() + 1'000'000'000;
    // 0.537 s apart, so the clicks fall at every place within a chunk.
    for (int i = 0; i < count; ++i) at.push_back(first + uint64_t(i) * 537'000'000);
    size_t skip = rec.eventCount();
    auto player = Player::play(clickSignal(sink, 1.5 + 0.537 * count, at));
    if (!player) return 1;
    auto played = player->clickTimes(size_t(count));
    player->wait();
    std::this_thread::sleep_for(500ms);
    auto events = rec.events();
    // The arrival of the pcm event that holds each click.
    std::vector<double> ms;
    size_t next = 0;
    bool high = false;
    for (size_t i = skip; i < events.size() && next < played.size(); ++i) {
      const auto& e = events[i];
      if (e.event.type() != "pcm" || e.event.json["track"] != track) continue;
      for (float s : e.event.samples) {
        bool now = std::fabs(s) > 0.3f;
        if (now && !high && next < played.size()) ms.push_back((double(e.arrivedNs) - double(played[next++])) / 1e6);
        high = now;
      }
    }
    std::printf("latency of a click to its pcm event, \"%s\", %zu of %d clicks: median %.1f ms, 90th %.1f ms, max %.1f ms\n",
                track.c_str(), ms.size(), count, median(ms), percentile(ms, 0.9), percentile(ms, 1.0));
  }
  rec.command("stop");
  return rec.wait().status;
}

// The click within 400 ms of a moment in a decoded file, in ms.
double clickNear(const std::vector<float>& samples, double ms) {
  return double(peakBetween(samples, size_t(std::max(0.0, ms - 400) * 48), size_t((ms + 400) * 48))) / 48.0;
}

int drift(double seconds) {
  TempDir tmp;
  Recording rec(program, tmp / "rec");
  if (!rec.waitForType("level")) return 1;
  auto clock = calibrate(rec).value_or(ProgramClock{NAN});
  uint64_t start = monotonicNs();
  std::vector<uint64_t> at{start + 2'000'000'000, start + uint64_t((seconds - 3) * 1e9)};
  auto player = Player::play(clicksIntoBoth(seconds, at));
  if (!player) return 1;
  auto played = player->clickTimes(2, std::chrono::milliseconds(int64_t(seconds * 1000) + 20000));
  player->wait(std::chrono::milliseconds(int64_t(seconds * 1000) + 20000));
  auto endClock = calibrate(rec).value_or(ProgramClock{NAN});
  uint64_t stopNs = monotonicNs();
  rec.command("stop");
  if (rec.wait().status != 0 || played.size() != 2) return 1;
  auto me = decodeAll(tmp / "rec/me.m4a"), them = decodeAll(tmp / "rec/them.m4a");
  std::printf("drift over a %.0f s recording (the same click into both tracks):\n", seconds);
  for (size_t i = 0; i < 2; ++i) {
    double want = clock(played[i]);
    double inMe = clickNear(me, want), inThem = clickNear(them, want);
    std::printf("  click at %9.1f ms: \"me\" %+7.2f ms, \"them\" %+7.2f ms from where it was played; between them %.2f ms\n",
                want, inMe - want, inThem - want, inMe - inThem);
  }
  std::printf("  file length %.2f ms against the clock at the stop %.2f ms (%+.2f ms); the program clock moved %+.3f ms against the host clock\n",
              double(me.size()) / 48.0, clock(stopNs), double(me.size()) / 48.0 - clock(stopNs),
              endClock.offsetMs - clock.offsetMs);
  return 0;
}

int pause(double seconds) {
  auto themTone = Player::play(toneSignal(kSpeakers, 440, 0.2, seconds + 30));
  auto meTone = Player::play(toneSignal(kMicSink, 1000, 0.2, seconds + 30));
  TempDir tmp;
  Recording rec(program, tmp / "rec");
  if (!rec.waitForType("level")) return 1;
  std::this_thread::sleep_for(2s);
  rec.command("pause");
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  uint64_t resumeNs = monotonicNs();
  rec.command("resume");
  std::this_thread::sleep_for(10s);
  rec.command("stop");
  if (rec.wait(std::chrono::seconds(120)).status != 0) return 1;
  double longest = longestGap(rec.events(), "level", resumeNs - 1'000'000'000, resumeNs + 10'000'000'000);
  auto me = decodeAll(tmp / "rec/me.m4a");
  std::printf("resume after a %.0f s pause: longest gap between level events %.1f ms; the files hold %.1f s\n", seconds,
              longest, double(me.size()) / 48000.0);
  return 0;
}

}  // namespace
}  // namespace lumeno::test

int main(int argc, char** argv) {
  using namespace lumeno::test;
  if (argc < 3) {
    std::fprintf(stderr, "usage: record-bench cpu|latency|drift|pause N\n");
    return 2;
  }
  program = LUMENO_AUDIO_BIN;
  std::string what = argv[1];
  double n = std::atof(argv[2]);
  if (what != "cpu" && what != "latency" && what != "drift" && what != "pause") {
    std::fprintf(stderr, "usage: record-bench cpu|latency|drift|pause N\n");
    return 2;
  }
  return withOwnAudioServer("record-bench", [&] {
    if (what == "cpu") return cpu(n);
    if (what == "latency") return latency(int(n));
    if (what == "drift") return drift(n);
    return pause(n);
  });
}
