// The speech commands of the real lumeno-audio: the model store
// (speech-locales, speech-install), speech-file on speech made here, and the
// speech-clock probe. The model store is a temporary XDG_DATA_HOME.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "tests/event_stream.h"
#include "tests/process.h"
#include "tests/speech_fixtures.h"

namespace lumeno::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

ProcessResult audio(std::vector<std::string> words, const std::string& xdg, ProcessOptions options = {}) {
  words.insert(words.begin(), LUMENO_AUDIO_BIN);
  options.setEnv["XDG_DATA_HOME"] = xdg;
  return runProcess(words, options);
}

TEST(SpeechModels, InstallIntoAnEmptyStoreAndAnswerFromIt) {
  TempDir tmp;
  std::string xdg = tmp / "data";
  struct Step {
    std::vector<std::string> words;
    std::string out;
  };
  const Step steps[] = {
      {{"speech-locales"}, R"({"available":true,"installed":[],"supported":["en-US"]})"},
      {{"speech-install"}, R"({"installed":false})"},
      {{"speech-install", "fr-FR"}, R"({"installed":false})"},
      {{"speech-install", "EN_us"}, R"({"installed":true})"},
      {{"speech-locales"}, R"({"available":true,"installed":["en-US"],"supported":["en-US"]})"},
      {{"speech-install", "en"}, R"({"installed":true})"},  // already there: matched by language
  };
  for (const auto& s : steps) {
    auto r = audio(s.words, xdg);
    EXPECT_EQ(r.status, 0) << s.words[0];
    EXPECT_EQ(r.out, s.out + "\n") << s.words.back();
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(fs::exists(fs::path(xdg) / "lumeno/speech/en-US/en-us/mdef"));
  for (const auto& entry : fs::directory_iterator(fs::path(xdg) / "lumeno/speech"))
    EXPECT_EQ(entry.path().filename(), "en-US") << "no half-made model is left behind";
}

TEST(SpeechModels, AStoreThatCannotBeWrittenAnswersNotInstalled) {
  TempDir tmp;
  std::string file = tmp / "a-file";
  std::ofstream(file) << "not a folder";
  EXPECT_EQ(audio({"speech-install", "en-US"}, file).out, "{\"installed\":false}\n");
  auto locales = audio({"speech-locales"}, file);
  EXPECT_EQ(locales.status, 0);
  EXPECT_EQ(locales.out, "{\"available\":true,\"installed\":[],\"supported\":[\"en-US\"]}\n");
  auto speech = audio({"speech-file", "en-US", "talk.wav"}, file);
  EXPECT_EQ(speech.status, 1);
  EXPECT_EQ(speech.err, "en-US is not installed\n");
}

TEST(SpeechClockProbe, ReplaysBufferTimesFromItsInput) {
  ProcessOptions options;
  options.input = "1000 1600\n1130 1600\n1250 1600\n1300 1600\n1000 1600\n"
                  "one\n1 2 3\nx 1600\n 1400   1600 \n";
  auto r = runProcess({LUMENO_AUDIO_BIN, "speech-clock", "16000"}, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "16000\n17600\n20000\n21600\n23200\n24800\n");
}

// The speech of the tests, made once for all of them.
class SpeechFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    material = new SpeechMaterial(LUMENO_AUDIO_BIN);
    dir = &material->dir;
    first = &material->first;
    second = &material->second;
  }
  static void TearDownTestSuite() { delete material; }
  void SetUp() override {
    ASSERT_TRUE(*first && *second) << "Festival did not speak";
    ASSERT_TRUE(material->installed);
  }
  static inline SpeechMaterial* material = nullptr;
  static inline const TempDir* dir = nullptr;
  static inline const std::optional<Spoken>*first = nullptr, *second = nullptr;
};

// The words of the final events, each with its start.
std::vector<std::pair<std::string, double>> finalWords(const std::string& out) {
  std::vector<std::pair<std::string, double>> words;
  for (const auto& e : finalsOf(ofType(eventsOf(out), "speech"), "them"))
    for (const auto& w : e["words"]) words.push_back({w["text"], w["startMs"].get<double>()});
  return words;
}

// Checks that the recognised words are the spoken ones, each starting
// within 100 ms of where it was placed (ms from the file's start, plus
// `base` for a timeline that does not start with the file).
void expectPlaced(const std::vector<std::pair<std::string, double>>& got, const std::vector<Placed>& placed,
                  double base) {
  std::vector<SpokenWord> want;
  for (const auto& p : placed)
    for (const auto& w : p.spoken->words) want.push_back({w.text, p.atSeconds * 1000 + w.startMs});
  std::string gotText, wantText;
  for (const auto& [text, ms] : got) gotText += text + " ";
  for (const auto& w : want) wantText += w.text + " ";
  ASSERT_EQ(gotText, wantText);
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_NEAR(got[i].second - base, want[i].startMs, 100) << want[i].text << " (word " << i << ")";
}

TEST_F(SpeechFileTest, RecognisesEachWordWhereItWasPlacedAcrossAGapOfSilence) {
  // 44.1 kHz: plain mode converts every block, and the clock closes up the
  // frames each fresh converter holds back.
  std::vector<Placed> placed = {{&**first, 1.5}, {&**second, 1.5 + (*first)->seconds + 3.0}};
  std::string file = *dir / "two.wav";
  ASSERT_TRUE(compose(file, placed, 1.0, 44100));
  struct Case {
    std::vector<std::string> words;
  };
  const Case cases[] = {{{"speech-file", "en-US", file}}, {{"speech-file", "en-US", file, "--live"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.size() > 3 ? "--live" : "plain");
    auto r = audio(c.words, *dir / "data");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto words = finalWords(r.out);
    ASSERT_FALSE(words.empty()) << r.out;
    // With --live the times follow the track's timeline, which starts at the
    // program time of the first piece: its offset comes from the first word.
    double base = c.words.size() > 3 ? words[0].second - (placed[0].atSeconds * 1000 + (*first)->words[0].startMs) : 0;
    expectPlaced(words, placed, base);
    // Interim results come before the final ones, with the same time base.
    auto speech = ofType(eventsOf(r.out), "speech");
    ASSERT_FALSE(speech.empty());
    EXPECT_EQ(speech[0]["final"], false);
    EXPECT_NEAR(speech[0]["startMs"].get<double>() - base, placed[0].atSeconds * 1000 + (*first)->words[0].startMs,
                100);
  }
}

TEST_F(SpeechFileTest, AudioThatOverlapsStopsTheAnalyserWhichStartsAgain) {
  // The second sentence lies after the break at 20 s of the file.
  std::vector<Placed> placed = {{&**first, 1.0}, {&**second, 23.0}};
  std::string file = *dir / "long.wav";
  ASSERT_TRUE(compose(file, placed, 1.0, 48000));
  auto r = audio({"speech-file", "en-US", file, "--live", "--break"}, *dir / "data");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("speech them stopped: audio at 0 overlaps what was given up to "), 0u) << r.err;
  // The file is fed much faster than it plays, so the analyser may still be
  // busy with the first 20 s when feeding goes on after the pause: a
  // restart that completes later loses what was fed meanwhile, and one
  // that would come after the end is declined. When the stop is told just
  // as the program ends, it may end before either is said.
  bool restarted = r.err.find("\nspeech them started again (1 of 5)\n") != std::string::npos;
  bool declined = r.err.find("\nspeech them: not starting again\n") != std::string::npos;
  EXPECT_FALSE(restarted && declined) << r.err;
  auto words = finalWords(r.out);
  ASSERT_GE(words.size(), (*first)->words.size());
  double base = words[0].second - (placed[0].atSeconds * 1000 + (*first)->words[0].startMs);
  std::vector<std::pair<std::string, double>> before(words.begin(), words.begin() + long((*first)->words.size()));
  expectPlaced(before, {placed[0]}, base);
  // Whatever came through after the restart lies within the second
  // sentence. Where in it depends on when the restart completed: one that
  // cuts into the sentence hears only its rest, and the recogniser may place
  // or hear those words differently; the words of a whole sentence are
  // checked to 100 ms above.
  for (size_t i = before.size(); i < words.size(); ++i) {
    double at = words[i].second - base;
    EXPECT_GE(at, 23000 + (*second)->words.front().startMs - 100) << words[i].first;
    EXPECT_LE(at, 23000 + (*second)->seconds * 1000 + 100) << words[i].first;
  }
}

}  // namespace
}  // namespace lumeno::test
