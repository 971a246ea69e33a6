// The audio server goes away and comes back: queries answer empty and starts
// fail with a message while it is away, and work again once it is back.
// This test runs a server of its own, so the shared one is not disturbed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
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
  ASSERT_EQ(test::pactl({"unload-module", "module-null-sink"}).status, 0);
  sleepMs(100);
  EXPECT_FALSE(defaultOutputUID());
  testing::internal::CaptureStderr();
  queue.sync([&] {
    sys.stop();
    EXPECT_FALSE(sys.start());
    mic.stop();
  });
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("no output device"), std::string::npos) << err;
  removeEngineObserver(token);
  queue.sync([&] { sys.stop(); });
  EXPECT_TRUE(server.stop());
  EXPECT_FALSE(test::processAlive(server.pid()));
}

}  // namespace
}  // namespace lumeno
