// Test and benchmark helpers: a Unix-domain socket server and pipe helpers;
// child processes and temporary folders come from tests/process.h. Header-only; used by main_test.cpp and
// bench/relay_bench.cpp. Nothing here is part of lumeno-mcp itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// A folder inside `parent` whose path has exactly `bytes` bytes.
inline std::string subfolderOfLength(const std::string& parent, size_t bytes) {
  std::string sub = parent + "/";
  sub.append(bytes - sub.size(), 'd');
  std::filesystem::create_directories(sub);
  return sub;
}

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

}  // namespace lumeno::mcp::testing
