// Points descriptor 1 (standard output) at a pipe for the life of the
// object, so that a test can read the events the code under test sends.
// Not for concurrent use.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "audio/base/globals.h"

namespace lumeno::test {

class StdoutPipe {
 public:
  StdoutPipe() {
    EXPECT_EQ(pipe(fds_), 0);
    fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);
    saved_ = dup(1);
    dup2(fds_[1], 1);
    close(fds_[1]);
  }
  ~StdoutPipe() {
    outQ->sync([] {});
    dup2(saved_, 1);
    close(saved_);
    if (fds_[0] >= 0) close(fds_[0]);
  }
  // Everything written so far (after outQ has drained).
  std::string take() {
    outQ->sync([] {});
    std::string out;
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    char buf[65536];
    for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    return out;
  }
  void closeReadEnd() {
    close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  int fds_[2];
  int saved_;
};

}  // namespace lumeno::test
