// Test stand-in for the desktop application, which the testing build of the
// bridge launches. It records how it was started in LUMENO_USER_DATA/"launched"
// (its arguments, where its standard streams point, its session), then after
// LUMENO_TEST_SERVE_AFTER_MS milliseconds serves LUMENO_USER_DATA/mcp.sock:
// it echoes one connection until its end, then removes the socket and exits. LUMENO_TEST_SERVE_AFTER_MS=never: never serves.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string fdTarget(int fd) {
  char target[4096];
  ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  return n < 0 ? "closed" : std::string(target, static_cast<size_t>(n));
}

void echoOne(int listener) {
  pollfd ready{listener, POLLIN, 0};
  if (poll(&ready, 1, 20000) != 1) return;  // nobody came: give up
  int peer = accept(listener, nullptr, nullptr);
  if (peer < 0) return;
  char data[65536];
  for (;;) {
    ssize_t n = read(peer, data, sizeof data);
    if (n <= 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = send(peer, data + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
      if (w <= 0) return;
      done += w;
    }
  }
  close(peer);
}

}  // namespace

int main(int argc, char** argv) {
  const char* profile = std::getenv("LUMENO_USER_DATA");
  if (!profile) return 2;
  const char* after = std::getenv("LUMENO_TEST_SERVE_AFTER_MS");
  {
    std::ofstream record(std::string(profile) + "/launched.tmp");
    for (int i = 1; i < argc; ++i) record << "arg " << argv[i] << '\n';
    for (int fd = 0; fd < 3; ++fd) record << "fd" << fd << ' ' << fdTarget(fd) << '\n';
    record << "session " << getsid(0) << '\n';
  }
  // Appears whole, so a test never reads half a record.
  std::rename((std::string(profile) + "/launched.tmp").c_str(), (std::string(profile) + "/launched").c_str());

  if (after && std::strcmp(after, "never") == 0) return 0;
  usleep(static_cast<useconds_t>((after ? std::atoi(after) : 0)) * 1000);

  std::string path = std::string(profile) + "/mcp.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return 2;
  std::memcpy(address.sun_path, path.data(), path.size());
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0) {
    return 2;
  }
  echoOne(listener);
  close(listener);
  unlink(path.c_str());
  return 0;
}
