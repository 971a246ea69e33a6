// Relay benchmark: lumeno-mcp beside `socat STDIO UNIX-CONNECT:path` on the
// same Unix-domain socket server, in the same run. Prints the throughput of a
// transfer in each direction and the round-trip time of small messages.
//
//   lumeno-mcp-bench PATH/TO/lumeno-mcp [megabytes=100] [round-trips=20000] [runs=3]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

#include "testing.h"
#include "tests/process.h"

namespace {

using namespace lumeno::mcp::testing;
using lumeno::test::Child;
using lumeno::test::ProcessOptions;
using lumeno::test::TempDir;
using Seconds = std::chrono::duration<double>;

struct Client {
  std::string name;
  std::vector<std::string> argv;
};

struct Figures {
  double uploadMBps = 0;    // assistant -> application
  double downloadMBps = 0;  // application -> assistant
  double roundTripUs = 0;   // median
};

std::unique_ptr<Child> start(const Client& client, const std::string& profile) {
  ProcessOptions options;
  options.setEnv = {{"LUMENO_USER_DATA", profile}, {"LUMENO_MCP_NO_LAUNCH", ""}};
  options.exactEnv = true;
  auto child = std::make_unique<Child>(client.argv, options);
  if (!child->running()) {
    std::fprintf(stderr, "bench: %s could not be started\n", client.name.c_str());
    std::exit(1);
  }
  return child;
}

void finish(Child& child, int peer) {
  child.closeStdin();
  close(peer);
  child.wait();
}

// Drains `fd` until `bytes` have come; false on an early end.
bool drain(int fd, size_t bytes) {
  static char sink[1 << 18];
  while (bytes > 0) {
    ssize_t n = read(fd, sink, std::min(sizeof sink, bytes));
    if (n <= 0) return false;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

double upload(const Client& client, SocketServer& server, const std::string& profile, size_t bytes) {
  auto child = start(client, profile);
  int peer = server.accept();
  const std::string chunk = pattern(65536, 3);
  auto begin = Clock::now();
  std::thread assistant([&] {
    for (size_t left = bytes; left > 0;) {
      size_t size = std::min(left, chunk.size());
      if (!writePieces(child->stdinFd(), std::string_view(chunk).substr(0, size))) return;
      left -= size;
    }
  });
  bool complete = drain(peer, bytes);
  auto end = Clock::now();
  assistant.join();
  finish(*child, peer);
  return complete ? bytes / 1e6 / Seconds(end - begin).count() : 0;
}

double download(const Client& client, SocketServer& server, const std::string& profile, size_t bytes) {
  auto child = start(client, profile);
  int peer = server.accept();
  const std::string chunk = pattern(65536, 4);
  auto begin = Clock::now();
  std::thread application([&] {
    for (size_t left = bytes; left > 0;) {
      size_t size = std::min(left, chunk.size());
      if (!writePieces(peer, std::string_view(chunk).substr(0, size))) return;
      left -= size;
    }
  });
  bool complete = drain(child->stdoutFd(), bytes);
  auto end = Clock::now();
  application.join();
  finish(*child, peer);
  return complete ? bytes / 1e6 / Seconds(end - begin).count() : 0;
}

// Median round trip of a 100-byte message through the client and an echo.
double roundTrip(const Client& client, SocketServer& server, const std::string& profile, int count) {
  auto child = start(client, profile);
  int peer = server.accept();
  std::thread echo([peer] {
    char data[65536];
    for (;;) {
      ssize_t n = read(peer, data, sizeof data);
      if (n <= 0 || !writePieces(peer, std::string_view(data, static_cast<size_t>(n)))) return;
    }
  });
  const std::string message = pattern(100, 5);
  std::vector<double> times;
  const int warmUp = 200;
  for (int i = 0; i < warmUp + count; ++i) {
    auto begin = Clock::now();
    if (!child->write(message) || !drain(child->stdoutFd(), message.size())) break;
    if (i >= warmUp) times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }
  child->closeStdin();
  child->wait();
  shutdown(peer, SHUT_RDWR);
  echo.join();
  close(peer);
  if (times.empty()) return 0;
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lumeno-mcp-bench PATH/TO/lumeno-mcp [megabytes] [round-trips] [runs]\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  const size_t bytes = static_cast<size_t>(argc > 2 ? std::atof(argv[2]) : 100) * 1000 * 1000;
  const int trips = argc > 3 ? std::atoi(argv[3]) : 20000;
  const int runs = argc > 4 ? std::atoi(argv[4]) : 3;

  TempDir folder;
  SocketServer server(folder.path() + "/mcp.sock");
  if (!server.listening()) {
    std::fprintf(stderr, "bench: no socket server at %s\n", folder.path().c_str());
    return 1;
  }
  const std::string socket = folder.path() + "/mcp.sock";
  const Client clients[] = {{"lumeno-mcp", {argv[1]}},
                            {"socat", {"/usr/bin/socat", "STDIO", "UNIX-CONNECT:" + socket}}};

  // Runs alternate between the clients so that both see the same machine;
  // each figure is the best throughput and the best median of the runs.
  Figures best[2];
  for (int run = 0; run < runs; ++run) {
    for (int c = 0; c < 2; ++c) {
      Figures now{upload(clients[c], server, folder.path(), bytes),
                  download(clients[c], server, folder.path(), bytes),
                  roundTrip(clients[c], server, folder.path(), trips)};
      std::printf("run %d %-10s  in %8.1f MB/s  out %8.1f MB/s  round trip %6.1f us\n", run + 1,
                  clients[c].name.c_str(), now.uploadMBps, now.downloadMBps, now.roundTripUs);
      best[c].uploadMBps = std::max(best[c].uploadMBps, now.uploadMBps);
      best[c].downloadMBps = std::max(best[c].downloadMBps, now.downloadMBps);
      if (best[c].roundTripUs == 0 || (now.roundTripUs > 0 && now.roundTripUs < best[c].roundTripUs)) {
        best[c].roundTripUs = now.roundTripUs;
      }
    }
  }

  std::printf("\n%zu MB each way, %d round trips of 100 bytes, best of %d runs\n", bytes / 1000000, trips, runs);
  std::printf("%-34s %12s %12s %10s\n", "", "lumeno-mcp", "socat", "ratio");
  auto row = [](const char* what, double bridge, double socat, double ratio) {
    std::printf("%-34s %12.1f %12.1f %9.2fx\n", what, bridge, socat, ratio);
  };
  row("assistant -> application (MB/s)", best[0].uploadMBps, best[1].uploadMBps,
      best[0].uploadMBps / best[1].uploadMBps);
  row("application -> assistant (MB/s)", best[0].downloadMBps, best[1].downloadMBps,
      best[0].downloadMBps / best[1].downloadMBps);
  row("round trip, median (us)", best[0].roundTripUs, best[1].roundTripUs,
      best[1].roundTripUs / best[0].roundTripUs);
  std::printf("ratio: how many times the bridge's figure is better than socat's (>1 = faster)\n");
  return 0;
}
