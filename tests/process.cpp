#include "tests/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

extern char** environ;

namespace lumeno::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : int(left);
}

// Reads what is available from fd into out; false at end of stream.
bool drain(int fd, std::string& out) {
  char buf[65536];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) {
    out.append(buf, size_t(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");

  std::map<std::string, std::string> env;
  if (options.exactEnv) {
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* value = std::getenv(name)) env[name] = value;
  } else {
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      auto eq = entry.find('=');
      if (eq != std::string::npos) env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
  }
  for (const auto& name : options.unsetEnv) env.erase(name);
  for (const auto& [k, v] : options.setEnv) env[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, argp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& s : argCopy) argp.push_back(s.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  if (!options.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workDir.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  err_ = errPipe[0];
  if (options.closeStdout) closeStdout();
}

void Child::closeStdout() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) close(fd);
}

bool Child::write(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(in_, bytes.data() + off, bytes.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += size_t(n);
  }
  return true;
}

void Child::closeStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::kill(int signal) {
  if (running() && !reaped_) ::kill(pid_, signal);
}

std::string Child::readExactly(size_t n, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (outBuffer_.size() < n && out_ >= 0) {
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, remainingMs(deadline));
    if (r == 0) break;
    if (r < 0 && errno == EINTR) continue;
    if (!drain(out_, outBuffer_)) break;
  }
  size_t take = std::min(n, outBuffer_.size());
  std::string result = outBuffer_.substr(0, take);
  outBuffer_.erase(0, take);
  return result;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = outBuffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = outBuffer_.substr(0, nl);
      outBuffer_.erase(0, nl + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, remainingMs(deadline));
    if (r == 0) return std::nullopt;
    if (r < 0 && errno == EINTR) continue;
    if (!drain(out_, outBuffer_)) return std::nullopt;
  }
}

ProcessResult Child::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (!running() || reaped_) return result;
  auto deadline = Clock::now() + timeout;
  result.out = std::move(outBuffer_);
  outBuffer_.clear();
  bool outOpen = out_ >= 0, errOpen = err_ >= 0;
  while (outOpen || errOpen) {
    pollfd p[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
    int r = poll(p, 2, remainingMs(deadline));
    if (r == 0) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
      break;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (outOpen && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) outOpen = drain(out_, result.out);
    if (errOpen && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) errOpen = drain(err_, result.err);
  }
  int status = 0;
  // Output may close before the exit (a grandchild keeps it open, or the
  // program closed it); the deadline still holds for the exit itself.
  for (;;) {
    pid_t w = waitpid(pid_, &status, WNOHANG);
    if (w == pid_) break;
    if (w < 0 && errno != EINTR) break;
    if (Clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    usleep(2000);
  }
  reaped_ = true;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Child child(argv, options);
  if (options.input) child.write(*options.input);
  child.closeStdin();
  return child.wait(options.timeout);
}

TempDir::TempDir() {
  std::string base = std::filesystem::temp_directory_path() / "lumeno-test-XXXXXX";
  std::vector<char> buf(base.begin(), base.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace lumeno::test
