// The audio server goes away and comes back, or stops answering and answers
// again: queries answer empty and starts fail with a message meanwhile, and
// work again afterwards. These tests run servers of their own, so the shared
// one is not disturbed.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/capture/hardware.h"
#include "audio/capture/mic.h"
#include "audio/capture/system_audio.h"
#include "audio/platform/pulse.h"
#include "tests/audio_server.h"

namespace lumeno {
namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(AudioServerRestart, StartsFailCleanlyWhileTheServerIsAwayAndWorkAfter) {
  test::TempDir tmp;
  test::AudioServer server(tmp.path());
  ASSERT_TRUE(server.start());
  setenv("PULSE_SERVER", server.address().c_str(), 1);

  std::atomic<int> micBuffers{0}, sysBuffers{0};
  std::atomic<uint64_t> changed{0};
  std::atomic<int> rateChanges{0};
  SerialQueue queue("test.restart");  // drains before the counters go
  Mic mic([&](PcmBuffer&, std::optional<double>) { ++micBuffers; }, queue);
  SystemAudio sys([&](PcmBuffer&, std::optional<double>) { ++sysBuffers; }, queue);
  auto token = observeEngineConfigurationChange([&](uint64_t id) { changed = id; });
  queue.sync([&] {
    sys.onRateChange = [&] { ++rateChanges; };
    ASSERT_TRUE(mic.start());
    ASSERT_TRUE(sys.start());
  });
  uint64_t engineId = mic.engine->id();

  ASSERT_TRUE(server.stop());
  for (int i = 0; i < 300 && (changed == 0 || rateChanges == 0); ++i) sleepMs(10);
  // The microphone's stream died with the server: its configuration changed;
  // the system audio's owner is asked to rebuild.
  EXPECT_EQ(changed.load(), engineId);
  EXPECT_GE(rateChanges.load(), 1);

  EXPECT_FALSE(pulse::Connection::shared().reachable());
  EXPECT_FALSE(defaultOutputUID());
  EXPECT_FALSE(defaultInput());
  EXPECT_FALSE(micDevice(test::kMic));
  EXPECT_TRUE(audioProcesses().empty());
  EXPECT_TRUE(lumenoProcesses().empty());
  testing::internal::CaptureStderr();
  queue.sync([&] {
    EXPECT_FALSE(mic.restart());
    mic.stop();
    EXPECT_FALSE(mic.start());
    sys.stop();
    EXPECT_FALSE(sys.start());
    EXPECT_EQ(sys.tap, 0u);
    EXPECT_FALSE(sys.proc);
  });
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("tap failed: -"), std::string::npos) << err;
  EXPECT_NE(err.find("no microphone"), std::string::npos) << err;

  ASSERT_TRUE(server.start());
  EXPECT_EQ(defaultOutputUID(), test::kSpeakers);
  queue.sync([&] {
    EXPECT_TRUE(mic.start());
    EXPECT_TRUE(sys.start());
  });
  int micBefore = micBuffers, sysBefore = sysBuffers;
  sleepMs(500);
  EXPECT_GT(micBuffers.load(), micBefore);
  EXPECT_GT(sysBuffers.load(), sysBefore);

  // Without any playback device, the system audio has nothing to record.
  // PipeWire's pulse server puts a dummy sink in place of the last one, so
  // there the system audio records its silence.
  ASSERT_EQ(test::pactl({"unload-module", "module-null-sink"}).status, 0);
  sleepMs(100);
  const bool pipewire = test::serverKind() == "pipewire";
  if (pipewire)
    EXPECT_EQ(defaultOutputUID(), "auto_null");
  else
    EXPECT_FALSE(defaultOutputUID());
  testing::internal::CaptureStderr();
  queue.sync([&] {
    sys.stop();
    EXPECT_EQ(sys.start(), pipewire);
    mic.stop();
  });
  err = testing::internal::GetCapturedStderr();
  if (!pipewire) {
    EXPECT_NE(err.find("no output device"), std::string::npos) << err;
  }
  removeEngineObserver(token);
  queue.sync([&] { sys.stop(); });
  EXPECT_TRUE(server.stop());
  EXPECT_FALSE(test::processAlive(server.pid()));
}

// The state letter of a process in /proc ('T' when stopped); 0 when gone.
char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// Freezes a server as one that hangs with its socket still open: stopped
// with SIGSTOP until resume() or the end of the scope, also when an assertion
// returns early, so that no stopped server is left behind.
class Freeze {
 public:
  explicit Freeze(pid_t pid) : pid_(pid) {
    if (pid_ > 0) kill(pid_, SIGSTOP);
  }
  ~Freeze() { resume(); }
  Freeze(const Freeze&) = delete;
  Freeze& operator=(const Freeze&) = delete;

  // Waits until the process is stopped.
  bool frozen() const {
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      if (processState(pid_) == 'T') return true;
      sleepMs(10);
    }
    return false;
  }
  void resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

double secondsOf(const std::function<void()>& call) {
  auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Far below libpulse's own 30 s reply timeout, far above the layer's bound:
// a call that returns within it gave up on its own instead of hanging.
constexpr double kGivesUp = 5.0;

// A server of its own with a microphone and the system audio recording from
// it and a listener for its notices, all on the test's queue.
class StalledServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    token = observeEngineConfigurationChange([this](uint64_t id) { changed = id; });
    listener = pulse::Connection::shared().listen(queue, [this](pulse::Notice n) {
      std::lock_guard g(noticesMutex);
      notices.push_back(n);
    });
    queue.sync([&] {
      sys.onRateChange = [this] { ++rateChanges; };
      ASSERT_TRUE(mic.start());
      ASSERT_TRUE(sys.start());
      engineId = mic.engine->id();
    });
    ASSERT_TRUE(delivering());
  }
  void TearDown() override {
    removeEngineObserver(token);
    queue.sync([&] {
      pulse::Connection::shared().remove(listener);
      mic.stop();
      sys.stop();
    });
  }

  // Both deliver new buffers within a few seconds.
  bool delivering() {
    int micBefore = micBuffers, sysBefore = sysBuffers;
    for (int i = 0; i < 500 && (micBuffers == micBefore || sysBuffers == sysBefore); ++i) sleepMs(10);
    return micBuffers > micBefore && sysBuffers > sysBefore;
  }

  // The microphone's configuration-change notice and the system audio's
  // rebuild request, as when the server goes away.
  void expectStreamsFailed() {
    for (int i = 0; i < 500 && (changed != engineId || rateChanges == 0); ++i) sleepMs(10);
    EXPECT_EQ(changed.load(), engineId);
    EXPECT_GE(rateChanges.load(), 1);
    queue.sync([&] {
      EXPECT_FALSE(mic.engine && mic.engine->isRunning());
      EXPECT_FALSE(sys.proc && sys.proc->running());
    });
  }

  // After the server was let go on: the queries answer as soon as the short
  // hold-off after the stall is over, the starts work and deliver, and the
  // notices come as before.
  void expectWorksAgain() {
    auto& connection = pulse::Connection::shared();
    std::optional<pulse::ServerInfo> info;
    for (int i = 0; i < 50 && !(info = connection.serverInfo()); ++i) sleepMs(100);
    ASSERT_TRUE(info);
    EXPECT_EQ(connection.lastError(), 0);
    EXPECT_EQ(defaultOutputUID(), test::kSpeakers);
    EXPECT_TRUE(defaultInput());
    EXPECT_TRUE(micDevice(test::kMic));
    queue.sync([&] {
      mic.stop();
      sys.stop();
      EXPECT_TRUE(mic.start());
      EXPECT_TRUE(sys.start());
    });
    EXPECT_TRUE(delivering());

    // Nothing changed while the server stood still, so the new connection's
    // look at it gave no notice; the subscription was made again with it.
    queue.sync([] {});
    EXPECT_EQ(noticeCount(), 0u);
    ASSERT_EQ(test::pactl({"set-default-source", "test_speakers.monitor"}).status, 0);
    for (int i = 0; i < 300 && noticeCount() == 0; ++i) sleepMs(10);
    std::lock_guard g(noticesMutex);
    EXPECT_EQ(notices, std::vector<pulse::Notice>{pulse::Notice::defaultInputChanged});
  }

  size_t noticeCount() {
    std::lock_guard g(noticesMutex);
    return notices.size();
  }

  test::TempDir tmp;
  test::AudioServer server{tmp.path()};
  std::atomic<int> micBuffers{0}, sysBuffers{0};
  std::atomic<uint64_t> changed{0};
  std::atomic<int> rateChanges{0};
  std::mutex noticesMutex;
  std::vector<pulse::Notice> notices;
  uint64_t token = 0;
  pulse::Connection::ListenerId listener = 0;
  uint64_t engineId = 0;
  SerialQueue queue{"test.stall"};  // drains before the counters go
  Mic mic{[this](PcmBuffer&, std::optional<double>) { ++micBuffers; }, queue};
  SystemAudio sys{[this](PcmBuffer&, std::optional<double>) { ++sysBuffers; }, queue};
};

TEST_F(StalledServerTest, QueriesAndStartsGiveUpWithinTheBoundAndWorkAfterwards) {
  auto& connection = pulse::Connection::shared();
  {
    Freeze freeze(server.pid());
    ASSERT_TRUE(freeze.frozen());

    // The first query meets the stalled server on a working connection.
    std::optional<pulse::ServerInfo> info;
    double took = secondsOf([&] { info = connection.serverInfo(); });
    EXPECT_FALSE(info);
    EXPECT_LT(took, kGivesUp);
    EXPECT_EQ(connection.lastError(), pulse::kTimedOut);
    expectStreamsFailed();

    // Each query gives up on its own, also when it has to connect anew: the
    // pause lets the hold-off after the last stall pass first.
    struct Query {
      const char* name;
      std::function<bool()> empty;
    };
    std::vector<Query> queries = {
        {"serverInfo", [&] { return !connection.serverInfo(); }},
        {"sources", [&] { return connection.sources().empty(); }},
        {"defaultInput", [] { return !defaultInput(); }},
        {"micDevice", [] { return !micDevice(test::kMic); }},
    };
    for (const auto& q : queries) {
      sleepMs(1200);
      bool empty = false;
      took = secondsOf([&] { empty = q.empty(); });
      EXPECT_TRUE(empty) << q.name;
      EXPECT_LT(took, kGivesUp) << q.name;
      EXPECT_EQ(connection.lastError(), pulse::kTimedOut) << q.name;
    }

    // A run of queries, as one step of the recorder makes, waits for the
    // stalled server once, not once per query (eight waits otherwise).
    sleepMs(1200);
    took = secondsOf([&] {
      EXPECT_FALSE(connection.serverInfo());
      EXPECT_TRUE(connection.sources().empty());
      EXPECT_TRUE(connection.sinks().empty());
      EXPECT_FALSE(connection.sinkInputs());
      EXPECT_FALSE(defaultInput());
      EXPECT_FALSE(defaultOutputUID());
      EXPECT_FALSE(micDevice(test::kMic));
      EXPECT_FALSE(connection.reachable());
    });
    EXPECT_LT(took, kGivesUp);

    // The starts fail with their line instead of hanging; the first meets
    // the stalled server, the second the hold-off after it.
    sleepMs(1200);
    testing::internal::CaptureStderr();
    double micTook = 0, sysTook = 0;
    queue.sync([&] {
      mic.stop();
      sys.stop();
      micTook = secondsOf([&] { EXPECT_FALSE(mic.start()); });
      sysTook = secondsOf([&] { EXPECT_FALSE(sys.start()); });
      EXPECT_FALSE(mic.engine);
      EXPECT_EQ(sys.tap, 0u);
      EXPECT_FALSE(sys.proc);
    });
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(micTook, kGivesUp);
    EXPECT_LT(sysTook, kGivesUp);
    EXPECT_NE(err.find("no microphone"), std::string::npos) << err;
    EXPECT_NE(err.find("tap failed: " + std::to_string(pulse::kTimedOut)), std::string::npos) << err;
  }
  expectWorksAgain();
}

TEST_F(StalledServerTest, OpeningAStreamGivesUpAndClosingOneNeverWaits) {
  pulse::StreamSpec wanted;
  wanted.device = test::kMic;
  wanted.rate = 48000;
  wanted.channels = 1;
  wanted.name = "extra";
  auto noData = [](const float*, uint32_t, std::optional<uint64_t>) {};
  auto noFail = [](const std::string&) {};
  int status = 0;
  std::string error;
  auto extra = pulse::RecordStream::open(wanted, noData, noFail, &status, &error);
  ASSERT_TRUE(extra) << error;
  {
    Freeze freeze(server.pid());
    ASSERT_TRUE(freeze.frozen());

    // Closing sends its word to the server and goes; the connection lives on.
    double took = secondsOf([&] { extra.reset(); });
    EXPECT_LT(took, kGivesUp);

    // A stream asked for on the still working connection gives up, and the
    // streams that ran fail as when the server goes away.
    std::unique_ptr<pulse::RecordStream> stream;
    took = secondsOf([&] { stream = pulse::RecordStream::open(wanted, noData, noFail, &status, &error); });
    EXPECT_FALSE(stream);
    EXPECT_LT(took, kGivesUp);
    EXPECT_EQ(status, pulse::kTimedOut) << error;
    expectStreamsFailed();
  }
  expectWorksAgain();
}

}  // namespace
}  // namespace lumeno
