// The recorder's own rules, without an audio server (PULSE_SERVER points
// nowhere): the moment of a mute change and its answer, the cut after an
// unmute, the command language, the retry schedule, and finish() evening out
// both files. Recordings on a real server are tested end to end in tests/.
#include "audio/recorder/recorder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "tests/event_stream.h"
#include "tests/media_fixtures.h"
#include "tests/stderr_capture.h"
#include "tests/stdout_capture.h"

namespace lumeno {
namespace {

using test::eventsOf;
using test::ofType;

TEST(MicChange, IsNowButNotBeforeTheFileEndAndWholeInRecordingTime) {
  struct Case {
    double nowMs;
    int64_t mePts;
    double offsetMs;
    double wantMs;     // program time of the change
    int64_t padTo;     // the frame "me" is padded to
  };
  const Case cases[] = {
      {5000.1, 239520, 1000.25, 5000.75, 240036},  // recording time 6001
      {5000.1, 0, 0, 5001, 240048},
      {1000, 96000, 0, 2000, 96000},               // the file already reaches 2 s
      {999.7, 0, 61234.5, 1000.5, 48024},          // 62235 in recording time
  };
  for (const auto& c : cases) {
    double ms = micChangeMs(c.nowMs, c.mePts, c.offsetMs);
    EXPECT_DOUBLE_EQ(ms, c.wantMs) << c.nowMs;
    EXPECT_EQ(int64_t(std::ceil(ms * 48.0)), c.padTo) << c.nowMs;
    EXPECT_EQ(c.offsetMs + ms, std::round(c.offsetMs + ms)) << "whole in recording time";
  }
}

TEST(RetryDelay, BacksOffOneTwoFourThenFiveForEver) {
  const double want[] = {1, 2, 4, 5, 5, 5, 5};
  for (int64_t tries = 1; tries <= 7; ++tries) EXPECT_EQ(retryDelay(tries), want[tries - 1]) << tries;
}

TEST(CutHeardBefore, KeepsOnlyWhatWasHeardFromTheUnmuteOn) {
  struct Case {
    std::optional<double> heardMs;
    bool kept;
    uint32_t frames;  // left
    double heardAfter;  // the heard time of the first frame kept
  };
  const Case cases[] = {
      {9950.0, true, 2400, 10000.0},  // half of it was heard before 10,000 ms
      {9900.0, false, 0, 0},          // all of it
      {9899.0, false, 0, 0},
      {10000.0, true, 4800, 10000.0},  // none of it
      {10020.0, true, 4800, 10020.0},
      {std::nullopt, false, 0, 0},
  };
  for (const auto& c : cases) {
    auto b = PcmBuffer::make(mono48, 4800);
    b->setFrameLength(4800);
    for (uint32_t i = 0; i < 4800; ++i) b->floatData(0)[i] = float(i);
    auto heard = c.heardMs;
    EXPECT_EQ(cutHeardBefore(*b, heard, 10000.0), c.kept) << c.heardMs.value_or(-1);
    if (!c.kept) continue;
    EXPECT_EQ(b->frameLength(), c.frames);
    EXPECT_DOUBLE_EQ(*heard, c.heardAfter);
    EXPECT_EQ(b->floatData(0)[0], float(4800 - c.frames)) << "the kept frames moved to the front";
  }
}

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOffset_ = startOffsetMs;
    recorder = std::make_unique<Recorder>(folder.path(), 0);
    recorder->ended = [this] { ended.signal(); };
  }
  void TearDown() override {
    work->sync([] {});
    startOffsetMs = savedOffset_;
  }
  // Runs block on the work queue, where the recorder lives.
  void onWork(const Block& block) { work->sync(block); }

  test::Folder folder;
  std::unique_ptr<Recorder> recorder;
  Semaphore ended{0};

 private:
  double savedOffset_ = 0;
};

TEST_F(RecorderTest, MuteAndUnmuteAnswerWithTheMomentAndPadMeToIt) {
  test::StdoutPipe out;
  startOffsetMs = 1000.25;
  int readyAsked = 0;
  bool ready = false;
  auto inputReady = [&] {
    ++readyAsked;
    return ready;
  };
  int64_t padded = 0;
  double before = 0;
  onWork([&] {
    recorder->me->openWriter();
    before = nowMs();
    recorder->setMicMuted(true, 3, inputReady);
    padded = recorder->me->pts;
    recorder->setMicMuted(true, 3, inputReady);  // no change: an answer, nothing else
    EXPECT_EQ(recorder->me->pts, padded);
    recorder->setMicMuted(false, 4, inputReady);  // the microphone is not running
    EXPECT_FALSE(recorder->micFrom);
    ready = true;
    recorder->setMicMuted(false, -5, inputReady);
    recorder->setMicMuted(false, 6, inputReady);  // already unmuted: readiness not asked
  });
  auto answers = ofType(eventsOf(out.take()), "mic-muted");
  ASSERT_EQ(answers.size(), 5u);
  const std::pair<int64_t, bool> want[] = {{3, true}, {3, true}, {4, true}, {-5, false}, {6, false}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(answers[i]["id"], want[i].first);
    EXPECT_EQ(answers[i]["muted"], want[i].second);
    ASSERT_TRUE(answers[i]["ms"].is_number_integer()) << answers[i].dump();
  }
  // The first answer names a whole millisecond of recording time, at or just
  // after the moment of the command, and "me" reaches exactly that moment.
  double firstMs = answers[0]["ms"].get<double>();
  EXPECT_GE(firstMs, std::ceil(startOffsetMs + before));
  EXPECT_LT(firstMs, startOffsetMs + before + 1000);
  EXPECT_EQ(padded, int64_t(std::ceil((firstMs - startOffsetMs) * 48.0)));
  EXPECT_EQ(readyAsked, 2);
  onWork([&] {
    EXPECT_FALSE(recorder->micMuted);
    ASSERT_TRUE(recorder->micFrom);
    EXPECT_EQ(startOffsetMs + *recorder->micFrom, answers[3]["ms"].get<double>());
    EXPECT_EQ(recorder->micSpeechGeneration, 1);
    recorder->me->cancel();
  });
}

TEST_F(RecorderTest, CommandLanguage) {
  struct Case {
    std::string line;
    std::string log;         // what the log says
    size_t answers;          // "mic-muted" events
  };
  const Case cases[] = {
      {"Pause", "unknown command: Pause\n", 0},
      {"mute", "unknown command: mute\n", 0},
      {"unmute", "unknown command: unmute\n", 0},
      {"mute x", "", 0},
      {"mute 1 2", "", 0},
      {"mute 99999999999999999999", "", 0},
      {"mute -4", "", 1},
      {"mute   +7", "", 1},
      {"unmute\t3", "unknown command: unmute\t3\n", 0},
      {"stopp", "unknown command: stopp\n", 0},
      {"mic  nothing-here ", "no microphone nothing-here here\n", 0},
  };
  for (const auto& c : cases) {
    test::StdoutPipe out;
    test::StderrCapture err;
    onWork([&] { recorder->command(c.line); });
    EXPECT_EQ(err.text(), c.log) << c.line;
    EXPECT_EQ(ofType(eventsOf(out.take()), "mic-muted").size(), c.answers) << c.line;
  }

  // The test commands exist in test mode only.
  {
    test::StderrCapture err;
    bool saved = testing;
    testing = false;
    onWork([&] { recorder->command("test-mic-rebuild"); });
    testing = saved;
    EXPECT_EQ(err.text(), "unknown command: test-mic-rebuild\n");
  }

  onWork([&] {
    recorder->command("pause");
    EXPECT_TRUE(recorder->paused);
    recorder->command("pause");
    EXPECT_TRUE(recorder->paused);
    recorder->command("resume");
    EXPECT_FALSE(recorder->paused);
    EXPECT_TRUE(recorder->micMuted) << "mute and pause are independent";
  });
}

TEST_F(RecorderTest, FinishEvensOutBothFilesClosesThemAndEndsOnce) {
  test::StdoutPipe out;
  onWork([&] {
    recorder->me->openWriter();
    recorder->them->openWriter();
    recorder->micMuted = true;
  });
  // A second of a muted microphone and no system audio.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  double finishedAt = 0;
  onWork([&] {
    finishedAt = nowMs();
    recorder->finish();
    recorder->finish();
    recorder->command("stop");
  });
  ASSERT_TRUE(ended.wait(30.0));
  EXPECT_FALSE(ended.wait(0.5)) << "ended once";
  onWork([&] {
    EXPECT_EQ(recorder->me->pts, recorder->them->pts);
    // Muted, "me" was padded up to the clock at the finish.
    EXPECT_NEAR(double(recorder->me->pts) / 48.0, finishedAt, 5.0);
  });
  auto me = test::decodeAll(folder / "me.m4a");
  auto them = test::decodeAll(folder / "them.m4a");
  EXPECT_EQ(int64_t(me.size()), recorder->me->pts);
  EXPECT_EQ(them.size(), me.size());
  EXPECT_LT(test::rms(me), 1e-4) << "silence";
  EXPECT_TRUE(ofType(eventsOf(out.take()), "level").empty()) << "start() never ran: no level timer";
}

}  // namespace
}  // namespace lumeno
