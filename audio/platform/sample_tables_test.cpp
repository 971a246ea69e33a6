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

TEST(SampleTables, CountsBeyondTheirBoxOrTheFileAreDamage) {
  test::Folder folder;
  const fs::path file = folder / "tone.m4a";
  ASSERT_TRUE(test::writeAudio(file, 6 * 48000, [](int64_t i) { return 0.3f * float(std::sin(double(i) * 0.05)); }));
  const std::string bytes = test::readFile(file);
  const size_t trun = bytes.find("trun");
  ASSERT_NE(trun, std::string::npos);

  struct Case {
    const char* what;
    uint32_t count;
  };
  for (const Case& c : {Case{"one entry more than the box holds", 0}, Case{"the highest count", 0xffffffffu}}) {
    SCOPED_TRACE(c.what);
    std::string damaged = bytes;
    uint32_t count = c.count;
    if (count == 0) {
      // The box's size, less its header, at 8 bytes per entry (duration and size).
      auto at = [&](size_t i) { return uint32_t(uint8_t(bytes[i])); };
      uint32_t boxSize = at(trun - 4) << 24 | at(trun - 3) << 16 | at(trun - 2) << 8 | at(trun - 1);
      uint32_t held = at(trun + 8) << 24 | at(trun + 9) << 16 | at(trun + 10) << 8 | at(trun + 11);
      ASSERT_GT(boxSize, 8 + 8 + 4 * 1u);
      count = held + 1;
    }
    for (int i = 0; i < 4; ++i) damaged[trun + 8 + size_t(i)] = char(count >> (24 - 8 * i));
    folder.write("damaged.m4a", damaged);
    auto wrong = implausibleSampleTables(folder / "damaged.m4a");
    ASSERT_TRUE(wrong);
    EXPECT_NE(wrong->find("trun"), std::string::npos) << *wrong;
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
