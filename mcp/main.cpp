// lumeno-mcp: started by an AI assistant with no arguments; relays its
// standard streams to the desktop application's "mcp.sock", opening the
// application first when the socket cannot be reached.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "bridge.h"

#ifndef LUMENO_MCP_LAUNCHER
#error "LUMENO_MCP_LAUNCHER must name the program that opens the desktop application"
#endif

extern char** environ;

namespace lumeno::mcp {
namespace {

// Set once at start-up, before the relay threads exist.
Env env;
std::string profile;
std::string path;
std::string quitMarker;
std::optional<int> fd;

// One attempt on `path`; a path too long for the address record is fatal.
std::optional<int> connectOnce() {
  auto address = socketAddress(path);
  if (!address) fail(pathTooLongMessage);
  return connectTo(*address);
}

bool exists(const std::string& file) {
  struct stat info;
  return lstat(file.c_str(), &info) == 0;
}

}  // namespace
}  // namespace lumeno::mcp

int main() {
  using namespace lumeno::mcp;

  setvbuf(stdout, nullptr, _IONBF, 0);

  env = readEnvironment(environ);
  profile = profileFrom(env, homeFolder(env));
  path = profile + "/mcp.sock";
  quitMarker = profile + "/" + "quit-by-user";

  fd = connectOnce();
  if (!fd && !env.contains("LUMENO_MCP_NO_LAUNCH")) {
    if (exists(quitMarker)) fail(closedByUserMessage);
    // A launcher that cannot be started leaves nothing to wait for; the
    // attempts still run.
    launch(LUMENO_MCP_LAUNCHER, {"--hidden", "--started-by=ai-app"});
    fd = waitForSocket(*socketAddress(path), 60, 500000);
  }
  if (!fd) fail(notRunningMessage);

  relay(*fd);
}
