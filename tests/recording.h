// A `lumeno-audio record` run driven the way the desktop application drives
// it: commands on its standard input, its event channel read continuously
// (a recorder whose reader stalls would stall too), its log collected, and
// every event stamped with the moment it arrived.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/event_stream.h"
#include "tests/process.h"

namespace lumeno::test {

// An event and the CLOCK_MONOTONIC moment (ns) it was read.
struct ArrivedEvent {
  Event event;
  uint64_t arrivedNs = 0;
};

// The CLOCK_MONOTONIC clock in ns, the clock of heard times and clicks.
uint64_t monotonicNs();

class Recording {
 public:
  // Starts `program record --dir dir` with the extra words; env is added to
  // this process's environment (PULSE_SERVER comes from there).
  Recording(const std::string& program, const std::string& dir, const std::vector<std::string>& extra = {},
            const std::map<std::string, std::string>& env = {});
  ~Recording();  // kills the recorder if it still runs
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  pid_t pid() const { return child_.pid(); }
  // CLOCK_MONOTONIC (ns) just before the recorder was started: its program
  // time 0 is a little after this.
  uint64_t startedNs() const { return startedNs_; }

  // Writes text and a line feed to the recorder's standard input.
  bool command(const std::string& line);
  bool write(const std::string& bytes);
  void closeStdin();
  // Closes the read end of the recorder's standard output, as a parent that
  // went away would; events are no longer read.
  void closeStdout();
  void kill(int signal);

  // Waits until an event for which `match` holds has arrived after the first
  // `skip` events; that event, or none after the timeout.
  std::optional<ArrivedEvent> waitFor(const std::function<bool(const Event&)>& match,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10), size_t skip = 0);
  // Waits until `count` events for which `match` holds have arrived after the
  // first `skip`; false after the timeout.
  bool waitForCount(const std::function<bool(const Event&)>& match, size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10), size_t skip = 0);
  // Waits for an event of that type.
  std::optional<ArrivedEvent> waitForType(const std::string& type,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the log holds `text`; false after the timeout.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything read so far.
  std::vector<ArrivedEvent> events();
  size_t eventCount();
  std::string log();
  // The log lines with the moment each arrived.
  std::vector<std::pair<std::string, uint64_t>> logLines();

  // Waits for the exit; events and log are complete afterwards.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  void readAll();

  uint64_t startedNs_ = 0;
  Child child_;
  int wake_[2] = {-1, -1};  // tells the reader to let go of standard output
  std::thread reader_;
  std::mutex mutex_;
  std::vector<ArrivedEvent> events_;
  std::string log_;
  std::vector<std::pair<std::string, uint64_t>> logLines_;
  bool stdoutClosed_ = false;
  bool done_ = false;
};

// The events of one type.
std::vector<nlohmann::json> ofType(const std::vector<ArrivedEvent>& events, const std::string& type);

// The longest time (ms) between two events of a type that arrived, the later
// one after afterNs and the earlier one before beforeNs.
double longestGap(const std::vector<ArrivedEvent>& events, const std::string& type, uint64_t afterNs,
                  uint64_t beforeNs = UINT64_MAX);

// Maps CLOCK_MONOTONIC moments to a recorder's program time. The moment the
// recorder was started is no good for it: on a busy machine its program time
// 0 comes hundreds of ms later. The answer to a mute command names the
// program time at which it was handled, a moment after it was sent.
struct ProgramClock {
  double offsetMs = 0;  // CLOCK_MONOTONIC ms at program time 0
  double operator()(uint64_t ns) const { return double(ns) / 1e6 - offsetMs; }
};

// The clock from a "mic-muted" answer to a command sent at sentNs.
ProgramClock clockFrom(uint64_t sentNs, const nlohmann::json& answer, double startOffsetMs = 0);
// Asks an unmuted recorder for the time with an unmute that changes nothing
// (its answer has "id" 0); none when no answer came.
std::optional<ProgramClock> calibrate(Recording& rec);

}  // namespace lumeno::test
