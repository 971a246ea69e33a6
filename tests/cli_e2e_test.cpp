// The command line of lumeno-audio, run as the real executable.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/process.h"

namespace lumeno::test {
namespace {

namespace fs = std::filesystem;

const std::string usage =
    "usage: lumeno-audio record --dir DIR [--part N --start-ms X] [--speech LOCALE] | join --dir DIR | "
    "inspect --dir DIR | compact --dir DIR --out STAGING | speech-locales | speech-install LOCALE\n";

ProcessResult audio(std::vector<std::string> words, ProcessOptions options = {}) {
  words.insert(words.begin(), LUMENO_AUDIO_BIN);
  return runProcess(words, options);
}

TEST(CommandLine, MalformedCommandLinesGetTheUsageLineAndStatus1) {
  TempDir tmp;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"nonsense"},
      {"record", "--dir"},                       // n = 3
      {"record", "x", "--dir"},                  // --dir is the last word
      {"inspect", "--dir"},
      {"speech-clock", "fast"},                  // not a number: falls through
      {"decode"},
      {"Record", "--dir", tmp / "d", "x"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    auto r = audio(cases[i]);
    SCOPED_TRACE(i);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, DirGivenTwiceUsesTheFirstAndFailsWhenTheFirstHasNoValue) {
  TempDir tmp;
  audio({"join", "--dir", tmp / "first", "--dir", tmp / "second"});
  EXPECT_TRUE(fs::is_directory(tmp / "first"));
  EXPECT_FALSE(fs::exists(tmp / "second"));

  // The first --dir is the last argument, so --dir has no value at all.
  auto r = audio({"join", "x", "y", "--dir"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, usage);
}

#ifndef LUMENO_HAVE_RECOGNISER
TEST(CommandLine, SpeechCommandsGiveTheFallbackAnswersWithoutARecogniser) {
  struct Case { std::vector<std::string> words; std::string out; };
  const Case cases[] = {
      {{"speech-locales"}, "{\"available\":false,\"supported\":[],\"installed\":[]}\n"},
      {{"speech-install", "en-US"}, "{\"installed\":false}\n"},
      {{"speech-install"}, "{\"installed\":false}\n"},
  };
  for (const auto& c : cases) {
    auto r = audio(c.words);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
  auto file = audio({"speech-file", "en-US", "talk.wav"});
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(file.err, "speech-file needs the on-device speech recogniser\n");
  EXPECT_EQ(file.out, "");
}
#else
TEST(CommandLine, SpeechCommandsAnswerWithTheRecogniser) {
  TempDir tmp;
  ProcessOptions options;
  options.setEnv["XDG_DATA_HOME"] = tmp / "empty";
  auto r = audio({"speech-locales"}, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"available\":true,\"installed\":[],\"supported\":[\"en-US\"]}\n");
  auto install = audio({"speech-install"}, options);
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(install.out, "{\"installed\":false}\n");
  auto file = audio({"speech-file", "en-US", "talk.wav"}, options);
  EXPECT_EQ(file.status, 1);
  EXPECT_EQ(file.err, "en-US is not installed\n");
}
#endif

TEST(CommandLine, WriterProbeNeedsTestModeExactlyOneAndAllThreePaths) {
  TempDir tmp;
  const std::string message = "writer-probe requires LUMENO_AUDIO_TEST=1 and fixture paths\n";
  std::vector<std::string> full = {"writer-probe", "--dir", tmp / "o", "--me", "a.wav", "--them", "b.wav"};
  struct Case { std::optional<std::string> env; std::vector<std::string> words; };
  const Case cases[] = {
      {std::nullopt, full},
      {"true", full},
      {"0", full},
      {"1", {"writer-probe", "--dir", tmp / "o", "--me", "a.wav"}},
      {"1", {"writer-probe", "--dir", tmp / "o", "--me", "a.wav", "--them"}},
  };
  for (const auto& c : cases) {
    ProcessOptions options;
    if (c.env)
      options.setEnv["LUMENO_AUDIO_TEST"] = *c.env;
    else
      options.unsetEnv.push_back("LUMENO_AUDIO_TEST");
    auto r = audio(c.words, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLine, CompactWithoutOutFailsAndNeverMakesTheFolder) {
  TempDir tmp;
  auto r = audio({"compact", "--dir", tmp / "missing", "--out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "compact: --out is required\n");
  EXPECT_FALSE(fs::exists(tmp / "missing"));
}

TEST(CommandLine, JoinMakesItsFolderWithParents) {
  TempDir tmp;
  audio({"join", "--dir", tmp / "a/b/c", "x"});
  EXPECT_TRUE(fs::is_directory(tmp / "a/b/c"));
}

TEST(CommandLine, ARelativeDirIsTakenFromTheCurrentFolder) {
  TempDir tmp;
  ProcessOptions options;
  options.workDir = tmp.path();
  audio({"join", "--dir", "rel/dir", "x"}, options);
  EXPECT_TRUE(fs::is_directory(tmp / "rel/dir"));
}

TEST(Executable, CarriesItsPropertyList) {
  TempDir tmp;
  auto r = runProcess({"/usr/bin/objcopy", "-O", "binary", "--only-section=.lumeno_plist", LUMENO_AUDIO_BIN,
                       tmp / "plist"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto text = runProcess({"/bin/cat", tmp / "plist"}).out;
  EXPECT_NE(text.find("<key>CFBundleName</key>\n  <string>Lumeno</string>"), std::string::npos);
  EXPECT_NE(text.find("Lumeno records your voice in meetings so it can write the transcript and your notes. "
                      "Nothing leaves your Mac."),
            std::string::npos);
  EXPECT_NE(text.find("Lumeno records the sound of your calls so it can write down what others say. "
                      "Nothing leaves your Mac."),
            std::string::npos);
}

}  // namespace
}  // namespace lumeno::test
