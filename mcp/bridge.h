// The pieces of lumeno-mcp, the bridge between an assistant's standard
// streams and the desktop application's "mcp.sock". main.cpp drives them in
// start-up order; each piece is usable on its own so that it can be tested.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumeno::mcp {

using Env = std::map<std::string, std::string>;

// Longest socket path the bridge accepts, so that the terminating 0 byte
// always fits the address record.
inline constexpr size_t maxPathBytes = 103;

// Size of each relay buffer; also the most one read or write moves at once.
inline constexpr size_t relayChunkBytes = 65536;

inline constexpr std::string_view pathTooLongMessage =
    "Lumeno's folder path is too long for its connection.";
inline constexpr std::string_view closedByUserMessage =
    "Lumeno is closed. Open Lumeno to use your meetings.";
inline constexpr std::string_view notRunningMessage =
    "Lumeno isn't running, and it couldn't be opened. Open Lumeno, then try again.";

// The process environment as a map; the first entry of a repeated name wins,
// as with getenv.
Env readEnvironment(char** environ);

// The user's home folder: HOME when set and not empty, else the password
// database entry of the real user; empty when neither is known.
std::string homeFolder(const Env& env);

// The desktop application's user-data folder. LUMENO_USER_DATA, when present,
// is taken verbatim (even empty). Otherwise XDG_CONFIG_HOME/Lumeno when that is
// an absolute path, else home + "/.config/Lumeno".
std::string profileFrom(const Env& env, const std::string& home);

// The address record for `path`, or none when `path` has more than
// maxPathBytes bytes. All bytes after the path are 0.
std::optional<sockaddr_un> socketAddress(const std::string& path);

// One connection attempt: a new stream socket connected to `address`, or none
// (the socket is closed again). Writes nothing.
std::optional<int> connectTo(const sockaddr_un& address);

// Up to `attempts` calls of connectTo, sleeping `pauseUs` microseconds after
// each unsuccessful one. The first socket that connects, or none.
std::optional<int> waitForSocket(const sockaddr_un& address, int attempts, useconds_t pauseUs);

// Starts `program` with `args` in a session of its own, with its standard
// streams on /dev/null, and returns once the intermediate process has ended,
// not when the program ends. False when the process could not be created; a
// program that cannot be executed is not reported.
// Must be called while the process has a single thread.
bool launch(const std::string& program, const std::vector<std::string>& args);

// Writes `message` and a line feed to standard error in one write, then exits
// with status 1.
[[noreturn]] void fail(std::string_view message);

// Copies bytes between standard input/output and the connected socket `fd`
// until either side ends, then exits with status 0. Never returns.
[[noreturn]] void relay(int fd);

}  // namespace lumeno::mcp
