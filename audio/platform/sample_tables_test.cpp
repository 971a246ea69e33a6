// The sample-table check on the writer's own files, whole and cut off as a
// killed writer leaves them, and on tables whose counts are damaged.
#include "audio/platform/sample_tables.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/media_fixtures.h"

namespace lumeno {
namespace {

namespace fs = std::filesystem;

TEST(SampleTables, TheWritersFilesPassWholeAndCutOff) {
  test::Folder folder;
  const fs::path file = folder / "tone.m4a";
  ASSERT_TRUE(test::writeAudio(file, 12 * 48000, [](int64_t i) { return 0.3f * float(std::sin(double(i) * 0.05)); }));
  const std::string bytes = test::readFile(file);
  EXPECT_EQ(implausibleSampleTables(file), std::nullopt);
  for (size_t cut = 1; cut < 20; ++cut) {
    folder.write("cut.m4a", bytes.substr(0, bytes.size() * cut / 20));
    EXPECT_EQ(implausibleSampleTables(folder / "cut.m4a"), std::nullopt) << "cut at " << cut << "/20";
  }
}

// Counts written over the first two fragments' trun boxes of a 12 s file.
TEST(SampleTables, CountsBeyondTheFileAreDamage) {
  test::Folder folder;
  const fs::path file = folder / "tone.m4a";
  ASSERT_TRUE(test::writeAudio(file, 12 * 48000, [](int64_t i) { return 0.3f * float(std::sin(double(i) * 0.05)); }));
  const std::string bytes = test::readFile(file);
  const size_t first = bytes.find("trun"), second = bytes.find("trun", first + 4);
  ASSERT_NE(second, std::string::npos);
  auto countAt = [&](size_t trun) {  // after the box type, version and flags
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | uint8_t(bytes[trun + 8 + size_t(i)]);
    return n;
  };
  const uint32_t size = uint32_t(bytes.size());

  struct Case {
    const char* what;
    uint32_t first, second;
    bool damage;
  };
  const Case cases[] = {
      {"the highest count", 0xffffffffu, countAt(second), true},
      {"one entry more than the file has bytes", size + 1, countAt(second), true},
      {"two tables that claim more together", size / 2 + 1, size / 2 + 1, true},
      // The demuxer reads what there is of such a table and the fragments
      // around it still decode.
      {"more entries than the box holds, fewer than the file's bytes", countAt(first) + 100, countAt(second), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = bytes;
    for (auto [trun, count] : {std::pair{first, c.first}, std::pair{second, c.second}})
      for (int i = 0; i < 4; ++i) damaged[trun + 8 + size_t(i)] = char(count >> (24 - 8 * i));
    folder.write("damaged.m4a", damaged);
    auto wrong = implausibleSampleTables(folder / "damaged.m4a");
    EXPECT_EQ(bool(wrong), c.damage) << wrong.value_or("");
    if (wrong) {
      EXPECT_NE(wrong->find("trun"), std::string::npos) << *wrong;
    }
  }

  // A file the fuzzer made: a count of 16,777,219 in a box of 44 bytes.
  auto wrong = implausibleSampleTables(fs::path(LUMENO_SOURCE_DIR) / "audio/platform/testdata/trun_count_beyond_box.m4a");
  ASSERT_TRUE(wrong);
  EXPECT_NE(wrong->find("trun"), std::string::npos) << *wrong;
}

TEST(SampleTables, OtherFilesAreNotJudged) {
  test::Folder folder;
  folder.write("text.m4a", "not an audio file at all, but long enough to hold a box header");
  folder.write("empty.m4a", "");
  EXPECT_EQ(implausibleSampleTables(folder / "text.m4a"), std::nullopt);
  EXPECT_EQ(implausibleSampleTables(folder / "empty.m4a"), std::nullopt);
  EXPECT_EQ(implausibleSampleTables(folder / "missing.m4a"), std::nullopt);
}

}  // namespace
}  // namespace lumeno
