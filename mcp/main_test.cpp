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
#include "tests/process.h"

namespace lumeno::mcp {
namespace {

using lumeno::test::Child;
using lumeno::test::ProcessOptions;
using lumeno::test::ProcessResult;
using lumeno::test::TempDir;
using testing::SocketServer;
using Env = std::map<std::string, std::string>;

std::string line(std::string_view message) { return std::string(message) + "\n"; }

std::string describe(const ProcessResult& result) {
  if (result.timedOut) return "still running";
  if (result.signal) return "killed by signal " + std::to_string(result.signal);
  return "exit status " + std::to_string(result.status);
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

  Env userData(const std::string& profile) const { return {{"LUMENO_USER_DATA", profile}}; }
  std::string socketPath() const { return folder.path() + "/mcp.sock"; }
  std::string launchRecord() const { return folder.path() + "/launched"; }

  std::unique_ptr<Child> start(Env env, const char* program = LUMENO_MCP_PROGRAM) {
    ProcessOptions options;
    options.setEnv = std::move(env);
    options.exactEnv = true;
    auto child = std::make_unique<Child>(std::vector<std::string>{program}, options);
    EXPECT_TRUE(child->running());
    return child;
  }

  TempDir folder;
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
  EXPECT_EQ(testing::readUpTo(bridge->stdoutFd(), answer.size()), answer);

  close(peer);  // the application ends the connection
  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.err, "");
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
  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
}

TEST_F(BridgeTest, SocketPathOf103BytesConnectsAnd104IsRefusedBeforeAnyLaunch) {
  const size_t socketName = std::string("/mcp.sock").size();

  std::string fits = testing::subfolderOfLength(folder.path(), 103 - socketName);
  SocketServer server(fits + "/mcp.sock");
  ASSERT_TRUE(server.listening());
  auto connecting = start(userData(fits));
  int peer = server.accept();
  EXPECT_GE(peer, 0);
  close(peer);
  EXPECT_EQ(connecting->wait(std::chrono::seconds(15)).status, 0);

  // The testing program would launch the test launcher, which leaves a record.
  std::string tooLong = testing::subfolderOfLength(folder.path(), 104 - socketName);
  auto refused = start(userData(tooLong), LUMENO_MCP_TESTING_PROGRAM);
  auto result = refused->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 1) << describe(result);
  EXPECT_EQ(result.err, line(pathTooLongMessage));
  EXPECT_FALSE(exists(tooLong + "/launched"));
}

TEST_F(BridgeTest, NoSocketWithLaunchingOffFailsAtOnce) {
  Env env = userData(folder.path());
  env["LUMENO_MCP_NO_LAUNCH"] = "";
  auto started = testing::Clock::now();
  auto bridge = start(env, LUMENO_MCP_TESTING_PROGRAM);

  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 1) << describe(result);
  EXPECT_EQ(result.err, line(notRunningMessage));
  EXPECT_EQ(result.out, "");
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
    auto result = bridge->wait(std::chrono::seconds(15));
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_EQ(result.err, line(closedByUserMessage));
    EXPECT_FALSE(exists(launchRecord()));
  }
}

TEST_F(BridgeTest, LaunchesTheApplicationDetachedAndKeepsTryingUntilItServes) {
  Env env = userData(folder.path());
  env["LUMENO_TEST_SERVE_AFTER_MS"] = "2000";
  auto bridge = start(env, LUMENO_MCP_TESTING_PROGRAM);
  // Waits in the pipe until the bridge is connected.
  ASSERT_TRUE(bridge->write("hello\n"));
  EXPECT_EQ(testing::readUpTo(bridge->stdoutFd(), 6, 20000), "hello\n");

  // The test launcher echoes until the bridge half-closes, then closes too.
  bridge->closeStdin();
  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.err, "");

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
  bridge->closeStdin();

  int peer = server.accept();
  ASSERT_GE(peer, 0);
  // The half-close shows as the end of the request stream...
  EXPECT_EQ(testing::readToEnd(peer), "request\n");
  // ...while answers can still go the other way.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(testing::writePieces(peer, "answer\n"));

  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.out, "answer\n");
  EXPECT_EQ(result.status, 0) << describe(result);
  close(peer);
}

TEST_F(BridgeTest, ApplicationClosingWhileTheAssistantWritesEndsWithStatus0) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));
  std::thread assistant([input = bridge->stdinFd()] {
    std::string chunk(4096, 'x');
    while (testing::writePieces(input, chunk)) {}
  });

  int peer = server.accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(testing::readUpTo(peer, 100000).size(), 100000u);
  close(peer);

  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
  bridge->closeStdout();
  assistant.join();  // its write fails once the bridge is gone
}

TEST_F(BridgeTest, AssistantNoLongerReadingEndsWithStatus0) {
  SocketServer server(socketPath());
  ASSERT_TRUE(server.listening());
  auto bridge = start(userData(folder.path()));
  int peer = server.accept();
  ASSERT_GE(peer, 0);
  bridge->closeStdout();

  std::string chunk(4096, 'y');
  while (testing::writePieces(peer, chunk)) {}  // fails once the bridge is gone
  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
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

  std::thread assistant([&, input = bridge->stdinFd()] { testing::writePieces(input, request, GetParam()); });
  int peer = server.accept();
  ASSERT_GE(peer, 0);
  std::thread application([&] { testing::writePieces(peer, answer, GetParam()); });

  std::string received = testing::readUpTo(peer, size);
  std::string relayed = testing::readUpTo(bridge->stdoutFd(), size);
  assistant.join();
  application.join();
  EXPECT_TRUE(received == request) << "request: " << received.size() << " bytes";
  EXPECT_TRUE(relayed == answer) << "answer: " << relayed.size() << " bytes";

  bridge->closeStdin();
  auto result = bridge->wait(std::chrono::seconds(15));
  EXPECT_EQ(result.status, 0) << describe(result);
  close(peer);
}

INSTANTIATE_TEST_SUITE_P(Pieces, LargeMessageTest,
                         ::testing::Values(std::vector<size_t>{200000}, std::vector<size_t>{65536},
                                           std::vector<size_t>{1, 7, 4093, 65537, 3, 131071}));

TEST(InfoPlist, IsAnElfSectionOfTheExecutable) {
  TempDir folder;
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
