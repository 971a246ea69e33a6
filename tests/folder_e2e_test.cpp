// join, inspect and compact run as the real executable on recording folders
// made with the project's own Track (and, for foreign formats, ffmpeg).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <random>

#include <nlohmann/json.hpp>

#include "audio/folder/test_folder.h"
#include "tests/process.h"

namespace lumeno::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

ProcessResult audio(std::vector<std::string> words) {
  words.insert(words.begin(), LUMENO_AUDIO_BIN);
  ProcessOptions options;
  options.timeout = std::chrono::milliseconds(60000);
  return runProcess(words, options);
}

ProcessResult join(const Folder& f) { return audio({"join", "--dir", f.path()}); }
ProcessResult inspect(const Folder& f) { return audio({"inspect", "--dir", f.path()}); }
ProcessResult compact(const Folder& f, const fs::path& out) {
  return audio({"compact", "--dir", f.path(), "--out", out});
}

// A two-part recording of both sources: 2 s of 440 Hz, then 1 s of 1000 Hz
// starting at 3 s.
void twoParts(const Folder& f) {
  for (std::string name : {"me", "them"}) {
    ASSERT_TRUE(writeTone(f / (name + ".m4a"), 2, 440));
    ASSERT_TRUE(writeTone(f / (name + ".1.m4a"), 1, 1000));
  }
  f.write("part.1.json", R"({"startMs": 3000})");
}

// AAC-LC at 64 kbit/s, mono 48 kHz, from ffmpeg's own encoder.
bool ffmpegAacLc(const fs::path& file, double seconds) {
  auto r = runProcess({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds), "-ac", "1",
                       "-c:a", "aac", "-b:a", "64k", file.string()});
  return r.status == 0;
}

TEST(FolderTools, JoinInspectCompactOfATwoPartRecording) {
  Folder f;
  twoParts(f);
  auto r = join(f);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  for (std::string name : {"me", "them"}) {
    auto samples = decodeAll(f / (name + ".m4a"));
    EXPECT_EQ(samples.size(), 4u * 48000);
    EXPECT_LT(rmsBetween(samples, 2.15, 2.85), 0.01) << "the gap is silent";
    EXPECT_NEAR(toneBetween(samples, 3.15, 3.85), 1000, 15) << "part 1 lands at 3 s";
    EXPECT_FALSE(fs::exists(f / (name + ".1.m4a")));
  }
  EXPECT_FALSE(fs::exists(f / "part.1.json"));
  auto links = originals(f.path());
  for (auto name : {"me.m4a", "me.1.m4a", "them.m4a", "them.1.m4a"}) EXPECT_EQ(links.count(name), 1u) << name;

  r = inspect(f);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find(' '), std::string::npos);
  Json answer = Json::parse(r.out);
  double longest = 0;
  for (auto name : {"me", "them"}) {
    SCOPED_TRACE(name);
    const Json& t = answer["tracks"][name];
    EXPECT_EQ(t["formatID"], 1633772392);
    EXPECT_EQ(t["channels"], 1);
    EXPECT_EQ(t["sampleRate"], 48000);
    EXPECT_GT(t["bitsPerSecond"].get<double>(), 0);
    EXPECT_LE(t["bitsPerSecond"].get<double>(), 20000);
    EXPECT_EQ(t["durationMs"].get<double>(), 4000);
    longest = std::max(longest, t["durationMs"].get<double>());
  }
  EXPECT_EQ(answer["durationMs"], int64_t(std::ceil(longest)));

  Folder staging;
  r = compact(f, staging.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "null\n");
  EXPECT_TRUE(fs::is_empty(staging.path()));
}

TEST(FolderTools, CompactReencodesForeignFormats) {
  Folder lc, mixed;
  ASSERT_TRUE(ffmpegAacLc(lc / "me.m4a", 3));
  ASSERT_TRUE(ffmpegAacLc(lc / "them.m4a", 2));
  ASSERT_TRUE(writeTone(mixed / "me.m4a", 2, 440));  // already compact
  ASSERT_TRUE(ffmpegAacLc(mixed / "them.m4a", 2));
  for (const Folder* f : {&lc, &mixed}) {
    auto before = snapshot(f->path());
    Folder staging;
    staging.write("me.m4a", "an earlier copy");
    auto r = compact(*f, staging.path());
    ASSERT_EQ(r.status, 0) << r.err;
    Json answer = Json::parse(r.out);
    EXPECT_EQ(answer.size(), 2u);
    for (auto name : {"me", "them"}) {
      SCOPED_TRACE(name);
      double sourceMs = answer[name]["sourceMs"], outputMs = answer[name]["outputMs"];
      EXPECT_GT(sourceMs, 1900);
      EXPECT_LE(std::fabs(outputMs - sourceMs), 1000);
      EXPECT_EQ(outputMs, sourceMs) << "the copy decodes to exactly what was written";
      EXPECT_EQ(double(decodeAll(staging / (std::string(name) + ".m4a")).size()) / 48, outputMs);
    }
    // The copies are compact: inspect sees HE-AAC, and compacting again does nothing.
    Json copies = Json::parse(inspect(staging).out);
    EXPECT_EQ(copies["tracks"]["me"]["formatID"], 1633772392);
    EXPECT_EQ(copies["tracks"]["them"]["formatID"], 1633772392);
    Folder again;
    EXPECT_EQ(compact(staging, again.path()).out, "null\n");
    EXPECT_EQ(snapshot(f->path()), before) << "the recording folder is only read";
  }
  Json lcAnswer = Json::parse(inspect(lc).out);
  EXPECT_EQ(lcAnswer["tracks"]["me"]["formatID"], 1633772320);
  EXPECT_EQ(lcAnswer["durationMs"], int64_t(std::ceil(lcAnswer["tracks"]["me"]["durationMs"].get<double>())));
}

TEST(FolderTools, DamagedAudioIsSilenceInItsPlaceAndTheLogSaysHowMuch) {
  Folder f, staging;
  ASSERT_TRUE(ffmpegAacLc(f / "me.m4a", 3));  // not compact: compact decodes it
  ASSERT_TRUE(writeTone(f / "them.m4a", 3, 440));
  double cleanMs = double(decodeAll(f / "me.m4a").size()) / 48;
  auto units = accessUnits(f / "me.m4a");
  ASSERT_FALSE(units.empty());
  damageUnits(f / "me.m4a", units, {unitAt(units, 48000), unitAt(units, 48000) + 1}, char(0xFF));
  double lostMs = double(units[unitAt(units, 48000)].duration * 2) / 48;
  char note[80];
  std::snprintf(note, sizeof note, "%.1f ms of damaged audio replaced by silence\n", lostMs);

  auto r = compact(f, staging.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, std::string("compact: me.m4a: ") + note);
  EXPECT_EQ(Json::parse(r.out)["me"]["sourceMs"], cleanMs) << "the damaged span kept its length";

  r = audio({"decode", f / "me.m4a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, std::string("decode: ") + note);
}

TEST(FolderTools, CompactNeedsASeparateExistingOutputFolder) {
  Folder f;
  ASSERT_TRUE(ffmpegAacLc(f / "me.m4a", 1));
  ASSERT_TRUE(ffmpegAacLc(f / "them.m4a", 1));
  Folder links;
  fs::create_directory_symlink(f.path(), links / "same");
  fs::create_directory_symlink(links / "same", links / "chain");
  auto before = snapshot(f.path());
  for (fs::path out : {f.path(), links / "same", f.path() / "." , links / "chain"}) {
    auto r = compact(f, out);
    EXPECT_EQ(r.status, 1) << out;
    EXPECT_EQ(r.err, "compact: separate output directory required\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(snapshot(f.path()), before);

  auto r = audio({"compact", "--dir", f.path(), "x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "compact: --out is required\n");

  r = compact(f, links / "missing");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.substr(r.err.rfind("compact:")), "compact: source could not be decoded\n");
  EXPECT_FALSE(fs::exists(links / "missing"));
}

TEST(FolderTools, CompactWithoutThemKeepsTheCopyOfMe) {
  Folder f, staging;
  ASSERT_TRUE(ffmpegAacLc(f / "me.m4a", 2));
  auto r = compact(f, staging.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "compact: source could not be decoded\n");
  EXPECT_EQ(r.out, "");
  EXPECT_NEAR(seconds(decodeAll(staging / "me.m4a")), 2.0, 0.1);
  EXPECT_FALSE(fs::exists(staging / "them.m4a"));
}

TEST(FolderTools, InspectRefusalsInTheirOrder) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;  // name, "tone" or content
    std::string err;
  } cases[] = {
      {{{"me.m4a", "tone"}, {"me.1.m4a", "tone"}}, "inspect: recording still has unjoined parts\n"},
      {{{"them.2.m4a", "tone"}, {"part.2.json", "{}"}}, "inspect: recording still has unjoined parts\n"},
      {{{"me.m4a", "no audio"}, {"them.1.m4a", "tone"}}, "inspect: unreadable me.m4a\n"},
      {{{"me.m4a", "tone"}, {"them.m4a", "no audio"}}, "inspect: unreadable them.m4a\n"},
      {{{"me.m4a", "tone"}, {"part.1.json", "{\"startMs\": 1}"}}, "inspect: recording still has part metadata\n"},
      {{{"part.json", "{}"}}, "inspect: recording still has part metadata\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err + c.files[0].first);
    Folder f;
    for (const auto& [name, content] : c.files) {
      if (content == "tone") {
        ASSERT_TRUE(writeTone(f / name, 0.5, 440));
      } else {
        f.write(name, content);
      }
    }
    auto r = inspect(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  Folder empty;
  auto r = inspect(empty);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"durationMs\":0,\"tracks\":{}}\n");
  EXPECT_FALSE(fs::exists(empty / "original"));

  Folder meOnly;
  ASSERT_TRUE(writeTone(meOnly / "me.m4a", 1.25, 440));
  Json answer = Json::parse(inspect(meOnly).out);
  EXPECT_EQ(answer["tracks"].size(), 1u);
  EXPECT_EQ(answer["tracks"]["me"]["durationMs"].get<double>(), 1250);
}

TEST(FolderTools, JoinMessagesAndStatus) {
  Folder f;
  for (std::string name : {"me", "them"}) ASSERT_TRUE(writeTone(f / (name + ".1.m4a"), 1, 440));
  auto before = snapshot(f.path());
  auto r = join(f);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "join: missing or invalid part timeline\njoin: missing or invalid part timeline\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(snapshot(f.path()), before);

  // join makes a missing folder, with its parents, and has nothing to do there.
  Folder parent;
  r = audio({"join", "--dir", parent / "a/b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::is_directory(parent / "a/b"));
}

// Damaged files in every place a tool reads: each run ends with a status and
// a message, never a signal or a hang, and nothing that existed is lost.
enum class Damage { corrupt, truncated, zeroLength, notAudio, folder, fifo, flippedBytes };

void damage(const Folder& f, const std::string& name, Damage kind, uint32_t seed = 1) {
  fs::path file = f / name;
  switch (kind) {
    case Damage::corrupt: {
      std::mt19937 random(seed);
      std::string bytes(4000, '\0');
      for (auto& b : bytes) b = char(random());
      f.write(name, bytes);
      break;
    }
    case Damage::truncated: {
      ASSERT_TRUE(writeTone(file, 1, 440));
      std::string bytes = readFile(file);
      f.write(name, bytes.substr(0, bytes.size() / 2));
      break;
    }
    case Damage::zeroLength: f.write(name, ""); break;
    case Damage::notAudio: f.write(name, "{\"startMs\": 0}\nplain text, not audio\n"); break;
    case Damage::folder: f.mkdir(name); break;
    case Damage::fifo: ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); break;
    case Damage::flippedBytes: {
      ASSERT_TRUE(writeTone(file, 1, 440));
      std::string bytes = readFile(file);
      std::mt19937 random(seed);
      for (int i = 0; i < 8; ++i) bytes[random() % bytes.size()] ^= char(1 + random() % 255);
      f.write(name, bytes);
      break;
    }
  }
}

std::string kindName(Damage kind) {
  const char* names[] = {"corrupt", "truncated", "zero-length", "not-audio", "folder", "fifo", "flipped-bytes"};
  return names[int(kind)];
}

// Regular files that existed before are still there with their content, or
// (after a join that succeeded) linked in "original" or, for metadata, gone;
// folders and FIFOs stay.
void expectNothingLost(const Folder& f, const std::map<std::string, std::string>& before, int status,
                       const std::vector<std::string>& specials) {
  auto links = originals(f.path());
  for (const auto& [name, content] : before) {
    if (fs::exists(f / name) && readFile(f / name) == content) continue;
    if (name.ends_with(".json")) {
      if (status != 0) ADD_FAILURE() << name << " was lost";
      continue;
    }
    bool linked = false;
    for (auto [it, end] = links.equal_range(name); it != end; ++it) linked = linked || it->second == content;
    EXPECT_TRUE(linked) << name << " is neither in place nor in original";
  }
  for (const auto& name : specials) EXPECT_TRUE(fs::exists(f / name) || links.count(name)) << name;
}

TEST(FolderTools, DamagedFilesEndInAMessageAndLoseNothing) {
  const Damage kinds[] = {Damage::corrupt,  Damage::truncated, Damage::zeroLength, Damage::notAudio,
                          Damage::folder,   Damage::fifo,      Damage::flippedBytes};
  for (Damage kind : kinds) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      if (seed > 1 && kind != Damage::corrupt && kind != Damage::flippedBytes) continue;
      SCOPED_TRACE(kindName(kind) + " " + std::to_string(seed));
      bool special = kind == Damage::folder || kind == Damage::fifo;
      bool unreadable = kind == Damage::corrupt || kind == Damage::notAudio || special;

      // join: a damaged later part.
      {
        Folder f;
        for (std::string name : {"me", "them"}) ASSERT_TRUE(writeTone(f / (name + ".m4a"), 1, 440));
        ASSERT_TRUE(writeTone(f / "them.1.m4a", 1, 1000));
        damage(f, "me.1.m4a", kind, seed);
        f.write("part.1.json", R"({"startMs": 1500})");
        auto before = snapshot(f.path());
        auto r = join(f);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
        EXPECT_EQ(r.out, "");
        if (unreadable) {
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.err, "join: unreadable me.1.m4a; keeping all parts\n");
        }
        if (kind == Damage::zeroLength) {
          EXPECT_EQ(r.status, 0);
          EXPECT_EQ(r.err, "join: me.1.m4a is empty; skipped\n");
        }
        if (r.status != 0) {
          EXPECT_TRUE(fs::exists(f / "part.1.json"));
        }
        expectNothingLost(f, before, r.status, special ? std::vector<std::string>{"me.1.m4a"} : std::vector<std::string>{});
        if (r.status == 1) {
          EXPECT_FALSE(fs::exists(f / "me.joined.m4a"));
        }
      }
      // join: a damaged base file.
      {
        Folder f;
        damage(f, "me.m4a", kind, seed);
        ASSERT_TRUE(writeTone(f / "me.1.m4a", 1, 1000));
        f.write("part.1.json", R"({"startMs": 1500})");
        auto before = snapshot(f.path());
        auto r = join(f);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0);
        if (unreadable) {
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.err, "join: unreadable me.m4a; keeping all parts\n");
        }
        if (kind == Damage::zeroLength) {
          // A part 0 killed before its first fragment holds no audio.
          EXPECT_EQ(r.status, 0);
          EXPECT_EQ(r.err, "join: me.m4a is empty; skipped\n");
          EXPECT_EQ(decodeAll(f / "me.m4a").size(), size_t(2.5 * 48000));
        }
        expectNothingLost(f, before, r.status, special ? std::vector<std::string>{"me.m4a"} : std::vector<std::string>{});
      }
      // inspect and compact: a damaged base file.
      {
        Folder f, staging;
        damage(f, "me.m4a", kind, seed);
        ASSERT_TRUE(writeTone(f / "them.m4a", 1, 440));
        auto before = snapshot(f.path());
        auto r = inspect(f);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0);
        if (unreadable) {
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.err, "inspect: unreadable me.m4a\n");
          EXPECT_EQ(r.out, "");
        }
        if (kind == Damage::zeroLength) {
          // No audio for "me": the recording is described by "them" alone.
          EXPECT_EQ(r.status, 0) << r.err;
          Json answer = Json::parse(r.out);
          EXPECT_EQ(answer["durationMs"], 1000);
          EXPECT_EQ(answer["tracks"].size(), 1u);
          EXPECT_TRUE(answer["tracks"].contains("them"));
        }
        if (r.status == 0) {
          EXPECT_TRUE(Json::accept(r.out));
        }
        r = compact(f, staging.path());
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.signal, 0);
        if (unreadable || kind == Damage::zeroLength) {
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.err, "compact: source could not be decoded\n");
          EXPECT_TRUE(fs::is_empty(staging.path()));
        }
        if (r.status == 0) {
          EXPECT_TRUE(r.out == "null\n" || Json::parse(r.out).size() == 2u) << r.out;
        }
        EXPECT_EQ(snapshot(f.path()), before);
        if (special) {
          EXPECT_TRUE(fs::exists(f / "me.m4a"));
        }
      }
    }
  }
}

TEST(FolderTools, MalformedPartMetadataKeepsEverything) {
  for (std::string metadata : {"", "{", "null", "[]", R"({"startMs": null})", R"({"startMs": true})",
                               R"({"startMs": -0.5})", R"({"startMs": 1e400})", "\xff\xfe{}"}) {
    SCOPED_TRACE(metadata);
    Folder f;
    ASSERT_TRUE(writeTone(f / "me.m4a", 1, 440));
    ASSERT_TRUE(writeTone(f / "me.1.m4a", 1, 440));
    f.write("part.1.json", metadata);
    auto before = snapshot(f.path());
    auto r = join(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "join: missing or invalid part timeline\n");
    EXPECT_EQ(snapshot(f.path()), before);
  }
}

}  // namespace
}  // namespace lumeno::test
