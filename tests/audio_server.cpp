#include "tests/audio_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace lumeno::test {

namespace {

using Clock = std::chrono::steady_clock;

pid_t readPid(const std::string& file) {
  std::ifstream in(file);
  long pid = 0;
  return (in >> pid) ? pid_t(pid) : 0;
}

}  // namespace

bool processAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

bool stopProcess(pid_t pid) {
  if (!processAlive(pid)) return true;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200 && processAlive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (processAlive(pid)) kill(pid, SIGKILL);
  for (int i = 0; i < 200 && processAlive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !processAlive(pid);
}

pid_t spawnDetached(const std::vector<std::string>& argv, int* outFd) {
  int pidPipe[2], outPipe[2];
  if (pipe2(pidPipe, O_CLOEXEC) != 0) return 0;
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    close(pidPipe[0]);
    close(pidPipe[1]);
    return 0;
  }
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);

  pid_t middle = fork();
  if (middle == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) {
      dup2(devnull, 0);
      dup2(outFd ? outPipe[1] : devnull, 1);
      signal(SIGPIPE, SIG_DFL);
      execv(args[0], args.data());
      _exit(127);
    }
    ssize_t n = write(pidPipe[1], &grandchild, sizeof grandchild);
    _exit(n == sizeof grandchild ? 0 : 1);
  }
  close(pidPipe[1]);
  close(outPipe[1]);
  if (devnull >= 0) close(devnull);
  pid_t pid = 0;
  if (middle > 0) {
    waitpid(middle, nullptr, 0);
    if (read(pidPipe[0], &pid, sizeof pid) != sizeof pid || pid < 0) pid = 0;
  }
  close(pidPipe[0]);
  if (outFd && pid > 0)
    *outFd = outPipe[0];
  else
    close(outPipe[0]);
  return pid;
}

AudioServer::AudioServer(std::string dir) : dir_(std::move(dir)) {}

AudioServer::~AudioServer() { stop(); }

std::string serverKind() {
  const char* kind = std::getenv("LUMENO_TEST_AUDIO_SERVER");
  return kind && *kind ? kind : "pulseaudio";
}

bool AudioServer::start() {
  // Stopped by the script's watcher should this process die before stop().
  ProcessOptions options;
  options.setEnv["LUMENO_AUDIO_SERVER_OWNER"] = std::to_string(getpid());
  return runProcess({"/bin/bash", LUMENO_AUDIO_SERVER_SCRIPT, "start", dir_, serverKind()}, options).status == 0;
}

bool AudioServer::stop() {
  pid_t server = pid();
  runProcess({"/bin/bash", LUMENO_AUDIO_SERVER_SCRIPT, "stop", dir_});
  return server == 0 || stopProcess(server);
}

std::string AudioServer::address() const { return "unix:" + dir_ + "/native"; }

int withOwnAudioServer(const std::string& who, const std::function<int()>& run) {
  TempDir dir;
  AudioServer server(dir.path());
  if (!server.start()) {
    std::fprintf(stderr, "%s: the audio server did not start\n", who.c_str());
    return 1;
  }
  setenv("PULSE_SERVER", server.address().c_str(), 1);
  return run();
}

pid_t AudioServer::pid() const { return readPid(dir_ + "/server.pid"); }

bool setGraphRate(uint32_t hz) {
  const char* address = std::getenv("PULSE_SERVER");
  std::string dir = address ? address : "";
  if (dir.rfind("unix:", 0) != 0 || dir.size() < 12) return false;
  dir = dir.substr(5, dir.size() - 5 - std::string("/native").size());
  return runProcess({"/bin/bash", LUMENO_AUDIO_SERVER_SCRIPT, "graph-rate", dir, std::to_string(hz)}).status == 0;
}

ProcessResult pactl(const std::vector<std::string>& words) {
  std::vector<std::string> argv{"/usr/bin/pactl"};
  argv.insert(argv.end(), words.begin(), words.end());
  ProcessOptions options;
  options.timeout = std::chrono::milliseconds(10000);
  return runProcess(argv, options);
}

Signal toneSignal(const std::string& sink, double hz, double amplitude, double seconds, uint32_t rate) {
  Signal s;
  s.sink = sink;
  s.rate = rate;
  s.seconds = seconds;
  s.toneHz = hz;
  s.amplitude = amplitude;
  return s;
}

Signal clickSignal(const std::string& sink, double seconds, std::vector<uint64_t> clicksAtHost) {
  Signal s;
  s.sink = sink;
  s.seconds = seconds;
  s.clicksAtHost = std::move(clicksAtHost);
  return s;
}

Signal clicksIntoBoth(double seconds, std::vector<uint64_t> clicksAtHost) {
  Signal s = clickSignal(kSpeakers, seconds, std::move(clicksAtHost));
  s.alsoSinks = {kMicSink};
  return s;
}

Modules::Modules(const std::vector<std::vector<std::string>>& modules) {
  for (const auto& words : modules) {
    std::vector<std::string> load{"load-module"};
    load.insert(load.end(), words.begin(), words.end());
    auto r = pactl(load);
    if (r.status != 0) {
      ok_ = false;
      continue;
    }
    indexes_.push_back(r.out.substr(0, r.out.find('\n')));
  }
}

void Modules::unplug() {
  for (auto it = indexes_.rbegin(); it != indexes_.rend(); ++it) pactl({"unload-module", *it});
  indexes_.clear();
}

SecondMic::SecondMic()
    : Modules({{"module-null-sink", "sink_name=test_mic2_in", "rate=44100", "channels=2"},
               {"module-remap-source", "source_name=test_mic2", "master=test_mic2_in.monitor",
                "source_properties=device.description=Second-microphone"}}) {
  // PipeWire makes the source a moment after the module is loaded.
  for (int i = 0; i < 250 && loaded(); ++i) {
    if (pactl({"list", "short", "sources"}).out.find("test_mic2\t") != std::string::npos) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<Player> Player::play(const Signal& signal) {
  std::vector<std::string> argv{LUMENO_TEST_PLAYER,
                                "--sink", signal.sink,
                                "--rate", std::to_string(signal.rate),
                                "--channels", std::to_string(signal.channels),
                                "--seconds", std::to_string(signal.seconds),
                                "--tone", std::to_string(signal.toneHz),
                                "--amplitude", std::to_string(signal.amplitude)};
  for (const auto& sink : signal.alsoSinks) {
    argv.push_back("--sink");
    argv.push_back(sink);
  }
  for (uint64_t at : signal.clicksAtHost) {
    argv.push_back("--click-at");
    argv.push_back(std::to_string(at));
  }
  int out = -1;
  pid_t pid = spawnDetached(argv, &out);
  if (pid <= 0) return std::nullopt;
  Player player(pid, out);
  // The first line says the stream is connected.
  auto first = player.nextLine(Clock::now() + std::chrono::seconds(10));
  if (!first || *first != "playing") return std::nullopt;
  return player;
}

std::optional<std::string> Player::nextLine(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto eol = pending_.find('\n');
    if (eol != std::string::npos) {
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      return line;
    }
    if (out_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, size_t(n));
  }
}

Player::Player(Player&& other) noexcept : pid_(other.pid_), out_(other.out_), pending_(std::move(other.pending_)) {
  other.pid_ = 0;
  other.out_ = -1;
}

Player::~Player() {
  stop();
  if (out_ >= 0) close(out_);
}

std::vector<uint64_t> Player::clickTimes(size_t count, std::chrono::milliseconds timeout) {
  std::vector<uint64_t> times;
  auto deadline = Clock::now() + timeout;
  // Once count clicks are in, only what has already arrived is taken.
  while (auto line = nextLine(times.size() >= count ? Clock::time_point::min() : deadline)) {
    if (line->rfind("click ", 0) == 0) times.push_back(std::strtoull(line->c_str() + 6, nullptr, 10));
  }
  return times;
}

bool Player::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (processAlive(pid_)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Player::stop() {
  if (pid_ > 0) stopProcess(pid_);
  pid_ = 0;
}

}  // namespace lumeno::test
