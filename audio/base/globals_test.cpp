#include "audio/base/globals.h"

#include <gtest/gtest.h>

#include <limits>

#include "audio/base/events.h"

namespace lumeno {
namespace {

TEST(ParseInteger, AcceptsAnOptionalSignAndDigitsWithinInt64Only) {
  struct Case { const char* text; std::optional<int64_t> want; };
  const Case cases[] = {
      {"2", 2}, {"-2", -2}, {"+3", 3}, {"007", 7}, {"-0", 0},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"9223372036854775808", std::nullopt}, {"abc", std::nullopt}, {"1.0", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt}, {"", std::nullopt}, {"12a", std::nullopt},
      {"+", std::nullopt}, {"+-1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseInteger(c.text), c.want) << '"' << c.text << '"';
}

TEST(ParseNumber, AcceptsAWholeFiniteNumberWithoutLeadingSpace) {
  struct Case { const char* text; std::optional<double> want; };
  const Case cases[] = {
      {"1500.5", 1500.5}, {"61234.5", 61234.5}, {"-3", -3.0}, {"1e3", 1000.0}, {"+.5", 0.5},
      {" 1500", std::nullopt}, {"\t1", std::nullopt}, {"1500 ", std::nullopt}, {"", std::nullopt},
      {"12ms", std::nullopt}, {"nan", std::nullopt}, {"inf", std::nullopt}, {"-infinity", std::nullopt},
      {"1e999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseNumber(c.text), c.want) << '"' << c.text << '"';
}

TEST(ParseStartMs, IsANumberWithinAWeekEitherWay) {
  struct Case { const char* text; std::optional<double> want; };
  const Case cases[] = {
      {"61234.5", 61234.5}, {"0", 0.0}, {"-3", -3.0}, {"604800000", 604800000.0}, {"-604800000", -604800000.0},
      {"604800000.001", std::nullopt}, {"-604800001", std::nullopt}, {"1e300", std::nullopt},
      {"-1e300", std::nullopt}, {"9223372036854775807", std::nullopt}, {"inf", std::nullopt}, {" 1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseStartMs(c.text), c.want) << '"' << c.text << '"';
}

class ArgValue : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = args; }
  void TearDown() override { args = saved_; }
  std::vector<std::string> saved_;
};

TEST_F(ArgValue, TakesTheWordAfterTheFirstOccurrenceOnly) {
  args = {"lumeno-audio", "record", "--dir", "a", "--dir", "b", "--mic-muted"};
  EXPECT_EQ(argValue("--dir"), "a");
  EXPECT_EQ(argValue("--part"), std::nullopt);
  EXPECT_TRUE(hasFlag("--mic-muted"));
  EXPECT_FALSE(hasFlag("--mic"));

  args = {"lumeno-audio", "record", "--x", "--dir"};
  EXPECT_EQ(argValue("--x"), "--dir");  // a value that looks like an option is taken as it is
  EXPECT_EQ(argValue("--dir"), std::nullopt);

  args = {"lumeno-audio", "--dir"};
  EXPECT_EQ(argValue("--dir"), std::nullopt);
}

TEST(Clock, ProgramTimeStartsAtStartUpAndFollowsTheHostClock) {
  double before = nowMs();
  EXPECT_GE(before, 0);
  EXPECT_LT(hostMs(startedHost - 5000000), 0);  // 5 ms before start-up
  EXPECT_NEAR(hostMs(startedHost + 1500000000), 1500.0, 1e-9);
  EXPECT_GE(nowMs(), before);
}

}  // namespace
}  // namespace lumeno
