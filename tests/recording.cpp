#include "tests/recording.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace lumeno::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> recordArgv(const std::string& program, const std::string& dir,
                                    const std::vector<std::string>& extra) {
  std::vector<std::string> argv{program, "record", "--dir", dir};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

ProcessOptions withEnv(const std::map<std::string, std::string>& env) {
  ProcessOptions options;
  options.setEnv = env;
  return options;
}

}  // namespace

uint64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

Recording::Recording(const std::string& program, const std::string& dir, const std::vector<std::string>& extra,
                     const std::map<std::string, std::string>& env)
    : startedNs_(monotonicNs()), child_(recordArgv(program, dir, extra), withEnv(env)) {
  if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  reader_ = std::thread([this] { readAll(); });
}

Recording::~Recording() {
  child_.kill(SIGKILL);
  if (reader_.joinable()) reader_.join();
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void Recording::readAll() {
  int out = child_.stdoutFd(), err = child_.stderrFd();
  std::string bytes, errBytes;
  bool outOpen = out >= 0, errOpen = err >= 0;
  char buf[65536];
  while (outOpen || errOpen) {
    pollfd p[3] = {{outOpen ? out : -1, POLLIN, 0}, {errOpen ? err : -1, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[2].revents) {
      // Let go of standard output: the test closes it.
      char c;
      if (read(wake_[0], &c, 1) == 1) {
        child_.closeStdout();
        outOpen = false;
        std::lock_guard lock(mutex_);
        stdoutClosed_ = true;
      }
      continue;
    }
    uint64_t now = monotonicNs();
    if (outOpen && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) {
        outOpen = false;
      } else {
        bytes.append(buf, size_t(n));
        auto parsed = takeEvents(bytes);
        std::lock_guard lock(mutex_);
        for (auto& e : parsed) events_.push_back({std::move(e), now});
      }
    }
    if (errOpen && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = read(err, buf, sizeof buf);
      if (n <= 0) {
        errOpen = false;
      } else {
        errBytes.append(buf, size_t(n));
        std::lock_guard lock(mutex_);
        log_.append(buf, size_t(n));
        for (size_t eol; (eol = errBytes.find('\n')) != std::string::npos; errBytes.erase(0, eol + 1))
          logLines_.push_back({errBytes.substr(0, eol), now});
      }
    }
  }
  std::lock_guard lock(mutex_);
  done_ = true;
}

bool Recording::command(const std::string& line) { return write(line + "\n"); }

bool Recording::write(const std::string& bytes) { return child_.write(bytes); }

void Recording::closeStdin() { child_.closeStdin(); }

void Recording::closeStdout() {
  char c = 1;
  if (wake_[1] >= 0 && ::write(wake_[1], &c, 1) != 1) return;
  // The reader closes it; wait until it has.
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard lock(mutex_);
      if (stdoutClosed_ || done_) return;
    }
    usleep(1000);
  }
}

void Recording::kill(int signal) { child_.kill(signal); }

std::optional<ArrivedEvent> Recording::waitFor(const std::function<bool(const Event&)>& match,
                                               std::chrono::milliseconds timeout, size_t skip) {
  auto deadline = Clock::now() + timeout;
  size_t seen = skip;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      for (; seen < events_.size(); ++seen)
        if (match(events_[seen].event)) return events_[seen];
      if (done_) return std::nullopt;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    usleep(2000);
  }
}

bool Recording::waitForCount(const std::function<bool(const Event&)>& match, size_t count,
                             std::chrono::milliseconds timeout, size_t skip) {
  size_t found = 0;
  return waitFor([&](const Event& e) { return match(e) && ++found == count; }, timeout, skip).has_value();
}

std::optional<ArrivedEvent> Recording::waitForType(const std::string& type, std::chrono::milliseconds timeout) {
  return waitFor([&](const Event& e) { return e.type() == type; }, timeout);
}

bool Recording::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (log_.find(text) != std::string::npos) return true;
      if (done_) return false;
    }
    if (Clock::now() >= deadline) return false;
    usleep(2000);
  }
}

std::vector<ArrivedEvent> Recording::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

size_t Recording::eventCount() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

std::string Recording::log() {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<std::pair<std::string, uint64_t>> Recording::logLines() {
  std::lock_guard lock(mutex_);
  return logLines_;
}

ProcessResult Recording::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (done_) break;
    }
    if (Clock::now() >= deadline) {
      child_.kill(SIGKILL);
      break;
    }
    usleep(2000);
  }
  if (reader_.joinable()) reader_.join();
  auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return child_.wait(std::max(remaining, std::chrono::milliseconds(1000)));
}

std::vector<nlohmann::json> ofType(const std::vector<ArrivedEvent>& events, const std::string& type) {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.event.type() == type) out.push_back(e.event.json);
  return out;
}

double longestGap(const std::vector<ArrivedEvent>& events, const std::string& type, uint64_t afterNs,
                  uint64_t beforeNs) {
  double longest = 0;
  uint64_t last = 0;
  for (const auto& e : events) {
    if (e.event.type() != type) continue;
    if (last && e.arrivedNs > afterNs && last < beforeNs) longest = std::max(longest, double(e.arrivedNs - last) / 1e6);
    last = e.arrivedNs;
  }
  return longest;
}

ProgramClock clockFrom(uint64_t sentNs, const nlohmann::json& answer, double startOffsetMs) {
  return {double(sentNs) / 1e6 - (answer["ms"].get<double>() - startOffsetMs)};
}

std::optional<ProgramClock> calibrate(Recording& rec) {
  size_t skip = rec.eventCount();
  uint64_t sent = monotonicNs();
  rec.command("unmute 0");
  auto answer = rec.waitFor([](const Event& e) { return e.type() == "mic-muted" && e.json["id"] == 0; },
                            std::chrono::seconds(10), skip);
  if (!answer) return std::nullopt;
  return clockFrom(sent, answer->event.json);
}

}  // namespace lumeno::test
