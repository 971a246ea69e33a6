// Collects what the code under test writes to standard error (descriptor 2)
// from construction until text() or destruction; not for concurrent use.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace lumeno::test {

class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(2);
    file_ = std::tmpfile();
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    release();
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // What was written so far, while the capture goes on (other threads may
  // be writing).
  std::string peek() {
    std::string out;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fileno(file_), buf, sizeof buf, at)) > 0; at += n) out.append(buf, size_t(n));
    return out;
  }
  // Restores standard error and returns everything written to it meanwhile.
  std::string text() {
    release();
    std::rewind(file_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void release() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

}  // namespace lumeno::test
