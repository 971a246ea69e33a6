#include "audio/cli/command_reader.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace lumeno {
namespace {

TEST(TrimWhiteSpace, DropsSpacesTabsAndUnicodeSpaceSeparatorsAtBothEnds) {
  struct Case {
    std::string line, want;
  };
  const Case cases[] = {
      {"stop", "stop"},
      {"  stop\t", "stop"},
      {" \t ", ""},
      {"", ""},
      {"mute  3", "mute  3"},                                  // inside stays
      {"\xC2\xA0pause\xE3\x80\x80", "pause"},                   // no-break space, ideographic space
      {"\xE2\x80\x80\xE2\x80\x8A" "resume\xE2\x80\xAF\xE2\x81\x9F\xE1\x9A\x80", "resume"},
      {"\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"},                 // a zero-width space is no space
      {"caf\xC3\xA9 ", "caf\xC3\xA9"},
      {"a\r", "a\r"},                                          // line breaks are not white space
  };
  for (const auto& c : cases) EXPECT_EQ(trimWhiteSpace(c.line), c.want) << c.line;
}

// What readCommands makes of some input, written in pieces.
std::vector<std::string> linesOf(const std::vector<std::string>& pieces, int* ends) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (const auto& p : pieces) {
      EXPECT_EQ(write(fds[1], p.data(), p.size()), ssize_t(p.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fds[1]);
  });
  std::vector<std::string> lines;
  readCommands(fds[0], [&](std::string line) { lines.push_back(std::move(line)); }, [&] { ++*ends; });
  writer.join();
  close(fds[0]);
  return lines;
}

TEST(ReadCommands, CutsLinesAtLineFeedsDropsEmptyOnesAndEndsOnce) {
  int ends = 0;
  auto lines = linesOf({"  stop\t\r\n", " \t\n\n", "mute ", "3\r", "\nmic  a b \n", "pause"}, &ends);
  EXPECT_EQ(lines, (std::vector<std::string>{"stop", "mute 3", "mic  a b", "pause"}));
  EXPECT_EQ(ends, 1);

  ends = 0;
  EXPECT_TRUE(linesOf({}, &ends).empty());
  EXPECT_EQ(ends, 1);

  // A carriage return not followed by a line feed stays in the line.
  ends = 0;
  EXPECT_EQ(linesOf({"a\rb\n"}, &ends), (std::vector<std::string>{"a\rb"}));
}

TEST(ReadCommands, AnUnreadableInputEndsLikeTheEndOfInput) {
  int ends = 0;
  std::vector<std::string> lines;
  readCommands(-1, [&](std::string line) { lines.push_back(line); }, [&] { ++ends; });
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(ends, 1);
}

}  // namespace
}  // namespace lumeno
