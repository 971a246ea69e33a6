// LiveSpeech's own rules: results into events, placing and copying what is
// fed, the restart policy and finishing. An analyser that stops on demand
// cannot be had from the real recogniser, so these run against a scripted
// one behind the same interface; the real recogniser is tested end to end
// (tests/speech_e2e_test.cpp).
#include "audio/speech/live_speech.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/base/globals.h"
#include "tests/event_stream.h"
#include "tests/stderr_capture.h"
#include "tests/stdout_capture.h"

namespace lumeno {
namespace {

using namespace std::chrono_literals;

// An analyser whose results and stops the test decides. Finalising takes
// everything queued into `received` and ends the results normally.
class ScriptedAnalyzer : public SpeechAnalyzer {
 public:
  ScriptedAnalyzer(std::optional<AudioFormat> format, bool starts) : format_(format), starts_(starts) {}
  std::optional<AudioFormat> bestAvailableAudioFormat() override { return format_; }
  std::shared_ptr<ResultStream> results() override { return results_; }
  bool start(std::shared_ptr<AnalyzerInputQueue> input, std::string* error) override {
    input_ = std::move(input);
    if (!starts_) *error = "no model";
    return starts_;
  }
  bool finalizeAndFinishThroughEndOfInput(std::string*) override {
    ++finalised;
    while (auto in = input_->next()) received.push_back(std::move(*in));
    results_->end();
    results_->waitTaken();
    return true;
  }

  std::shared_ptr<ResultStream> results_ = std::make_shared<ResultStream>();
  std::shared_ptr<AnalyzerInputQueue> input_;
  std::vector<AnalyzerInput> received;
  int finalised = 0;

 private:
  std::optional<AudioFormat> format_;
  bool starts_;
};

// Makes scripted analysers and keeps hold of each.
struct Script {
  std::optional<AudioFormat> format = mono16;
  bool starts = true;
  std::mutex mutex;
  std::vector<std::shared_ptr<ScriptedAnalyzer>> made;

  SpeechAnalyzerFactory factory() {
    return [this](const std::string&) -> std::unique_ptr<SpeechAnalyzer> {
      auto a = std::make_unique<ScriptedAnalyzer>(format, starts);
      std::lock_guard lock(mutex);
      // The test keeps a view of it; the LiveSpeech owns it.
      made.push_back(std::shared_ptr<ScriptedAnalyzer>(a.get(), [](ScriptedAnalyzer*) {}));
      return a;
    };
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return made.size();
  }
  std::shared_ptr<ScriptedAnalyzer> at(size_t i) {
    std::lock_guard lock(mutex);
    return made.at(i);
  }
};

MediaTimeRange range(double fromSeconds, double toSeconds) {
  return {{int64_t(std::llround(fromSeconds * 16000)), 16000},
          {int64_t(std::llround((toSeconds - fromSeconds) * 16000)), 16000}};
}

PcmBuffer samples(uint32_t frames, float value = 0.25f) {
  auto b = PcmBuffer::make(mono16, frames);
  b->setFrameLength(frames);
  std::fill_n(b->floatData(0), frames, value);
  return *b;
}

bool isStarted(LiveSpeech& speech) {
  std::lock_guard lock(speech.lock);
  return speech.started;
}

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout = 5s) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(SpeechEvent, CarriesTrimmedTextTimedWordsAndWholeMilliseconds) {
  struct Case {
    const char* name;
    SpeechResult result;
    std::optional<Json> want;
  };
  const Case cases[] = {
      {"words and the spaces between them",
       {{{"hello", range(1.0, 1.2)}, {" ", std::nullopt}, {"there", range(1.2, 1.5)}}, range(1.0, 1.5), true},
       Json{{"t", "speech"}, {"track", "them"}, {"final", true}, {"startMs", 1000}, {"endMs", 1500},
            {"text", "hello there"},
            {"words", {{{"text", "hello"}, {"startMs", 1000}, {"endMs", 1200}},
                       {{"text", "there"}, {"startMs", 1200}, {"endMs", 1500}}}}}},
      {"only white space, final too", {{{" \n\t ", range(0, 1)}}, range(0, 1), true}, std::nullopt},
      {"text without timed runs",
       {{{"  so ", std::nullopt}}, range(2.0, 2.5), false},
       Json{{"t", "speech"}, {"track", "them"}, {"final", false}, {"startMs", 2000}, {"endMs", 2500},
            {"text", "so"}, {"words", Json::array()}}},
      {"a word keeps its white space; halves round away from zero",
       {{{" ok ", MediaTimeRange{{5, 2000}, {2, 1000}}}}, {{5, 2000}, {1, 2000}}, false},
       Json{{"t", "speech"}, {"track", "them"}, {"final", false}, {"startMs", 3}, {"endMs", 3},
            {"text", "ok"}, {"words", {{{"text", " ok "}, {"startMs", 3}, {"endMs", 5}}}}}},
      {"2.4 ms rounds down",
       {{{"a", MediaTimeRange{{24, 10000}, {0, 10000}}}}, {{24, 10000}, {0, 10000}}, true},
       Json{{"t", "speech"}, {"track", "them"}, {"final", true}, {"startMs", 2}, {"endMs", 2},
            {"text", "a"}, {"words", {{{"text", "a"}, {"startMs", 2}, {"endMs", 2}}}}}},
  };
  for (const auto& c : cases) {
    auto got = speechEvent("them", c.result);
    EXPECT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got && c.want) {
      EXPECT_EQ(*got, *c.want) << c.name;
    }
  }
}

TEST(LiveSpeech, SendsInterimAndFinalResultsAsTheyCome) {
  test::StdoutPipe out;
  Script script;
  auto speech = std::make_shared<LiveSpeech>("me", Locale::fromIdentifier("en-US"), script.factory());
  ASSERT_TRUE(speech->start());
  auto analyzer = script.at(0);
  analyzer->results_->deliver({{{"hel", range(1, 1.1)}}, range(1, 1.1), false});
  analyzer->results_->deliver({{{"   ", std::nullopt}}, range(1, 1.1), false});
  analyzer->results_->deliver({{{"hello", range(1, 1.3)}}, range(1, 1.3), true});
  speech->finish();
  auto events = test::eventsOf(out.take());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].json["text"], "hel");
  EXPECT_EQ(events[0].json["final"], false);
  EXPECT_EQ(events[1].json["text"], "hello");
  EXPECT_EQ(events[1].json["final"], true);
  EXPECT_EQ(events[1].json["track"], "me");
}

TEST(LiveSpeech, PlacesCopiesOfWhatIsFedOnTheAnalyserTimeline) {
  Script script;
  auto speech = std::make_shared<LiveSpeech>("them", Locale::fromIdentifier("en-US"), script.factory());
  speech->feed(samples(1600), 500);  // before start: dropped, the clock untouched
  ASSERT_TRUE(speech->start());
  EXPECT_FALSE(speech->clock.next);
  PcmBuffer reused = samples(1600, 0.5f);
  speech->feed(reused, 1000);
  std::fill_n(reused.floatData(0), 1600, -1.0f);  // the track reuses its buffer at once
  speech->feed(reused, 1100);
  speech->feed(samples(0), 1200);                  // nothing to place
  EXPECT_EQ(speech->clock.next, 19200);
  speech->finish();
  speech->feed(samples(1600), 1300);  // after finish: the clock moves, nothing is analysed
  EXPECT_EQ(speech->clock.next, 22400);

  auto analyzer = script.at(0);
  EXPECT_EQ(analyzer->finalised, 1);
  ASSERT_EQ(analyzer->received.size(), 2u);
  EXPECT_EQ(analyzer->received[0].bufferStartTime.value, 16000);
  EXPECT_EQ(analyzer->received[0].bufferStartTime.timescale, 16000);
  EXPECT_EQ(analyzer->received[0].buffer.floatData(0)[1599], 0.5f) << "a copy, untouched by the reuse";
  EXPECT_EQ(analyzer->received[1].bufferStartTime.value, 17600);
  EXPECT_EQ(analyzer->received[1].buffer.floatData(0)[0], -1.0f);
}

TEST(LiveSpeech, ConvertsForAnAnalyserOfAnotherRateAndTestOverlapGoesToTimeZero) {
  Script script;
  script.format = mono48;
  auto speech = std::make_shared<LiveSpeech>("them", Locale::fromIdentifier("en-US"), script.factory());
  ASSERT_TRUE(speech->start());
  speech->feed(samples(1600), 2000);
  speech->feed(samples(1600), 2100);
  speech->testOverlap(samples(1600, 0));
  speech->finish();
  auto analyzer = script.at(0);
  ASSERT_EQ(analyzer->received.size(), 3u);
  EXPECT_EQ(analyzer->received[0].bufferStartTime.value, 96000);
  EXPECT_EQ(analyzer->received[0].bufferStartTime.timescale, 48000);
  EXPECT_EQ(analyzer->received[0].buffer.format(), mono48);
  // The resampler holds back a few frames, so the second buffer lands flush.
  EXPECT_EQ(analyzer->received[1].bufferStartTime.value, 96000 + int64_t(analyzer->received[0].buffer.frameLength()));
  EXPECT_EQ(analyzer->received[2].bufferStartTime.value, 0);
}

TEST(LiveSpeech, StartsAgainFiveTimesAfterStopsThenGivesUp) {
  test::StderrCapture err;
  Script script;
  auto speech = std::make_shared<LiveSpeech>("me", Locale::fromIdentifier("en-US"), script.factory());
  ASSERT_TRUE(speech->start());
  for (size_t stop = 0; stop < 6; ++stop) {
    ASSERT_TRUE(waitUntil([&] { return script.count() == stop + 1 && isStarted(*speech); })) << stop;
    speech->feed(samples(160), 0);
    script.at(stop)->results_->fail("engine fault " + std::to_string(stop + 1));
  }
  ASSERT_TRUE(waitUntil([&] { return err.peek().find("not starting again") != std::string::npos; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(script.count(), 6u) << "no seventh analyser";
  std::string want;
  for (int i = 1; i <= 5; ++i)
    want += "speech me stopped: engine fault " + std::to_string(i) + "\nspeech me started again (" +
            std::to_string(i) + " of 5)\n";
  want += "speech me stopped: engine fault 6\nspeech me: not starting again\n";
  EXPECT_EQ(err.text(), want);
}

TEST(LiveSpeech, ARestartThatFailsEndsTranscriptionForGood) {
  test::StderrCapture err;
  Script script;
  auto speech = std::make_shared<LiveSpeech>("them", Locale::fromIdentifier("en-US"), script.factory());
  ASSERT_TRUE(speech->start());
  script.starts = false;
  script.at(0)->results_->fail("engine fault");
  ASSERT_TRUE(waitUntil([&] { return script.count() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return err.peek().find("failed to start") != std::string::npos; }));
  speech->feed(samples(1600), 0);
  EXPECT_FALSE(speech->clock.next) << "audio is dropped";
  EXPECT_EQ(err.text(), "speech them stopped: engine fault\nspeech them failed to start: no model\n");
}

TEST(LiveSpeech, FailsToStartWithoutAFormatOrAModel) {
  struct Case {
    std::optional<AudioFormat> format;
    bool starts;
    std::string log;
  };
  const Case cases[] = {
      {std::nullopt, true, "speech: no audio format\n"},
      {mono16, false, "speech them failed to start: no model\n"},
  };
  for (const auto& c : cases) {
    test::StderrCapture err;
    Script script;
    script.format = c.format;
    script.starts = c.starts;
    auto speech = std::make_shared<LiveSpeech>("them", Locale::fromIdentifier("en-US"), script.factory());
    EXPECT_FALSE(speech->start());
    EXPECT_FALSE(isStarted(*speech));
    speech->finish();  // only marks it finishing
    EXPECT_TRUE(speech->finishing);
    EXPECT_EQ(err.text(), c.log);
  }
}

TEST(LiveSpeech, AStopWhileFinishingIsNotStartedAgain) {
  test::StderrCapture err;
  Script script;
  auto speech = std::make_shared<LiveSpeech>("me", Locale::fromIdentifier("en-US"), script.factory());
  ASSERT_TRUE(speech->start());
  {
    std::lock_guard lock(speech->lock);
    speech->finishing = true;
  }
  script.at(0)->results_->fail("engine fault");
  ASSERT_TRUE(waitUntil([&] { return err.peek().find("not starting again") != std::string::npos; }));
  EXPECT_EQ(err.text(), "speech me stopped: engine fault\nspeech me: not starting again\n");
  EXPECT_EQ(script.count(), 1u);
}

}  // namespace
}  // namespace lumeno
