#include "audio/folder/join.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "audio/folder/test_folder.h"

namespace lumeno {
namespace {

using test::Folder;

struct Part {
  int64_t number;
  double seconds;
  double frequency;
  std::optional<double> startMs;  // written to part.N.json when set
};

// Both sources get the same parts.
void makeRecording(const Folder& f, const std::vector<Part>& parts) {
  for (const char* name : {"me", "them"}) {
    for (const auto& p : parts) {
      std::string file = p.number == 0 ? std::string(name) + ".m4a"
                                       : std::string(name) + "." + std::to_string(p.number) + ".m4a";
      ASSERT_TRUE(test::writeTone(f / file, p.seconds, p.frequency)) << file;
    }
  }
  for (const auto& p : parts)
    if (p.number > 0 && p.startMs)
      f.write("part." + std::to_string(p.number) + ".json", "{\"startMs\": " + std::to_string(*p.startMs) + "}");
}

struct Joined {
  int status;
  std::string log;
};

Joined join(const Folder& f, const WriterFactory& factory = makeFileWriter) {
  ::testing::internal::CaptureStderr();
  int status = joinParts(f.path(), factory);
  return {status, ::testing::internal::GetCapturedStderr()};
}

bool present(const std::filesystem::path& p) { return std::filesystem::exists(p); }

TEST(Join, GapIsSilentAndPartsLandAtTheirStarts) {
  Folder f;
  makeRecording(f, {{0, 2, 440, {}}, {1, 1, 1000, 3000}});
  auto me0 = test::readFile(f / "me.m4a"), me1 = test::readFile(f / "me.1.m4a");
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, "");
  for (const char* name : {"me", "them"}) {
    auto samples = test::decodeAll(f / (std::string(name) + ".m4a"));
    EXPECT_EQ(samples.size(), size_t(4.0 * 48000)) << name;
    EXPECT_NEAR(test::toneBetween(samples, 0.2, 1.8), 440, 10);
    EXPECT_GT(test::rmsBetween(samples, 0.2, 1.8), 0.2);
    EXPECT_LT(test::rmsBetween(samples, 2.15, 2.85), 0.01);
    EXPECT_GT(test::rmsBetween(samples, 3.15, 3.85), 0.2);
    EXPECT_NEAR(test::toneBetween(samples, 3.15, 3.85), 1000, 15);
    EXPECT_FALSE(present(f / (std::string(name) + ".1.m4a")));
    EXPECT_FALSE(present(f / (std::string(name) + ".joined.m4a")));
  }
  EXPECT_FALSE(present(f / "part.1.json"));
  auto links = test::originals(f.path());
  EXPECT_EQ(links.size(), 4u);
  ASSERT_EQ(links.count("me.m4a"), 1u);
  EXPECT_EQ(links.find("me.m4a")->second, me0);
  ASSERT_EQ(links.count("me.1.m4a"), 1u);
  EXPECT_EQ(links.find("me.1.m4a")->second, me1);
  EXPECT_EQ(links.count("them.m4a"), 1u);
  EXPECT_EQ(links.count("them.1.m4a"), 1u);
}

TEST(Join, OverlappingPartFollowsUncut) {
  Folder f;
  makeRecording(f, {{0, 2, 440, {}}, {1, 1.5, 1000, 1000}});
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  auto samples = test::decodeAll(f / "me.m4a");
  EXPECT_EQ(samples.size(), size_t(3.5 * 48000));
  EXPECT_NEAR(test::toneBetween(samples, 0.2, 1.8), 440, 10);
  EXPECT_NEAR(test::toneBetween(samples, 2.2, 3.3), 1000, 15);
}

TEST(Join, WithoutBaseTheFirstPartIsPlacedAfterSilence) {
  Folder f;
  makeRecording(f, {{1, 1, 1000, 1000}, {2, 1, 440, 2500}});
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  auto samples = test::decodeAll(f / "them.m4a");
  EXPECT_EQ(samples.size(), size_t(3.5 * 48000));
  EXPECT_LT(test::rmsBetween(samples, 0, 0.85), 0.01);
  EXPECT_NEAR(test::toneBetween(samples, 1.15, 1.85), 1000, 15);
  EXPECT_LT(test::rmsBetween(samples, 2.15, 2.35), 0.01);
  EXPECT_NEAR(test::toneBetween(samples, 2.65, 3.35), 440, 10);
  EXPECT_FALSE(present(f / "part.1.json"));
  EXPECT_FALSE(present(f / "part.2.json"));
}

// Each part decodes to exactly its written length, so a part that starts
// where the one before ends follows it without a shift, however far the
// first part's end lies from the encoder's frame: "me" and "them" stay in
// step from part to part.
TEST(Join, PartStartingWhereTheLastEndsFollowsWithoutAShift) {
  Folder f;
  // 1.5 s with a click at 0.75 s, then 1 s from 1.5 s with a click on its
  // first frame and one at 0.5 s into it; quiet noise elsewhere.
  auto noise = [](int64_t i) { return float(int64_t((i * 7919) % 2001) - 1000) * 2e-5f; };
  for (const char* name : {"me", "them"}) {
    ASSERT_TRUE(test::writeAudio(f / (std::string(name) + ".m4a"), 72000,
                                 [&](int64_t i) { return i == 36000 ? 0.9f : noise(i); }));
    ASSERT_TRUE(test::writeAudio(f / (std::string(name) + ".1.m4a"), 48000,
                                 [&](int64_t i) { return i == 0 || i == 24000 ? 0.9f : noise(i); }));
  }
  f.write("part.1.json", "{\"startMs\": 1500}");
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  for (const char* name : {"me", "them"}) {
    SCOPED_TRACE(name);
    auto samples = test::decodeAll(f / (std::string(name) + ".m4a"));
    EXPECT_EQ(samples.size(), 120000u);
    EXPECT_NEAR(double(test::peakBetween(samples, 30000, 60000)), 36000, 8);
    EXPECT_NEAR(double(test::peakBetween(samples, 70000, 84000)), 72000, 8) << "part 1 starts at 1.5 s";
    EXPECT_NEAR(double(test::peakBetween(samples, 84000, 110000)), 96000, 8);
  }
}

TEST(Join, NothingToDo) {
  Folder empty;
  EXPECT_EQ(join(empty).status, 0);
  EXPECT_TRUE(std::filesystem::is_empty(empty.path()));

  Folder f;
  makeRecording(f, {{0, 1, 440, {}}});
  f.write("part.1.json", R"({"startMs": 1000})");  // no part file belongs to it
  auto before = test::snapshot(f.path());
  auto r = join(f);
  EXPECT_EQ(r.status, 0);
  // The metadata of a part without files would keep inspect refusing the
  // folder; it goes, and nothing else changes.
  EXPECT_EQ(r.log, "join: part.1.json describes no part file; deleted\n");
  before.erase("part.1.json");
  EXPECT_TRUE(test::snapshot(f.path()) == before);
  EXPECT_FALSE(present(f / "original"));
}

TEST(Join, LeftoversCoveredByTheBaseAreLinkedAndDeleted) {
  Folder f;
  makeRecording(f, {{0, 3, 440, {}}, {1, 1, 1000, 1500}});
  auto base = test::readFile(f / "me.m4a");
  struct stat st {};
  ASSERT_EQ(::stat((f / "me.m4a").c_str(), &st), 0);
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(test::readFile(f / "me.m4a"), base);
  struct stat after {};
  ASSERT_EQ(::stat((f / "me.m4a").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, st.st_ino);
  EXPECT_FALSE(present(f / "me.1.m4a"));
  EXPECT_FALSE(present(f / "part.1.json"));
  auto links = test::originals(f.path());
  EXPECT_EQ(links.count("me.1.m4a"), 1u);
  EXPECT_EQ(links.count("me.m4a"), 0u);  // the untouched base needs no link
}

TEST(Join, PartEndingPastTheBaseIsJoinedNormally) {
  Folder f;
  // Ends 0.2 s after the base: not covered, so it is merged (and overlaps).
  makeRecording(f, {{0, 2, 440, {}}, {1, 1, 1000, 1200}});
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(test::decodeAll(f / "me.m4a").size(), size_t(3.0 * 48000));
}

TEST(Join, InvalidTimelineChangesNothing) {
  for (std::string metadata : {"", R"({"startMs": -5})", R"({"startMs": "1000"})", R"({"startMs": 1e300})",
                               R"({"start": 1000})", "[1000]", "{\"startMs\": 10", "not json"}) {
    SCOPED_TRACE(metadata);
    Folder f;
    makeRecording(f, {{0, 1, 440, {}}, {1, 1, 1000, {}}});
    if (!metadata.empty()) f.write("part.1.json", metadata);
    auto before = test::snapshot(f.path());
    auto r = join(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.log, "join: missing or invalid part timeline\njoin: missing or invalid part timeline\n");
    EXPECT_EQ(test::snapshot(f.path()), before);
    EXPECT_FALSE(present(f / "original"));
  }
}

TEST(Join, EmptyPartIsSkippedButKept) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {2, 1, 1000, 2000}});
  f.write("me.1.m4a", "");
  f.write("part.1.json", R"({"startMs": 1000})");
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, "join: me.1.m4a is empty; skipped\n");
  EXPECT_EQ(test::decodeAll(f / "me.m4a").size(), size_t(3.0 * 48000));
  EXPECT_FALSE(present(f / "me.1.m4a"));
  EXPECT_EQ(test::originals(f.path()).count("me.1.m4a"), 1u);
  EXPECT_FALSE(present(f / "part.1.json"));
  EXPECT_FALSE(present(f / "part.2.json"));
}

TEST(Join, AnEmptyBaseFileIsSkippedAndTheLaterPartsJoined) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {1, 1, 1000, 2000}});
  f.write("me.m4a", "");  // part 0 killed before its first fragment
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, "join: me.m4a is empty; skipped\n");
  auto me = test::decodeAll(f / "me.m4a");
  EXPECT_EQ(me.size(), size_t(3.0 * 48000));
  EXPECT_LT(test::rmsBetween(me, 0, 1.95), 1e-3);
  EXPECT_NEAR(test::toneBetween(me, 2.1, 2.9), 1000, 15);
  auto links = test::originals(f.path());
  ASSERT_EQ(links.count("me.m4a"), 1u);
  EXPECT_EQ(links.find("me.m4a")->second, "");
  EXPECT_FALSE(present(f / "me.1.m4a"));
  EXPECT_FALSE(present(f / "part.1.json"));
}

TEST(Join, ADamagedUnitKeepsThePartsTimelineAndIsReported) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {1, 2, 1000, 2000}});
  auto units = test::accessUnits(f / "me.1.m4a");
  test::damageUnits(f / "me.1.m4a", units, {test::unitAt(units, 48000)}, char(0xFF));
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log, "join: me.1.m4a: 42.7 ms of damaged audio replaced by silence\n");
  auto me = test::decodeAll(f / "me.m4a");
  EXPECT_EQ(me.size(), size_t(4.0 * 48000)) << "the part keeps its length";
  EXPECT_NEAR(test::toneBetween(me, 3.2, 3.9), 1000, 15) << "and what follows the damage its place";
}

TEST(Join, OnlyEmptyPartsIsNothingReadable) {
  Folder f;
  for (auto name : {"me.1.m4a", "me.2.m4a"}) f.write(name, "");
  f.write("part.1.json", R"({"startMs": 0})");
  f.write("part.2.json", R"({"startMs": 1000})");
  auto before = test::snapshot(f.path());
  auto r = join(f);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, "join: me.1.m4a is empty; skipped\njoin: me.2.m4a is empty; skipped\njoin: nothing readable for me\n");
  EXPECT_EQ(test::snapshot(f.path()), before);
}

TEST(Join, MetadataThatDescribesNoPartFileIsCleared) {
  // Left by a join that ended between its last commit and its clean-up
  // (part 1), and by a part that wrote no audio (part 3); part 2 has a file.
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}});
  ASSERT_TRUE(test::writeTone(f / "them.2.m4a", 0.5, 1000));
  for (auto name : {"part.1.json", "part.2.json", "part.3.json"}) f.write(name, R"({"startMs": 1500})");
  // Names the recorder never writes are not ours to delete.
  for (auto name : {"part.json", "part.04.json", "part.x.json", "notes.json"}) f.write(name, "{}");
  f.mkdir("part.5.json");
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  std::string log = r.log;
  EXPECT_NE(log.find("join: part.1.json describes no part file; deleted\n"), std::string::npos) << log;
  EXPECT_NE(log.find("join: part.3.json describes no part file; deleted\n"), std::string::npos) << log;
  for (auto name : {"part.1.json", "part.2.json", "part.3.json", "them.2.m4a"}) EXPECT_FALSE(present(f / name)) << name;
  for (auto name : {"part.json", "part.04.json", "part.x.json", "notes.json", "part.5.json"})
    EXPECT_TRUE(present(f / name)) << name;
  EXPECT_EQ(test::decodeAll(f / "them.m4a").size(), size_t(2.0 * 48000));

  // A join that fails deletes no metadata at all.
  Folder failing;
  makeRecording(failing, {{0, 1, 440, {}}, {1, 1, 1000, 1500}});
  failing.write("me.1.m4a", "this is no audio file");
  failing.write("part.7.json", R"({"startMs": 1500})");
  r = join(failing);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(present(failing / "part.7.json"));
  EXPECT_TRUE(present(failing / "part.1.json"));
}

TEST(Join, OneSourceFailingKeepsEveryMetadataFile) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {1, 1, 1000, 1500}});
  f.write("me.1.m4a", "this is no audio file");
  auto r = join(f);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.log, "join: unreadable me.1.m4a; keeping all parts\n");
  EXPECT_EQ(test::readFile(f / "me.1.m4a"), "this is no audio file");
  EXPECT_TRUE(present(f / "me.m4a"));
  EXPECT_FALSE(present(f / "me.joined.m4a"));
  EXPECT_FALSE(present(f / "them.1.m4a"));
  EXPECT_EQ(test::decodeAll(f / "them.m4a").size(), size_t(2.5 * 48000));
  EXPECT_TRUE(present(f / "part.1.json"));
}

TEST(Join, StaleWorkFileIsReplaced) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {1, 1, 1000, 1000}});
  f.write("me.joined.m4a", "left by an earlier run");
  auto r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_FALSE(present(f / "me.joined.m4a"));
  EXPECT_EQ(test::decodeAll(f / "me.m4a").size(), size_t(2.0 * 48000));
}

TEST(Join, FailedCommitKeepsTheVerifiedWorkFile) {
  Folder f;
  makeRecording(f, {{1, 1, 1000, 500}});
  f.write("original", "a file where the folder of links belongs");
  auto before = test::snapshot(f.path());
  auto r = join(f);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.log.find("join: can't write " + (f / "me.m4a").string() + ": "), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("join: can't write " + (f / "them.m4a").string() + ": "), std::string::npos) << r.log;
  EXPECT_EQ(test::decodeAll(f / "me.joined.m4a").size(), size_t(1.5 * 48000));
  for (const auto& [name, content] : before) EXPECT_EQ(test::readFile(f / name), content) << name;
  // The next run starts the work file afresh and commits once the way is clear.
  std::filesystem::remove(f / "original");
  r = join(f);
  EXPECT_EQ(r.status, 0) << r.log;
  EXPECT_FALSE(present(f / "me.joined.m4a"));
  EXPECT_FALSE(present(f / "me.1.m4a"));
  EXPECT_EQ(test::decodeAll(f / "me.m4a").size(), size_t(1.5 * 48000));
}

// A writer that encodes for real but reports a failed finish, which cannot be
// provoked on demand.
class FailingFinishWriter : public Writer {
 public:
  explicit FailingFinishWriter(std::unique_ptr<Writer> real) : real_(std::move(real)) {}
  void setMovieFragmentInterval(double s) override { real_->setMovieFragmentInterval(s); }
  double movieFragmentInterval() const override { return real_->movieFragmentInterval(); }
  bool canApply(const OutputSettings& s) override { return real_->canApply(s); }
  WriterInput* addInput(const OutputSettings& s) override { return real_->addInput(s); }
  bool startWriting() override { return real_->startWriting(); }
  void finishWriting(std::function<void()> completion) override {
    real_->finishWriting([this, completion] {
      finished_ = true;
      completion();
    });
  }
  void cancelWriting() override { real_->cancelWriting(); }
  WriterStatus status() const override { return finished_ ? WriterStatus::failed : real_->status(); }
  std::string errorDescription() const override { return finished_ ? "disk full" : real_->errorDescription(); }

 private:
  std::unique_ptr<Writer> real_;
  std::atomic<bool> finished_{false};
};

TEST(Join, UnfinishedWorkFileIsDiscarded) {
  Folder f;
  makeRecording(f, {{0, 1, 440, {}}, {1, 1, 1000, 1000}});
  auto before = test::snapshot(f.path());
  auto r = join(f, [](const std::filesystem::path& file) -> std::unique_ptr<Writer> {
    auto real = makeFileWriter(file);
    if (!real) return nullptr;
    return std::make_unique<FailingFinishWriter>(std::move(real));
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.log.find("join: could not write the joined file for me\n"), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("join: could not write the joined file for them\n"), std::string::npos) << r.log;
  EXPECT_EQ(test::snapshot(f.path()), before);
}

TEST(DecodedAudio, LengthAndCopyIntoATrack) {
  Folder f;
  ASSERT_TRUE(test::writeTone(f / "a.m4a", 1.5, 440));
  auto ms = decodedAudio(f / "a.m4a", nullptr);
  ASSERT_TRUE(ms);
  EXPECT_EQ(*ms, 1500);  // the encoder's padding of its last frame does not decode

  auto track = Track::onFile("copy", f / "b.m4a");
  track->openWriter();
  auto copied = decodedAudio(f / "a.m4a", track.get());
  ASSERT_TRUE(copied);
  EXPECT_EQ(*copied, *ms);
  EXPECT_EQ(double(track->pts) / 48, *ms);
  Group group;
  track->finish(group);
  group.wait();
  EXPECT_EQ(double(test::decodeAll(f / "b.m4a").size()) / 48, *ms);

  f.write("text.m4a", "no audio");
  f.mkdir("folder.m4a");
  for (auto name : {"text.m4a", "folder.m4a", "missing.m4a"}) EXPECT_FALSE(decodedAudio(f / name, nullptr)) << name;
}

}  // namespace
}  // namespace lumeno
