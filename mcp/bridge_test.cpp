#include "bridge.h"

#include <gtest/gtest.h>

#include "testing.h"
#include "tests/process.h"

namespace lumeno::mcp {
namespace {

TEST(ProfileFrom, ChoosesTheUserDataFolder) {
  struct Case {
    Env env;
    std::string expected;
  };
  const Case cases[] = {
      {{{"LUMENO_USER_DATA", "/tmp/x"}}, "/tmp/x"},
      {{{"LUMENO_USER_DATA", "/tmp/x/"}}, "/tmp/x/"},  // verbatim, slash kept
      {{{"LUMENO_USER_DATA", ""}}, ""},                // present though empty
      {{{"LUMENO_USER_DATA", "/u"}, {"XDG_CONFIG_HOME", "/c"}}, "/u"},
      {{{"XDG_CONFIG_HOME", "/c"}}, "/c/Lumeno"},
      {{{"XDG_CONFIG_HOME", "relative"}}, "/home/me/.config/Lumeno"},
      {{{"XDG_CONFIG_HOME", ""}}, "/home/me/.config/Lumeno"},
      {{}, "/home/me/.config/Lumeno"},
  };
  for (const Case& c : cases) EXPECT_EQ(profileFrom(c.env, "/home/me"), c.expected);
}

TEST(HomeFolder, FallsBackToThePasswordEntry) {
  EXPECT_EQ(homeFolder({{"HOME", "/h"}}), "/h");
  EXPECT_FALSE(homeFolder({{"HOME", ""}}).empty());
  EXPECT_FALSE(homeFolder({}).empty());
}

TEST(ReadEnvironment, KeepsTheFirstOfARepeatedName) {
  char a[] = "A=1", b[] = "B=", c[] = "A=2", d[] = "NOEQUALS";
  char* environ[] = {a, b, c, d, nullptr};
  Env env = readEnvironment(environ);
  EXPECT_EQ(env, (Env{{"A", "1"}, {"B", ""}}));
}

TEST(SocketAddress, HoldsAtMost103BytesAndATerminatingZero) {
  std::string longest(maxPathBytes, 'p');
  auto address = socketAddress(longest);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->sun_family, AF_UNIX);
  EXPECT_EQ(std::string(address->sun_path, maxPathBytes), longest);
  for (size_t i = maxPathBytes; i < sizeof address->sun_path; ++i) EXPECT_EQ(address->sun_path[i], 0);

  EXPECT_FALSE(socketAddress(longest + "p"));
  EXPECT_TRUE(socketAddress(""));
}

TEST(WaitForSocket, GivesUpAfterItsAttemptsAndFindsALateServer) {
  lumeno::test::TempDir folder;
  std::string path = folder.path() + "/mcp.sock";
  auto address = socketAddress(path);
  ASSERT_TRUE(address);
  EXPECT_FALSE(waitForSocket(*address, 3, 1000));

  std::optional<testing::SocketServer> server;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.emplace(path);
  });
  auto fd = waitForSocket(*address, 200, 10000);
  late.join();
  ASSERT_TRUE(fd);
  close(*fd);
}

}  // namespace
}  // namespace lumeno::mcp
