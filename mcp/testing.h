// Test and benchmark helpers: a temporary folder, a Unix-domain socket server
// and a child process wired to pipes. Header-only; used by main_test.cpp and
// bench/relay_bench.cpp. Nothing here is part of lumeno-mcp itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lumeno::mcp::testing {

using Clock = std::chrono::steady_clock;

// A fresh folder under /tmp, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder() {
    char name[] = "/tmp/lumeno-mcp-XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }

  // A folder inside this one whose path has exactly `bytes` bytes.
  std::string subfolderOfLength(size_t bytes) const {
    std::string sub = path_ + "/";
    sub.append(bytes - sub.size(), 'd');
    std::filesystem::create_directories(sub);
    return sub;
  }

 private:
  std::string path_;
};

// Polls `fd` for `events`; false after `timeoutMs`.
inline bool waitFor(int fd, short events, int timeoutMs) {
  pollfd ready{fd, events, 0};
  return poll(&ready, 1, timeoutMs) == 1;
}

// Reads until `bytes` bytes, end of stream or `timeoutMs` without data.
inline std::string readUpTo(int fd, size_t bytes, int timeoutMs = 10000) {
  std::string data;
  char chunk[65536];
  while (data.size() < bytes) {
    if (!waitFor(fd, POLLIN, timeoutMs)) break;
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, bytes - data.size()));
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

// Reads until end of stream or `timeoutMs` without data.
inline std::string readToEnd(int fd, int timeoutMs = 10000) {
  return readUpTo(fd, SIZE_MAX, timeoutMs);
}

// Writes `data` in pieces whose sizes cycle through `pieces` (whole pieces of
// at most 64 KiB when empty). False when a write fails.
inline bool writePieces(int fd, std::string_view data, const std::vector<size_t>& pieces = {}) {
  size_t next = 0;
  while (!data.empty()) {
    size_t size = pieces.empty() ? 65536 : pieces[next++ % pieces.size()];
    size = std::min(size, data.size());
    while (size > 0) {
      ssize_t n = send(fd, data.data(), size, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = write(fd, data.data(), size);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
      size -= static_cast<size_t>(n);
    }
  }
  return true;
}

// A deterministic byte pattern that shows both loss and reordering.
inline std::string pattern(size_t bytes, unsigned seed) {
  std::string data(bytes, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return data;
}

// A listening Unix-domain stream socket at a path, removed at the end.
class SocketServer {
 public:
  explicit SocketServer(std::string path) : path_(std::move(path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
      close(fd);
      return;
    }
    listener_ = fd;
  }
  ~SocketServer() {
    if (listener_ >= 0) {
      close(listener_);
      unlink(path_.c_str());
    }
  }
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  bool listening() const { return listener_ >= 0; }

  // The next connection, or -1 after `timeoutMs`.
  int accept(int timeoutMs = 10000) {
    if (listener_ < 0 || !waitFor(listener_, POLLIN, timeoutMs)) return -1;
    return ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  std::string path_;
  int listener_ = -1;
};

// A child process with its standard input, output and error on pipes.
class Child {
 public:
  using Env = std::map<std::string, std::string>;

  // Starts `argv` with exactly `env` (plus the sanitizer settings of this
  // process, if any). running() is false when it could not be started.
  Child(const std::vector<std::string>& argv, Env env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS", "PATH"}) {
      if (const char* value = std::getenv(name); value && !env.contains(name)) env[name] = value;
    }
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with default signal actions whatever this process set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> envText;
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    closeInput();
    closeOutput();
    if (error_ >= 0) close(error_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() const { return pid_ > 0; }
  int input() const { return input_; }
  int output() const { return output_; }
  int error() const { return error_; }

  bool write(std::string_view data) { return writePieces(input_, data); }
  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  void closeOutput() {
    if (output_ >= 0) close(output_);
    output_ = -1;
  }

  // The wait status once the child has ended; none (and the child killed)
  // after `timeoutMs`.
  std::optional<int> wait(int timeoutMs = 15000) {
    if (status_) return *status_ < 0 ? std::nullopt : status_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) return status_ = status;
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        status_ = -1;
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, error_ = -1;
  std::optional<int> status_;
};

}  // namespace lumeno::mcp::testing
