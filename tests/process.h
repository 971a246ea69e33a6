// Runs a program as a child process with chosen arguments, environment and
// standard input, and collects its standard output, standard error and exit
// status. Used by the end-to-end tests of both programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumeno::test {

struct ProcessResult {
  int status = -1;      // exit status, or -1 when killed by a signal
  int signal = 0;       // the signal that ended it, 0 when it exited
  bool timedOut = false;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::map<std::string, std::string> setEnv;   // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
  // Start from an empty environment (but PATH and the sanitizer settings)
  // instead of this process's own.
  bool exactEnv = false;
  std::optional<std::string> input;             // written to standard input, then closed
  bool closeStdout = false;                     // standard output's read end is closed at once
  std::chrono::milliseconds timeout{60000};     // killed with SIGKILL after this
  std::string workDir;                          // empty: the current one
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A running child whose standard streams are pipes the test drives itself.
// It starts with default signal dispositions and an empty signal mask,
// whatever the test process set for itself.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // False when the program could not be started.
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int stdinFd() const { return in_; }
  int stdoutFd() const { return out_; }
  int stderrFd() const { return err_; }
  bool write(const std::string& bytes);
  void closeStdin();
  void closeStdout();
  // Reads exactly n bytes of standard output, or fewer at its end or timeout.
  std::string readExactly(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Reads one line of standard output without its line feed; none at end or timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Waits for the exit; the remaining output and error are collected.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));
  void kill(int signal);

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_;
  bool reaped_ = false;
};

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace lumeno::test
