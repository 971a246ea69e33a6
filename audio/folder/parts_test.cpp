#include "audio/folder/parts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "audio/folder/original.h"
#include "audio/folder/test_folder.h"

namespace lumeno {
namespace {

using test::Folder;

std::vector<std::pair<int64_t, std::string>> numbersAndNames(const std::vector<PartEntry>& entries) {
  std::vector<std::pair<int64_t, std::string>> out;
  for (const auto& e : entries) out.emplace_back(e.part, e.file.filename().string());
  return out;
}

TEST(PartsOf, OrdersByPartNumberWithStartsFromMetadata) {
  Folder f;
  for (auto name : {"me.2.m4a", "me.m4a", "me.1.m4a", "me.10.m4a", "me.9.m4a"}) f.write(name, "x");
  f.write("part.1.json", R"({"startMs": 60000})");
  f.write("part.2.json", R"({"startMs": 125000.5})");
  f.write("part.9.json", R"({"startMs": 5000, "other": [1, 2], "x": "y"})");
  f.write("part.10.json", R"({"startMs": 7})");
  auto entries = partsOf("me", f.path());
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(numbersAndNames(entries), (std::vector<std::pair<int64_t, std::string>>{
                                          {0, "me.m4a"}, {1, "me.1.m4a"}, {2, "me.2.m4a"}, {9, "me.9.m4a"}, {10, "me.10.m4a"}}));
  EXPECT_EQ(entries[0].startMs, 0.0);
  EXPECT_EQ(entries[1].startMs, 60000.0);
  EXPECT_EQ(entries[2].startMs, 125000.5);
  EXPECT_EQ(entries[3].startMs, 5000.0);
  EXPECT_EQ(entries[4].startMs, 7.0);
  EXPECT_EQ(entries[2].file, f.path() / "me.2.m4a");
}

TEST(PartsOf, UnknownStartIsNaN) {
  Folder f;
  f.write("me.m4a", "x");
  f.write("me.1.m4a", "x");
  f.write("me.2.m4a", "x");
  f.write("me.3.m4a", "x");
  f.write("me.4.m4a", "x");
  f.write("me.5.m4a", "x");
  f.write("me.6.m4a", "x");
  f.write("part.1.json", R"({"startMs": "60000"})");
  f.write("part.3.json", R"([{"startMs": 1}])");
  f.write("part.4.json", R"({"startMs": 1)");
  f.write("part.5.json", "");
  f.mkdir("part.6.json");  // a folder in place of the file
  auto entries = partsOf("me", f.path());
  ASSERT_EQ(entries.size(), 7u);
  for (size_t i = 1; i < entries.size(); ++i) EXPECT_TRUE(std::isnan(entries[i].startMs)) << i;
}

TEST(PartsOf, MetadataFifoDoesNotBlock) {
  Folder f;
  f.write("me.1.m4a", "x");
  ASSERT_EQ(mkfifo((f.path() / "part.1.json").c_str(), 0600), 0);
  auto entries = partsOf("me", f.path());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(std::isnan(entries[0].startMs));
}

TEST(PartsOf, SourcesAreSeparateAndNoBaseIsInvented) {
  Folder f;
  f.write("them.3.m4a", "x");
  f.write("part.3.json", R"({"startMs": 3000})");
  EXPECT_TRUE(partsOf("me", f.path()).empty());
  auto them = partsOf("them", f.path());
  ASSERT_EQ(them.size(), 1u);
  EXPECT_EQ(them[0].part, 3);
  EXPECT_EQ(them[0].startMs, 3000.0);
}

TEST(PartsOf, EqualNumbersStayInListingOrderAndShareMetadata) {
  Folder f;
  f.write("me.2.m4a", "x");
  f.write("me.02.m4a", "x");
  f.write("me.+2.m4a", "x");
  f.write("part.2.json", R"({"startMs": 2000})");
  f.write("part.02.json", R"({"startMs": 9})");
  auto entries = partsOf("me", f.path());
  ASSERT_EQ(entries.size(), 3u);
  std::vector<std::string> listed;
  for (const auto& e : std::filesystem::directory_iterator(f.path()))
    if (partNumberOf(e.path().filename().string(), "me")) listed.push_back(e.path().filename().string());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].part, 2);
    EXPECT_EQ(entries[i].startMs, 2000.0);
    EXPECT_EQ(entries[i].file.filename().string(), listed[i]);
  }
}

TEST(PartsOf, MissingFolderGivesNothing) {
  EXPECT_TRUE(partsOf("me", "/nonexistent/lumeno/folder").empty());
}

TEST(PartNumberOf, NamingRules) {
  struct Case {
    const char* name;
    std::optional<int64_t> part;
  } cases[] = {
      {"me.1.m4a", 1},         {"me.02.m4a", 2},        {"me.+2.m4a", 2},      {"me..2.m4a", 2},
      {".me.2.m4a.", 2},       {"me.9223372036854775807.m4a", INT64_MAX},
      {"me.9223372036854775808.m4a", std::nullopt},      {"me.0.m4a", std::nullopt},
      {"me.-1.m4a", std::nullopt},   {"me.m4a", std::nullopt},   {"me.joined.m4a", std::nullopt},
      {"me.2.M4A", std::nullopt},    {"Me.2.m4a", std::nullopt}, {"them.2.m4a", std::nullopt},
      {"me.2.m4a.bak", std::nullopt}, {"me.2x.m4a", std::nullopt}, {"me. 2.m4a", std::nullopt},
      {"me.+.m4a", std::nullopt},    {"part.2.json", std::nullopt}, {"original", std::nullopt},
      {"me.2.5.m4a", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(partNumberOf(c.name, "me"), c.part) << c.name;
}

TEST(MetadataPartOf, OnlyTheNamesTheRecorderWrites) {
  struct Case {
    const char* name;
    std::optional<int64_t> part;
  } cases[] = {
      {"part.1.json", 1},        {"part.12.json", 12},      {"part.9223372036854775807.json", INT64_MAX},
      {"part.0.json", std::nullopt},  {"part.-1.json", std::nullopt}, {"part.+1.json", std::nullopt},
      {"part.01.json", std::nullopt}, {"part..1.json", std::nullopt}, {"part.json", std::nullopt},
      {"part.1.JSON", std::nullopt},  {"part.1.json.tmp", std::nullopt}, {"part.x.json", std::nullopt},
      {"part.1.5.json", std::nullopt}, {"me.1.m4a", std::nullopt},  {"part.", std::nullopt},
      {"part.9223372036854775808.json", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(metadataPartOf(c.name), c.part) << c.name;
}

TEST(PartsOf, OtherNamesNeverAppear) {
  Folder f;
  f.write("me.m4a", "x");
  f.write("me.joined.m4a", "x");
  f.write("part.1.json", R"({"startMs": 1})");
  f.mkdir("original");
  f.write("me.1.M4A", "x");
  f.write("notes.txt", "x");
  EXPECT_EQ(numbersAndNames(partsOf("me", f.path())),
            (std::vector<std::pair<int64_t, std::string>>{{0, "me.m4a"}}));
}

TEST(RandomUuid, UpperCaseCanonicalForm) {
  std::string a = randomUuid(), b = randomUuid();
  ASSERT_EQ(a.size(), 36u);
  for (size_t i = 0; i < a.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(a[i], '-');
    } else {
      EXPECT_TRUE((a[i] >= '0' && a[i] <= '9') || (a[i] >= 'A' && a[i] <= 'F')) << a;
    }
  }
  EXPECT_NE(a, b);
}

TEST(RetainAudio, LinksUnderUuidNames) {
  Folder f;
  f.write("me.2.m4a", "audio");
  ASSERT_FALSE(retainAudio(f.path() / "me.2.m4a", f.path()));
  ASSERT_FALSE(retainAudio(f.path() / "me.2.m4a", f.path()));
  std::vector<std::filesystem::path> links;
  for (const auto& e : std::filesystem::directory_iterator(f.path() / "original")) links.push_back(e.path());
  ASSERT_EQ(links.size(), 2u);
  for (const auto& link : links) {
    std::string name = link.filename().string();
    EXPECT_EQ(name.size(), 36u + 1 + 8);
    EXPECT_EQ(name.substr(36), "-me.2.m4a");
    EXPECT_TRUE(std::filesystem::equivalent(link, f.path() / "me.2.m4a"));
  }
  EXPECT_EQ(std::filesystem::hard_link_count(f.path() / "me.2.m4a"), 3u);
}

TEST(RetainAudio, ReportsErrors) {
  Folder f;
  EXPECT_TRUE(retainAudio(f.path() / "missing.m4a", f.path()));
  f.write("me.1.m4a", "x");
  Folder g;
  g.write("original", "a file in the way");
  EXPECT_TRUE(retainAudio(f.path() / "me.1.m4a", g.path()));
}

}  // namespace
}  // namespace lumeno
