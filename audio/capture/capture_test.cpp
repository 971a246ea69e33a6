// SystemAudio, Mic, the hardware queries and the server's change notices,
// against the private audio server of the test run (PULSE_SERVER).
#include <gtest/gtest.h>
#include <unistd.h>

#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include "audio/base/events.h"
#include "audio/capture/hardware.h"
#include "audio/capture/mic.h"
#include "audio/capture/system_audio.h"
#include "audio/platform/pulse.h"
#include "tests/audio_server.h"
#include "tests/media_fixtures.h"

namespace lumeno {
namespace {

using namespace std::chrono_literals;
using test::Player;
using test::Signal;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Buffers as a source delivers them, gathered on the test's queue.
struct Captured {
  struct Entry {
    std::vector<float> samples;
    double rate;
    std::optional<double> heardMs;
    double arrivedMs;
  };
  std::mutex mutex;
  std::vector<Entry> entries;

  void add(PcmBuffer& b, std::optional<double> heard) {
    EXPECT_EQ(b.format().channels, 1u);
    std::lock_guard g(mutex);
    entries.push_back({std::vector<float>(b.floatData(0), b.floatData(0) + b.frameLength()), b.sampleRate(), heard,
                       nowMs()});
  }
  size_t count() {
    std::lock_guard g(mutex);
    return entries.size();
  }
  std::vector<Entry> snapshot() {
    std::lock_guard g(mutex);
    return entries;
  }
  // Waits until more than n buffers arrived.
  bool waitBeyond(size_t n, int ms = 5000) {
    for (int i = 0; i < ms / 10; ++i) {
      if (count() > n) return true;
      sleepMs(10);
    }
    return false;
  }
};

struct ToneStats {
  double hz = 0;
  double rms = 0;
  size_t frames = 0;
};

// Frequency (from zero crossings) and level of the buffers heard in a window.
ToneStats toneOf(const std::vector<Captured::Entry>& entries, double fromMs, double toMs) {
  std::vector<float> s;
  double rate = 0;
  for (const auto& e : entries) {
    if (e.arrivedMs < fromMs || e.arrivedMs > toMs) continue;
    s.insert(s.end(), e.samples.begin(), e.samples.end());
    rate = e.rate;
  }
  ToneStats t;
  t.frames = s.size();
  if (s.size() < 2 || rate <= 0) return t;
  t.rms = test::rms(s);
  t.hz = test::toneHz(s, rate);
  return t;
}

// When the first buffer with a tone at least that loud arrived (ms). A
// player on a busy machine starts late; its tone is measured from there.
std::optional<double> toneArrived(const std::vector<Captured::Entry>& entries, double rms) {
  for (const auto& e : entries)
    if (test::rms(e.samples) >= rms) return e.arrivedMs;
  return std::nullopt;
}

// Heard times (ms) of the first sample of each click (a jump above 0.5).
std::vector<double> clicksHeard(const std::vector<Captured::Entry>& entries) {
  std::vector<double> out;
  bool inClick = false;
  for (const auto& e : entries) {
    for (size_t i = 0; i < e.samples.size(); ++i) {
      bool high = e.samples[i] > 0.5f;
      if (high && !inClick && e.heardMs) out.push_back(*e.heardMs + double(i) * 1000.0 / e.rate);
      inClick = high;
    }
  }
  return out;
}

// Counts the server's notices on a queue of the test.
struct Notices {
  SerialQueue queue{"test.notices"};
  std::mutex mutex;
  std::vector<pulse::Notice> seen;
  pulse::Connection::ListenerId id;
  Notices() {
    id = pulse::Connection::shared().listen(queue, [this](pulse::Notice n) {
      std::lock_guard g(mutex);
      seen.push_back(n);
    });
  }
  ~Notices() {
    queue.sync([this] { pulse::Connection::shared().remove(id); });
  }
  size_t count(pulse::Notice n) {
    std::lock_guard g(mutex);
    return size_t(std::count(seen.begin(), seen.end(), n));
  }
  void clear() {
    std::lock_guard g(mutex);
    seen.clear();
  }
};

test::Signal stereo(test::Signal s) {
  s.channels = 2;
  return s;
}

test::Signal withClicks(test::Signal s, std::vector<uint64_t> at) {
  s.clicksAtHost = std::move(at);
  return s;
}

bool run(const std::vector<std::string>& words) {
  auto r = test::pactl(words);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.status == 0;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run through ctest: the audio_server fixture starts the server";
    ASSERT_TRUE(pulse::Connection::shared().reachable());
  }
  Captured captured;
  // Declared last so that it drains before what its blocks refer to goes.
  SerialQueue queue{"test.capture"};
};

TEST_F(CaptureTest, HardwareQueriesAnswerForTheTestServer) {
  EXPECT_EQ(defaultOutputUID(), test::kSpeakers);
  auto input = defaultInput();
  ASSERT_TRUE(input);
  EXPECT_EQ(kindOf(*input), AudioObjectKind::source);
  EXPECT_EQ(stringProp(*input, kUID), test::kMic);
  EXPECT_EQ(stringProp(*input, kName), "Microphone");
  EXPECT_EQ(micDevice(test::kMic), input);
  EXPECT_FALSE(stringProp(*input, kNominalRate));
  // Unknown names and monitors of playback devices are not microphones.
  for (std::string uid : {"", "no_such_source", "test_speakers.monitor", "test_mic_in.monitor", "test_speakers"})
    EXPECT_FALSE(micDevice(uid)) << uid;
  EXPECT_FALSE(stringProp(0, kName));
  EXPECT_FALSE(stringProp(objectID(AudioObjectKind::source, 999999), kName));
}

TEST(ObjectIDs, CarryKindAndIndexAndNeverZero) {
  EXPECT_EQ(indexOf(objectID(AudioObjectKind::source, 0)), 0u);
  EXPECT_EQ(kindOf(objectID(AudioObjectKind::sink, 7)), AudioObjectKind::sink);
  EXPECT_NE(objectID(AudioObjectKind::sink, 0), objectID(AudioObjectKind::source, 0));
  EXPECT_NE(objectID(AudioObjectKind::process, 0), 0u);
  EXPECT_EQ(objectID(AudioObjectKind::none, 1), 0u);
  EXPECT_FALSE(indexOf(0));
  EXPECT_EQ(kindOf(0), AudioObjectKind::none);
}

TEST(Clock, TheServerClockIsTheHostClock) {
  uint64_t before = hostNow();
  uint64_t server = pulse::serverClockNow();
  uint64_t after = hostNow();
  EXPECT_GE(server + 1000, before);  // the server clock counts microseconds
  EXPECT_LE(server, after);
}

TEST(ProcessTable, ParentPidComesFromProc) {
  EXPECT_EQ(parentPid(getpid()), getppid());
  EXPECT_EQ(parentPid(1), 0);
  EXPECT_EQ(parentPid(0), 0);
  EXPECT_EQ(parentPid(-5), 0);
  EXPECT_EQ(parentPid(999999999), 0);
}

TEST_F(CaptureTest, FamilyHoldsOwnPlaybackButNotAnotherApplications) {
  auto other = Player::play(test::clickSignal(test::kSpeakers, 3, {}));
  ASSERT_TRUE(other);
  pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, 48000, 1};
  int error = 0;
  pa_simple* own = pa_simple_new(nullptr, "own", PA_STREAM_PLAYBACK, test::kSpeakers.c_str(), "own", &ss, nullptr,
                                 nullptr, &error);
  ASSERT_NE(own, nullptr);
  std::vector<float> silence(4800);
  pa_simple_write(own, silence.data(), silence.size() * sizeof(float), &error);

  auto mine = processObject(getpid());
  ASSERT_TRUE(mine);
  EXPECT_EQ(pidOf(*mine), getpid());
  auto theirs = processObject(other->pid());
  ASSERT_TRUE(theirs);
  auto family = lumenoProcesses();
  EXPECT_NE(std::find(family.begin(), family.end(), *mine), family.end());
  EXPECT_EQ(std::find(family.begin(), family.end(), *theirs), family.end());
  auto all = audioProcesses();
  EXPECT_NE(std::find(all.begin(), all.end(), *theirs), all.end());
  EXPECT_EQ(pidOf(0), 0);
  EXPECT_FALSE(processObject(0));
  pa_simple_free(own);
}

TEST_F(CaptureTest, SystemAudioDeliversATonePlayedIntoTheSpeakers) {
  SystemAudio sys([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  bool started = false;
  queue.sync([&] { started = sys.start(); });
  ASSERT_TRUE(started);
  EXPECT_EQ(sys.rate, 48000);
  EXPECT_NE(sys.tap, 0u);
  EXPECT_NE(sys.agg, 0u);
  EXPECT_EQ(SystemAudio::nominalRate(sys.agg), 48000);
  EXPECT_EQ(SystemAudio::tapRate(sys.tap), 48000);
  auto player = Player::play(stereo(test::toneSignal(test::kSpeakers, 1000, 0.5, 2)));
  ASSERT_TRUE(player);
  sleepMs(1800);
  queue.sync([&] { sys.stop(); });
  auto entries = captured.snapshot();
  ASSERT_GT(entries.size(), 50u);
  auto arrived = toneArrived(entries, 0.1);
  ASSERT_TRUE(arrived);
  auto tone = toneOf(entries, *arrived + 300, *arrived + 1300);
  EXPECT_NEAR(tone.hz, 1000, 10);
  EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.02);
  // About 10 ms per buffer, at the device's rate.
  std::vector<size_t> sizes;
  for (const auto& e : entries) sizes.push_back(e.samples.size());
  std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
  EXPECT_LE(sizes[sizes.size() / 2], 960u);
  EXPECT_EQ(entries.back().rate, 48000);
  for (const auto& e : entries) EXPECT_TRUE(e.heardMs);
}

// Heard times are checked against one click played into the speakers and the
// microphone at once: both sources must hear it at the same moment. Against
// the moment the player meant to play it they are only checked loosely, as a
// player starved by a busy machine plays late.
TEST_F(CaptureTest, SystemAudioAndMicHearOneClickAtTheSameMoment) {
  Captured mics;
  Mic mic([&](PcmBuffer& b, std::optional<double> h) { mics.add(b, h); }, queue);
  SystemAudio sys([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  bool started = false;
  queue.sync([&] { started = sys.start() && mic.start(); });
  ASSERT_TRUE(started);
  uint64_t now = hostNow();
  std::vector<uint64_t> at;
  for (int i = 0; i < 6; ++i) at.push_back(now + uint64_t(1200 + 300 * i) * 1000000u);
  auto player = Player::play(test::clicksIntoBoth(3.3, at));
  ASSERT_TRUE(player);
  auto played = player->clickTimes(at.size());
  ASSERT_EQ(played.size(), at.size());
  player->wait();
  sleepMs(200);
  queue.sync([&] {
    sys.stop();
    mic.stop();
  });
  auto heardBySystem = clicksHeard(captured.snapshot());
  auto heardByMic = clicksHeard(mics.snapshot());
  ASSERT_EQ(heardBySystem.size(), played.size());
  ASSERT_EQ(heardByMic.size(), played.size());
  // Usually well under a millisecond apart, but now and then a source's
  // heard times are a fragment or two off (up to 20.1 ms on PulseAudio under
  // the thread sanitizer on a loaded machine), and on PipeWire they jump by
  // about a graph quantum or more (30 to 46 ms) once the player's streams
  // have joined the graph. The recordings are held to 20 ms by their own
  // tests; these bounds catch heard times that are plainly wrong.
  const double bound = test::serverKind() == "pipewire" ? 60 : 30;
  double apart = 0, off = 0;
  for (size_t i = 0; i < played.size(); ++i) {
    apart = std::max(apart, std::abs(heardByMic[i] - heardBySystem[i]));
    off = std::max(off, std::abs(heardBySystem[i] - hostMs(played[i])));
    EXPECT_NEAR(heardByMic[i], heardBySystem[i], bound) << "click " << i;
    EXPECT_NEAR(heardBySystem[i], hostMs(played[i]), 150) << "click " << i;
  }
  std::printf("one click heard by both sources: at most %.2f ms apart, %.2f ms from where it was played\n", apart,
              off);
}

TEST_F(CaptureTest, MicDeliversTheFirstChannelIn100msBuffersWithHeardTimes) {
  Mic mic([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  bool started = false;
  queue.sync([&] { started = mic.start(); });
  ASSERT_TRUE(started);
  EXPECT_FALSE(mic.device);
  ASSERT_TRUE(mic.engine);
  EXPECT_EQ(mic.engine->source(), test::kMic);
  uint64_t now = hostNow();
  std::vector<uint64_t> at{now + 1300000000u, now + 1700000000u, now + 2100000000u};
  auto player = Player::play(withClicks(test::toneSignal(test::kMicSink, 440, 0.25, 2.5), at));
  ASSERT_TRUE(player);
  auto played = player->clickTimes(at.size());
  player->wait();
  sleepMs(200);
  queue.sync([&] { mic.stop(); });
  auto entries = captured.snapshot();
  ASSERT_GT(entries.size(), 15u);
  for (const auto& e : entries) {
    EXPECT_EQ(e.samples.size(), 4800u);
    EXPECT_EQ(e.rate, 48000);
    EXPECT_TRUE(e.heardMs);
  }
  // Consecutive buffers are 100 ms apart in heard time once the server's
  // timing has settled (its first second is unreliable).
  for (size_t i = 11; i < entries.size(); ++i)
    EXPECT_NEAR(*entries[i].heardMs - *entries[i - 1].heardMs, 100, 5) << i;
  // Before the first click, which the player places 1.3 s from now.
  auto arrived = toneArrived(entries, 0.1);
  ASSERT_TRUE(arrived);
  auto tone = toneOf(entries, *arrived + 100, *arrived + 900);
  EXPECT_NEAR(tone.hz, 440, 5);
  EXPECT_NEAR(tone.rms, 0.25 / std::sqrt(2.0), 0.02);
  EXPECT_EQ(clicksHeard(entries).size(), played.size());
}

TEST_F(CaptureTest, ChosenMicRunsAtItsOwnRateAndUnpluggingItIsNoticed) {
  test::SecondMic second;
  auto device = micDevice("test_mic2");
  ASSERT_TRUE(device);
  EXPECT_EQ(stringProp(*device, kName), "Second-microphone");
  Notices notices;
  std::atomic<uint64_t> changedEngine{0};
  auto token = observeEngineConfigurationChange([&](uint64_t id) { changedEngine = id; });

  Mic mic([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  bool started = false;
  queue.sync([&] {
    mic.device = device;
    started = mic.start();
  });
  ASSERT_TRUE(started);
  EXPECT_EQ(mic.device, device);
  EXPECT_EQ(mic.engine->source(), "test_mic2");
  ASSERT_TRUE(captured.waitBeyond(2));
  // PipeWire runs a remapped source at its graph's rate (48 kHz here), not
  // at the rate of the device it remaps; either way a buffer holds a tenth
  // of a second at the rate the server gives for the device.
  auto first = captured.snapshot().front();
  EXPECT_EQ(first.rate, test::serverKind() == "pipewire" ? 48000u : 44100u);
  EXPECT_EQ(first.samples.size(), first.rate / 10);

  uint64_t engineId = mic.engine->id();
  notices.clear();
  second.unplug();
  for (int i = 0; i < 300 && (changedEngine == 0 || notices.count(pulse::Notice::deviceListChanged) == 0); ++i)
    sleepMs(10);
  EXPECT_EQ(changedEngine.load(), engineId);
  EXPECT_GE(notices.count(pulse::Notice::deviceListChanged), 1u);
  EXPECT_EQ(notices.count(pulse::Notice::defaultInputChanged), 0u);
  bool running = true;
  queue.sync([&] { running = mic.engine->isRunning(); });
  EXPECT_FALSE(running);
  EXPECT_FALSE(micDevice("test_mic2"));
  // The device is gone: a restart on it fails, a fresh start on the default works.
  queue.sync([&] {
    EXPECT_FALSE(mic.restart());
    mic.stop();
    mic.device = micDevice("test_mic2");
    EXPECT_TRUE(mic.start());
    EXPECT_EQ(mic.engine->source(), test::kMic);
    mic.stop();
  });
  removeEngineObserver(token);
}

TEST_F(CaptureTest, AChosenDeviceThatCannotBeChosenFallsBackToTheDefault) {
  Mic mic([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  queue.sync([&] {
    mic.device = objectID(AudioObjectKind::source, 999999);
    EXPECT_TRUE(mic.start());
    EXPECT_FALSE(mic.device);
    EXPECT_EQ(mic.engine->source(), test::kMic);
    // Moving to a monitor or to nothing known fails and leaves the engine stopped.
    auto monitor = pulse::Connection::shared().source("test_speakers.monitor");
    ASSERT_TRUE(monitor);
    EXPECT_FALSE(mic.move(objectID(AudioObjectKind::source, monitor->index)));
    EXPECT_FALSE(mic.engine->isRunning());
    EXPECT_TRUE(mic.move(*defaultInput()));
    EXPECT_TRUE(mic.engine->isRunning());
    mic.stop();
  });
}

TEST_F(CaptureTest, DefaultChangesGiveOneNoticeEach) {
  test::SecondMic second;
  Notices notices;
  struct Case {
    std::vector<std::string> change, back;
    pulse::Notice expected, other;
  };
  const std::vector<Case> cases = {
      {{"set-default-source", "test_mic2"}, {"set-default-source", test::kMic}, pulse::Notice::defaultInputChanged,
       pulse::Notice::defaultOutputChanged},
      {{"set-default-sink", "test_mic2_in"}, {"set-default-sink", test::kSpeakers},
       pulse::Notice::defaultOutputChanged, pulse::Notice::defaultInputChanged},
  };
  sleepMs(300);  // the second microphone's own notices
  for (const auto& c : cases) {
    notices.clear();
    ASSERT_TRUE(run(c.change));
    sleepMs(400);
    EXPECT_EQ(notices.count(c.expected), 1u) << c.change[0];
    EXPECT_EQ(notices.count(c.other), 0u) << c.change[0];
    EXPECT_EQ(notices.count(pulse::Notice::deviceListChanged), 0u) << c.change[0];
    ASSERT_TRUE(run(c.back));
    sleepMs(400);
    EXPECT_EQ(notices.count(c.expected), 2u) << c.back[0];
  }
  EXPECT_EQ(defaultOutputUID(), test::kSpeakers);
}

TEST_F(CaptureTest, MicBuffersQueuedBeforeStopOrANewTapNeverArrive) {
  Mic mic([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  queue.sync([&] { ASSERT_TRUE(mic.start()); });
  ASSERT_TRUE(captured.waitBeyond(0));
  // Hold the queue while buffers pile up behind it, then install a new tap.
  double restartedMs = 0;
  int64_t before = 0;
  queue.sync([&] {
    before = mic.generation();
    sleepMs(350);
    mic.engine->stop();
    ASSERT_TRUE(mic.restart());
    restartedMs = nowMs();
  });
  EXPECT_GT(mic.generation(), before);
  size_t atRestart = captured.count();
  ASSERT_TRUE(captured.waitBeyond(atRestart + 1));
  auto entries = captured.snapshot();
  for (size_t i = atRestart; i < entries.size(); ++i) {
    ASSERT_TRUE(entries[i].heardMs);
    EXPECT_GT(*entries[i].heardMs, restartedMs - 100) << "a buffer of the old tap arrived";
  }
  // The same for stop().
  queue.sync([&] {
    sleepMs(350);
    mic.stop();
  });
  size_t atStop = captured.count();
  sleepMs(400);
  EXPECT_EQ(captured.count(), atStop);
}

TEST_F(CaptureTest, StoppedEngineComesBackWithRestart) {
  Mic mic([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  queue.sync([&] {
    EXPECT_FALSE(mic.restart());  // no engine yet
    ASSERT_TRUE(mic.start());
    int64_t g = mic.generation();
    EXPECT_TRUE(mic.restart());  // running: nothing done
    EXPECT_EQ(mic.generation(), g);
    mic.engine->stop();
    EXPECT_FALSE(mic.engine->isRunning());
  });
  size_t n = captured.count();
  sleepMs(300);
  EXPECT_EQ(captured.count(), n);
  queue.sync([&] { EXPECT_TRUE(mic.restart()); });
  EXPECT_TRUE(captured.waitBeyond(n));
  queue.sync([&] { mic.stop(); });
}

TEST_F(CaptureTest, ARateChangeOfTheOutputDeviceReachesOnRateChange) {
  // PulseAudio: a null sink at 44.1 kHz that a player moves to 48 kHz.
  // PipeWire: null sinks keep their rate there, but a sink that follows the
  // graph (a remapped one) changes rate when the graph does.
  const bool pipewire = test::serverKind() == "pipewire";
  const uint32_t before = pipewire ? 48000 : 44100, after = pipewire ? 44100 : 48000;
  auto module = pipewire ? test::pactl({"load-module", "module-remap-sink", "sink_name=test_rate_sink",
                                        "master=" + test::kSpeakers, "channels=2"})
                         : test::pactl({"load-module", "module-null-sink", "sink_name=test_rate_sink", "rate=44100",
                                        "channels=2"});
  ASSERT_EQ(module.status, 0);
  std::string index = module.out.substr(0, module.out.find('\n'));
  ASSERT_TRUE(run({"set-default-sink", "test_rate_sink"}));
  SystemAudio sys([this](PcmBuffer& b, std::optional<double> h) { captured.add(b, h); }, queue);
  std::atomic<int> changes{0};
  queue.sync([&] {
    sys.onRateChange = [&] { ++changes; };
    ASSERT_TRUE(sys.start());
  });
  EXPECT_EQ(sys.rate, before);
  ASSERT_TRUE(captured.waitBeyond(3));
  EXPECT_EQ(captured.snapshot().front().rate, before);
  sleepMs(200);
  EXPECT_EQ(changes.load(), 0);
  testing::internal::CaptureStderr();
  std::optional<Player> player;
  if (pipewire) {
    ASSERT_TRUE(test::setGraphRate(after));
  } else {
    // A suspended null sink takes the rate of the next stream played into
    // it; the server reports the change when the sink runs again.
    ASSERT_TRUE(run({"suspend-sink", "test_rate_sink", "1"}));
    auto playing = Player::play(test::clickSignal("test_rate_sink", 0.5, {}));
    ASSERT_TRUE(playing);
    player.emplace(std::move(*playing));
    sleepMs(100);
    run({"suspend-sink", "test_rate_sink", "0"});
  }
  for (int i = 0; i < 200 && changes == 0; ++i) sleepMs(10);
  // The device and the tap report their changes one after the other, in
  // either order: the second message comes a moment after the first change.
  sleepMs(300);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GE(changes.load(), 1) << test::pactl({"list", "short", "sinks"}).out;
  EXPECT_NE(err.find("the device's rate changed to " + std::to_string(after) + " Hz"), std::string::npos) << err;
  queue.sync([&] { sys.stop(); });
  if (pipewire) {
    // Back to 48 kHz before the graph is free again: the devices that follow
    // it keep the last rate they ran at.
    test::setGraphRate(48000);
    test::setGraphRate(0);
  }
  run({"set-default-sink", test::kSpeakers});
  run({"unload-module", index});
}

TEST_F(CaptureTest, StopIsHarmlessTwiceAndBeforeStart) {
  Mic mic([](PcmBuffer&, std::optional<double>) {}, queue);
  SystemAudio sys([](PcmBuffer&, std::optional<double>) {}, queue);
  queue.sync([&] {
    mic.stop();
    mic.stop();
    sys.stop();
    sys.stop();
    EXPECT_FALSE(mic.engine);
    EXPECT_EQ(sys.tap, 0u);
    EXPECT_FALSE(mic.move(*defaultInput()));  // no engine
    ASSERT_TRUE(mic.start());
    ASSERT_TRUE(sys.start());
    EXPECT_EQ(sys.listeners.size(), 2u);
    mic.stop();
    mic.stop();
    sys.stop();
    sys.stop();
    EXPECT_FALSE(mic.engine);
    EXPECT_EQ(sys.tap, 0u);
    EXPECT_EQ(sys.agg, 0u);
    EXPECT_FALSE(sys.proc);
    EXPECT_TRUE(sys.listeners.empty());
    // Started again after a stop, as every rebuild does.
    EXPECT_TRUE(sys.start());
    sys.stop();
  });
}

}  // namespace
}  // namespace lumeno
