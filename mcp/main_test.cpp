// End-to-end tests: the built lumeno-mcp against real Unix-domain sockets.
// LUMENO_MCP_PROGRAM is the shipped executable; LUMENO_MCP_TESTING_PROGRAM is
// the same program built to launch the test launcher instead of the desktop
// application.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "bridge.h"
#include "testing.h"

namespace lumeno::mcp {
namespace {

using testing::Child;
using testing::SocketServer;
using testing::TempFolder;

std::string line(std::string_view message) { return std::string(message) + "\n"; }

bool exitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::string describe(std::optional<int> status) {
  if (!status) return "still running";
  if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
  return "exit status " + std::to_string(WEXITSTATUS(*status));
}

std::string slurp(const std::string& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& file) {
  struct stat info;
  return lstat(file.c_str(), &info) == 0;
}

class BridgeTest : public ::testing::Test {
 protected:
  // Writes into a pipe whose reader has gone must fail, not kill the test.
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

  Child::Env userData(const std::string& profile) const { return {{"LUMENO_USER_DATA", profile}}; }
  std::string socketPath() const { return folder.path() + "/mcp.sock"; }
  std::string launchRecord() const { return folder.path() + "/launched"; }

  std::unique_ptr<Child> start(Child::Env env, const char* program = LUMENO_MCP_PROGRAM) {
    auto child = std::make_unique<Child>(std::vector<std::string>{program}, std::move(env));
    EXPECT_TRUE(child->running());
    return child;
  }

  TempFolder folder;
};

TEST_F(BridgeTest, RelaysRequestAndAnswerThroughTheUserDataSocket) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));

  const std::string request = "{\"id\":1}\n", answer = "{\"id\":1,\"result\":{}}\n";
  ASSERT_TRUE(bridge->write(request));
  int peer = server.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(testing::readUpTo(peer, request.size()), request);
  ASSERT_TRUE(testing::writePieces(peer, answer));
  EXPECT_EQ(testing::readUpTo(bridge->output(), answer.size()), answer);

  close(peer);  // the application ends the connection
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  EXPECT_EQ(testing::readToEnd(bridge->error()), "");
}

TEST_F(BridgeTest, DefaultUserDataFolderIsInTheHomeConfigFolder) {
  std::string profile = folder.path() + "/.config/Lumeno";
  std::filesystem::create_directories(profile);
  SocketServer server(profile + "/mcp.sock");
  ASSERT_TRUE(server.listening());
  auto bridge = start({{"HOME", folder.path()}, {"LUMENO_MCP_NO_LAUNCH", ""}});

  int peer = server.accept();
  ASSERT_GE(peer, 0);
  close(peer);
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
}

TEST_F(BridgeTest, SocketPathOf103BytesConnectsAnd104IsRefusedBeforeAnyLaunch) {
  const size_t socketName = std::string("/mcp.sock").size();

  std::string fits = folder.subfolderOfLength(103 - socketName);
  SocketServer server(fits + "/mcp.sock");
  ASSERT_TRUE(server.listening());
  auto connecting = start(userData(fits));
  int peer = server.accept();
  EXPECT_GE(peer, 0);
  close(peer);
  EXPECT_TRUE(exitedWith(connecting->wait(), 0));

  // The testing program would launch the test launcher, which leaves a record.
  std::string tooLong = folder.subfolderOfLength(104 - socketName);
  auto refused = start(userData(tooLong), LUMENO_MCP_TESTING_PROGRAM);
  auto status = refused->wait();
  EXPECT_TRUE(exitedWith(status, 1)) << describe(status);
  EXPECT_EQ(testing::readToEnd(refused->error()), line(pathTooLongMessage));
  EXPECT_FALSE(exists(tooLong + "/launched"));
}

TEST_F(BridgeTest, NoSocketWithLaunchingOffFailsAtOnce) {
  Child::Env env = userData(folder.path());
  env["LUMENO_MCP_NO_LAUNCH"] = "";
  auto started = testing::Clock::now();
  auto bridge = start(env, LUMENO_MCP_TESTING_PROGRAM);

  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 1)) << describe(status);
  EXPECT_EQ(testing::readToEnd(bridge->error()), line(notRunningMessage));
  EXPECT_EQ(testing::readToEnd(bridge->output()), "");
  EXPECT_FALSE(exists(launchRecord()));
  // Generous: only tells "no attempts" from the 30 seconds of attempts.
  EXPECT_LT(testing::Clock::now() - started, std::chrono::seconds(10));
}

TEST_F(BridgeTest, QuitMarkerOfAnyKindMeansClosedAndNoLaunch) {
  for (bool directory : {false, true}) {
    SCOPED_TRACE(directory ? "directory" : "file");
    std::string marker = folder.path() + "/quit-by-user";
    std::filesystem::remove_all(marker);
    if (directory) {
      std::filesystem::create_directory(marker);
    } else {
      std::ofstream(marker).put('\n');
    }
    auto bridge = start(userData(folder.path()), LUMENO_MCP_TESTING_PROGRAM);
    auto status = bridge->wait();
    EXPECT_TRUE(exitedWith(status, 1)) << describe(status);
    EXPECT_EQ(testing::readToEnd(bridge->error()), line(closedByUserMessage));
    EXPECT_FALSE(exists(launchRecord()));
  }
}

TEST_F(BridgeTest, LaunchesTheApplicationDetachedAndKeepsTryingUntilItServes) {
  Child::Env env = userData(folder.path());
  env["LUMENO_TEST_SERVE_AFTER_MS"] = "2000";
  auto bridge = start(env, LUMENO_MCP_TESTING_PROGRAM);
  // Waits in the pipe until the bridge is connected.
  ASSERT_TRUE(bridge->write("hello\n"));
  EXPECT_EQ(testing::readUpTo(bridge->output(), 6, 20000), "hello\n");

  // The test launcher echoes until the bridge half-closes, then closes too.
  bridge->closeInput();
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  EXPECT_EQ(testing::readToEnd(bridge->error()), "");

  std::string record = slurp(launchRecord());
  std::string expected = "arg --hidden\narg --started-by=ai-app\n"
                         "fd0 /dev/null\nfd1 /dev/null\nfd2 /dev/null\n";
  EXPECT_EQ(record.substr(0, expected.size()), expected) << record;
  EXPECT_EQ(record.find("session " + std::to_string(getsid(0)) + "\n"), std::string::npos) << record;
}

TEST_F(BridgeTest, AnswersWithinAMomentOfTheEndOfInputStillArrive) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));
  ASSERT_TRUE(bridge->write("request\n"));
  bridge->closeInput();

  int peer = server.accept();
  ASSERT_GE(peer, 0);
  // The half-close shows as the end of the request stream...
  EXPECT_EQ(testing::readToEnd(peer), "request\n");
  // ...while answers can still go the other way.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(testing::writePieces(peer, "answer\n"));

  EXPECT_EQ(testing::readToEnd(bridge->output()), "answer\n");
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  close(peer);
}

TEST_F(BridgeTest, ApplicationClosingWhileTheAssistantWritesEndsWithStatus0) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));
  std::thread assistant([input = bridge->input()] {
    std::string chunk(4096, 'x');
    while (testing::writePieces(input, chunk)) {}
  });

  int peer = server.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(testing::readUpTo(peer, 100000).size(), 100000u);
  close(peer);

  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  bridge->closeOutput();
  assistant.join();  // its write fails once the bridge is gone
}

TEST_F(BridgeTest, AssistantNoLongerReadingEndsWithStatus0) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));
  int peer = server.accept();
  ASSERT_GE(peer, 0);
  bridge->closeOutput();

  std::string chunk(4096, 'y');
  while (testing::writePieces(peer, chunk)) {}  // fails once the bridge is gone
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  close(peer);
}

class LargeMessageTest : public BridgeTest,
                         public ::testing::WithParamInterface<std::vector<size_t>> {};

TEST_P(LargeMessageTest, ArrivesCompleteAndInOrderBothWays) {
  const size_t size = 200000;
  const std::string request = testing::pattern(size, 1);
  const std::string answer = testing::pattern(size, 2);
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));

  std::thread assistant([&, input = bridge->input()] { testing::writePieces(input, request, GetParam()); });
  int peer = server.accept();
  ASSERT_GE(peer, 0);
  std::thread application([&] { testing::writePieces(peer, answer, GetParam()); });

  std::string received = testing::readUpTo(peer, size);
  std::string relayed = testing::readUpTo(bridge->output(), size);
  assistant.join();
  application.join();
  EXPECT_TRUE(received == request) << "request: " << received.size() << " bytes";
  EXPECT_TRUE(relayed == answer) << "answer: " << relayed.size() << " bytes";

  bridge->closeInput();
  auto status = bridge->wait();
  EXPECT_TRUE(exitedWith(status, 0)) << describe(status);
  close(peer);
}

INSTANTIATE_TEST_SUITE_P(Pieces, LargeMessageTest,
                         ::testing::Values(std::vector<size_t>{200000}, std::vector<size_t>{65536},
                                           std::vector<size_t>{1, 7, 4093, 65537, 3, 131071}));

TEST(InfoPlist, IsAnElfSectionOfTheExecutable) {
  TempFolder folder;
  std::string dump = folder.path() + "/plist";
  std::string command = "objcopy --dump-section .lumeno_plist=" + dump + " " LUMENO_MCP_PROGRAM " " +
                        folder.path() + "/copy";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string plist = slurp(dump);
  EXPECT_EQ(plist.rfind("<?xml", 0), 0u) << plist;
  EXPECT_NE(plist.find("<key>CFBundleIdentifier</key>\n\t<string>app.lumeno.mcp</string>"), std::string::npos);
  EXPECT_NE(plist.find("<key>CFBundleName</key>\n\t<string>Lumeno</string>"), std::string::npos);
  EXPECT_NE(plist.find("</plist>"), std::string::npos);
}

}  // namespace
}  // namespace lumeno::mcp
