// `lumeno-audio record --speech` on the private audio server of the test
// run: sentences spoken by Festival play into the speakers ("them") and into
// the microphone ("me"), and the "speech" events must name the words where
// the decoded files hold the speech.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "tests/audio_server.h"
#include "tests/media_fixtures.h"
#include "tests/recording.h"
#include "tests/speech_fixtures.h"

namespace lumeno::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;

// Plays a file into a sink from outside the test's process family; waits
// until it has played.
void play(const std::string& sink, const std::string& wav) {
  pid_t pid = spawnDetached({"/usr/bin/paplay", "-d", sink, wav});
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 300 && processAlive(pid); ++i) std::this_thread::sleep_for(50ms);
}

// The first moment (ms of the file) from `fromMs` on where the decoded
// 48 kHz samples are louder than quiet; none when they never are.
std::optional<double> onsetAfter(const std::vector<float>& samples, double fromMs) {
  for (double at = std::max(0.0, fromMs); (at + 5) * 48 < double(samples.size()); at += 5)
    if (rmsBetween(samples, at / 1000, (at + 5) / 1000) > 0.01) return at;
  return std::nullopt;
}

struct Word {
  std::string text;
  double startMs, endMs;
};

// The words of a track's final "speech" events, in order.
std::vector<Word> finalWords(const std::vector<ArrivedEvent>& events, const std::string& track) {
  std::vector<Word> words;
  for (const auto& e : finalsOf(ofType(events, "speech"), track))
    for (const auto& w : e["words"]) words.push_back({w["text"], w["startMs"].get<double>(), w["endMs"].get<double>()});
  return words;
}

// Where the sound of a spoken file begins, by the same measure as in the
// recording: a word may start with a silent closure ("please").
double soundStartMs(const Spoken& spoken) {
  return onsetAfter(decodeAll(spoken.wav), 0).value_or(spoken.words[0].startMs);
}

// Finds the sentence among the recognised words from `from` on: each spoken
// word in turn is looked for among the next few recognised ones. Checks that
// nearly all were found, each within 100 ms of where it lies in the
// recording, given where the sentence's sound begins there (onsetMs).
// Returns the index after the last word found.
size_t expectSentence(const std::vector<Word>& got, size_t from, const Spoken& spoken, double onsetMs,
                      const std::string& what) {
  double sound = soundStartMs(spoken);
  size_t at = from, found = 0;
  for (const auto& w : spoken.words) {
    for (size_t i = at; i < std::min(got.size(), at + 3); ++i) {
      if (got[i].text != w.text) continue;
      ++found;
      EXPECT_NEAR(got[i].startMs, onsetMs + w.startMs - sound, 100) << what << ": " << w.text;
      at = i + 1;
      break;
    }
  }
  EXPECT_GE(found + 1, spoken.words.size()) << what << ": at most one word missed";
  return at;
}

class RecordSpeechTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    material = new SpeechMaterial(LUMENO_AUDIO_BIN);
    first = &material->first;
    second = &material->second;
  }
  static void TearDownTestSuite() { delete material; }
  void SetUp() override {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run through ctest: the audio_server fixture starts the server";
    ASSERT_TRUE(*first && *second) << "Festival did not speak";
    ASSERT_TRUE(material->installed);
  }
  std::unique_ptr<Recording> record(const std::vector<std::string>& extra, std::map<std::string, std::string> env = {}) {
    env.emplace("LUMENO_AUDIO_TEST", "1");
    env.emplace("XDG_DATA_HOME", material->dataHome());
    return std::make_unique<Recording>(LUMENO_AUDIO_BIN, dir(), extra, env);
  }
  std::string dir() const { return tmp / "rec"; }
  std::vector<float> decoded(const std::string& name) const { return decodeAll(fs::path(dir()) / name); }

  static inline SpeechMaterial* material = nullptr;
  static inline const std::optional<Spoken>*first = nullptr, *second = nullptr;
  TempDir tmp;
};

bool isReady(const Event& e, const Json& tracks) { return e.type() == "speech-ready" && e.json["tracks"] == tracks; }

TEST_F(RecordSpeechTest, BothTracksAreTranscribedWhereTheSpeechLiesThroughAGapAMuteAndAnUnmute) {
  auto rec = record({"--speech", "en-US"});
  ASSERT_TRUE(rec->waitFor([](const Event& e) { return isReady(e, {"me", "them"}); }, 30s)) << rec->log();
  auto clock = calibrate(*rec);
  ASSERT_TRUE(clock);

  // Both tracks at once, then "them" again after a gap of silence.
  uint64_t bothNs = monotonicNs();
  std::thread toMic([&] { play(kMicSink, (*second)->wav); });
  play(kSpeakers, (*first)->wav);
  toMic.join();
  std::this_thread::sleep_for(3000ms);
  uint64_t gapNs = monotonicNs();
  play(kSpeakers, (*second)->wav);

  // "me" muted in the middle of a sentence, then unmuted and spoken to again.
  pid_t talking = spawnDetached({"/usr/bin/paplay", "-d", kMicSink, (*first)->wav});
  std::this_thread::sleep_for(1200ms);
  rec->command("mute 1");
  for (int i = 0; i < 100 && processAlive(talking); ++i) std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(500ms);
  size_t beforeUnmute = rec->eventCount();
  rec->command("unmute 2");
  ASSERT_TRUE(rec->waitFor([](const Event& e) { return isReady(e, {"me", "them"}); }, 30s, beforeUnmute))
      << "a new \"speech-ready\" after the unmute";
  uint64_t againNs = monotonicNs();
  play(kMicSink, (*first)->wav);
  std::this_thread::sleep_for(1500ms);
  rec->command("stop");
  ASSERT_EQ(rec->wait().status, 0) << rec->log();
  EXPECT_EQ(rec->log(), "");

  auto events = rec->events();
  std::map<int, double> answerMs;  // by id; calibrate() asked with id 0
  for (const auto& a : ofType(events, "mic-muted")) answerMs[a["id"].get<int>()] = a["ms"].get<double>();
  ASSERT_TRUE(answerMs.count(1) && answerMs.count(2));
  double muteMs = answerMs[1], unmuteMs = answerMs[2];
  auto me48 = decoded("me.m4a"), them48 = decoded("them.m4a");

  auto them = finalWords(events, "them");
  auto themFirst = onsetAfter(them48, (*clock)(bothNs) - 200);
  auto themSecond = onsetAfter(them48, (*clock)(gapNs) - 200);
  ASSERT_TRUE(themFirst && themSecond);
  size_t at = expectSentence(them, 0, **first, *themFirst, "them, first");
  expectSentence(them, at, **second, *themSecond, "them, after the gap");

  auto me = finalWords(events, "me");
  auto meFirst = onsetAfter(me48, (*clock)(bothNs) - 200);
  auto meAgain = onsetAfter(me48, std::max((*clock)(againNs) - 200, unmuteMs));
  ASSERT_TRUE(meFirst && meAgain);
  at = expectSentence(me, 0, **second, *meFirst, "me");
  // The mute ended "me"'s transcription: nothing was heard while muted.
  for (const auto& e : ofType(events, "speech")) {
    if (e["track"] != "me") continue;
    for (const auto& w : e["words"])
      EXPECT_FALSE(w["startMs"].get<double>() > muteMs + 50 && w["startMs"].get<double>() < unmuteMs)
          << "a word of \"me\" while muted: " << e.dump();
  }
  size_t afterMute = 0;
  while (afterMute < me.size() && me[afterMute].startMs < unmuteMs) ++afterMute;
  EXPECT_GE(afterMute, at) << "the cut sentence's words come before the unmute";
  expectSentence(me, afterMute, **first, *meAgain, "me, after the unmute");
}

TEST_F(RecordSpeechTest, ALocaleThatIsNotInstalledIsOneLineAndOneSpeechOff) {
  auto rec = record({"--speech", "fr-FR"});
  ASSERT_TRUE(rec->waitForType("speech-off", 10s));
  ASSERT_TRUE(rec->waitForType("level", 10s));
  std::this_thread::sleep_for(1000ms);
  rec->command("stop");
  ASSERT_EQ(rec->wait().status, 0);
  EXPECT_EQ(rec->log(), "speech: fr-FR is not installed\n");
  auto events = rec->events();
  EXPECT_EQ(ofType(events, "speech-off").size(), 1u);
  EXPECT_EQ(ofType(events, "speech-ready").size(), 0u);
  EXPECT_GE(ofType(events, "level").size(), 8u) << "recording goes on";
  EXPECT_FALSE(decoded("them.m4a").empty());
}

TEST_F(RecordSpeechTest, StartedMutedOnlyThemIsTranscribedUntilTheUnmute) {
  auto rec = record({"--speech", "en-US", "--mic-muted"});
  auto ready = rec->waitForType("speech-ready", 30s);
  ASSERT_TRUE(ready) << rec->log();
  EXPECT_EQ(ready->event.json["tracks"], Json({"them"}));
  size_t before = rec->eventCount();
  rec->command("unmute 1");
  EXPECT_TRUE(rec->waitFor([](const Event& e) { return isReady(e, {"me", "them"}); }, 30s, before));
  rec->command("stop");
  ASSERT_EQ(rec->wait().status, 0);
  EXPECT_EQ(rec->log(), "");
}

TEST_F(RecordSpeechTest, TranscriptionThatNeverFinishesHoldsUpTheEndForFourSecondsAtMost) {
  auto rec = record({"--speech", "en-US"}, {{"LUMENO_TEST_SPEECH", "never-finish"}});
  ASSERT_TRUE(rec->waitFor([](const Event& e) { return isReady(e, {"me", "them"}); }, 30s)) << rec->log();
  std::this_thread::sleep_for(500ms);
  auto stopAt = std::chrono::steady_clock::now();
  rec->command("stop");
  auto result = rec->wait(60s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
  ASSERT_EQ(result.status, 0) << rec->log();
  EXPECT_GE(seconds, 3.9) << "the transcriptions were given their time";
  EXPECT_LT(seconds, 20.0) << "and no more";
  auto me = decoded("me.m4a"), them = decoded("them.m4a");
  EXPECT_FALSE(me.empty());
  EXPECT_EQ(me.size(), them.size());
}

}  // namespace
}  // namespace lumeno::test
