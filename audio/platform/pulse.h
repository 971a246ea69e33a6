// The audio server layer: the program's one connection to the PulseAudio
// server (or any server that speaks its protocol), the questions the capture
// code asks it, its change notices, and record streams with capture times.
//
// The connection runs libpulse's threaded main loop. It is made on first use
// and made again on the next use after the server went away; while the server
// cannot be reached every query answers empty. No wait for the server lasts
// longer than kServerWait: a server that has not answered by then (stopped,
// or hung with its socket still open) is treated as gone. Nothing here throws
// or logs: failures are empty answers and error texts for the caller to report.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/platform/dispatch.h"

namespace lumeno::pulse {

class RecordStream;

// A sink (playback device) or a source (recording device).
struct Device {
  uint32_t index = 0;
  std::string name;         // stable across server restarts
  std::string description;  // the name people see
  uint32_t rate = 0;        // the device's own sample rate
  uint32_t channels = 0;
  bool isMonitor = false;     // sources only: the monitor of a sink
  std::string monitorSource;  // sinks only: the name of the sink's monitor
};

// A playback stream of some client.
struct SinkInput {
  uint32_t index = 0;
  uint32_t sink = 0;
  int32_t pid = 0;  // from the client's "application.process.id", 0 when absent
  bool corked = false;  // paused by its client
};

struct ServerInfo {
  std::string defaultSink;
  std::string defaultSource;
  std::string serverName;  // "pulseaudio", or "PulseAudio (on PipeWire ...)" on PipeWire
};

// What changed on the server, one notice per change.
enum class Notice { defaultInputChanged, defaultOutputChanged, deviceListChanged };

enum class Facility { sink, source };

// The longest any one wait for the server lasts. A server that has not
// answered by then counts as gone: the call answers as for an unreachable
// server with lastError() kTimedOut, the connection is dropped (its record
// streams fail as when the server goes away), and for about as long again
// connecting fails at once. A run of calls to a stalled server thus costs
// about this much in all, not this much each; the first call after the
// hold-off tries again.
constexpr std::chrono::milliseconds kServerWait{1000};

// Process-wide; every member may be called from any thread except the
// server's own callback thread (record-stream handlers must not call back).
// Against a server that stopped answering, a call returns within about
// kServerWait.
class Connection {
 public:
  static Connection& shared();

  // True when there is a working connection (connecting again if it was
  // lost); false at once for a moment after the server stopped answering.
  bool reachable();
  // The negative libpulse error code of the last failed connection attempt
  // or query, 0 when none failed.
  int lastError() const;

  std::optional<ServerInfo> serverInfo();
  std::vector<Device> sources();
  std::vector<Device> sinks();
  std::optional<Device> source(const std::string& name);
  std::optional<Device> sourceAt(uint32_t index);
  std::optional<Device> sink(const std::string& name);
  std::optional<Device> sinkAt(uint32_t index);
  // Every playback stream; none when the server could not be asked (a
  // failed listing is not an empty one).
  std::optional<std::vector<SinkInput>> sinkInputs();

  using ListenerId = uint64_t;
  // handler(notice) runs on queue for every change of the defaults or the
  // device list. The queue must outlive the registration.
  ListenerId listen(SerialQueue& queue, std::function<void(Notice)> handler);
  // handler() runs on queue whenever the server reports a change of that
  // sink or source (its sample rate among others).
  ListenerId watch(SerialQueue& queue, Facility facility, uint32_t index, std::function<void()> handler);
  // handler() runs on queue whenever a playback stream (sink input) appears,
  // goes, moves to another sink or is corked or uncorked.
  ListenerId watchPlayback(SerialQueue& queue, std::function<void()> handler);
  // After remove() returns, a handler that is still queued does not run.
  void remove(ListenerId id);

  struct Impl;

 private:
  friend class RecordStream;
  Connection();
  Impl* impl_;  // lives as long as the process
};

struct StreamSpec {
  std::string device;  // the source to record from, by name
  uint32_t rate = 0;   // frames per second; ask for the device's own rate
  uint32_t channels = 0;
  uint32_t fragmentFrames = 0;  // how much the server sends at a time
  // Non-zero: data is handed over in blocks of exactly this many frames.
  uint32_t blockFrames = 0;
  // The stream fails when its device goes away instead of being moved.
  bool dontMove = true;
  // Records this one playback stream (sink input index) alone; device is
  // then the monitor of the sink it plays on. The stream fails when the
  // playback stream goes or moves.
  std::optional<uint32_t> monitorOf;
  std::string name = "capture";
};

// One record stream, float32 interleaved. Capture times are CLOCK_MONOTONIC
// nanoseconds of a block's first frame, from the server's latency reports
// held against a running frame count (a median of recent anchors, so single
// bad reports do not move it), taken when the block is handed on. The first
// fragments of a stream wait until several reports are in (about 80 ms), so
// that even the first block's time is a median.
class RecordStream {
 public:
  // Runs on the server's thread; samples are valid only during the call.
  // heardHost is none while the server has given no timing yet.
  using DataHandler = std::function<void(const float* samples, uint32_t frames, std::optional<uint64_t> heardHost)>;
  // Runs once on the server's thread when the stream fails or is killed
  // (its device went away, the server went away or stopped answering);
  // never after close().
  using FailHandler = std::function<void(const std::string& reason)>;

  // Connects if need be and waits until the stream records, no wait longer
  // than kServerWait.
  // None on failure, with the negative error code in *status and its text in *error.
  static std::unique_ptr<RecordStream> open(const StreamSpec& wanted, DataHandler onData, FailHandler onFail,
                                            int* status, std::string* error);
  // Closes the stream without waiting for the server; once it returns no
  // handler runs.
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Connected and not failed.
  bool running() const;

  struct State;

 private:
  explicit RecordStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// libpulse's error codes as this layer reports them (negated).
constexpr int kNoSuchEntity = -5;  // PA_ERR_NOENTITY
constexpr int kTimedOut = -8;  // PA_ERR_TIMEOUT
constexpr int kUnknownError = -20;  // PA_ERR_UNKNOWN

// The server's clock (CLOCK_MONOTONIC) in nanoseconds.
uint64_t serverClockNow();

}  // namespace lumeno::pulse
