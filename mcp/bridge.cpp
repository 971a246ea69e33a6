#include "bridge.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace lumeno::mcp {

namespace {

// Standard input is read into `buf` on the main thread; the socket into
// `answers` on the relay thread. Neither is shared.
char buf[relayChunkBytes];
char answers[relayChunkBytes];

// Both relay directions may end the process at nearly the same moment; exit
// must run only once, so a late caller waits for the first one to finish.
[[noreturn]] void endRelay() {
  static std::atomic<bool> ending{false};
  if (ending.exchange(true)) {
    for (;;) pause();
  }
  std::exit(0);
}

// Hands every byte to `put` (one write or send call), continuing after
// partial writes; false once a call moves nothing.
template <typename Put>
bool putAll(Put put, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = put(data, size);
    if (n < 1) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// MSG_NOSIGNAL: a peer that has gone away is the end of the relay, not a
// reason to be killed by SIGPIPE.
bool sendAll(int fd, const char* data, size_t size) {
  return putAll([fd](const char* d, size_t n) { return send(fd, d, n, MSG_NOSIGNAL); }, data, size);
}

bool writeAll(int fd, const char* data, size_t size) {
  return putAll([fd](const char* d, size_t n) { return write(fd, d, n); }, data, size);
}

void socketToOutput(int fd) {
  for (;;) {
    ssize_t n = read(fd, answers, sizeof answers);
    if (n <= 0) endRelay();
    if (!writeAll(STDOUT_FILENO, answers, static_cast<size_t>(n))) endRelay();
  }
}

}  // namespace

Env readEnvironment(char** environ) {
  Env env;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return env;
}

std::string homeFolder(const Env& env) {
  if (auto home = env.find("HOME"); home != env.end() && !home->second.empty()) return home->second;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "";
}

std::string profileFrom(const Env& env, const std::string& home) {
  if (auto userData = env.find("LUMENO_USER_DATA"); userData != env.end()) return userData->second;
  if (auto config = env.find("XDG_CONFIG_HOME");
      config != env.end() && !config->second.empty() && config->second.front() == '/') {
    return config->second + "/Lumeno";
  }
  return home + "/.config/Lumeno";
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  static_assert(sizeof(sockaddr_un{}.sun_path) > maxPathBytes);
  if (path.size() > maxPathBytes) return std::nullopt;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

std::optional<int> connectTo(const sockaddr_un& address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return std::nullopt;
}

std::optional<int> waitForSocket(const sockaddr_un& address, int attempts, useconds_t pauseUs) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (auto fd = connectTo(address)) return fd;
    usleep(pauseUs);
  }
  return std::nullopt;
}

bool launch(const std::string& program, const std::vector<std::string>& args) {
  // Everything the child needs is built before fork: it only makes system calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // The intermediate process: a new session, then a grandchild that becomes
    // the application. Ending here leaves the application to init, so the
    // bridge neither waits for it nor leaves a zombie behind.
    setsid();
    pid_t app = fork();
    if (app != 0) _exit(app < 0 ? 1 : 0);
    // The assistant's pipes stay with the bridge: the application must not
    // write into the protocol stream or keep it open after the bridge ends.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void fail(std::string_view message) {
  std::string line(message);
  line += '\n';
  ssize_t written = write(STDERR_FILENO, line.data(), line.size());
  (void)written;
  std::exit(1);
}

void relay(int fd) {
  // Standard output may be a pipe whose reader has gone; that ends the relay
  // with status 0 like any other failed write, rather than killing the process.
  // Set here, after any launch, so the application keeps the default action.
  signal(SIGPIPE, SIG_IGN);

  std::thread(socketToOutput, fd).detach();

  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 1) break;
    if (!sendAll(fd, buf, static_cast<size_t>(n))) endRelay();
  }
  // The application sees the end of the assistant's stream; its last answers
  // still have a moment to come through the other direction.
  shutdown(fd, SHUT_WR);
  usleep(200000);
  endRelay();
}

}  // namespace lumeno::mcp
