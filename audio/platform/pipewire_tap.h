// PlaybackTap: one playback stream of another application, recorded alone on
// a PipeWire server, as interleaved float frames with the moments they were
// heard. It is what a per-stream monitor stream is on PulseAudio, for the
// servers whose pulse server cannot do that.
//
// A capture stream that the session manager leaves alone is linked, by this
// client, from the playback stream's output ports (one per channel of the
// sink it plays on). The user's routing is untouched: the playback stream
// stays on its sink, and the links go with the tap.
//
// The owner (SystemAudio, on its work queue) opens and destroys taps; each
// tap runs its own PipeWire client thread. The server is the PipeWire server
// behind the pulse server the program talks to (PULSE_SERVER's socket folder,
// or PIPEWIRE_REMOTE, or the user's own). No wait for it lasts longer than
// kServerWait. Nothing here throws or logs: failures are error values.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace lumeno::pipewire {

// The longest an open() waits for the server.
constexpr std::chrono::milliseconds kServerWait{2000};

// Error codes (negated errno values) that callers tell apart.
constexpr int kNoSuchStream = -2;  // ENOENT: no playback stream with that serial
constexpr int kTimedOut = -110;    // ETIMEDOUT: the server did not answer in time

struct TapSpec {
  // The playback stream's "object.serial": on PipeWire's pulse server, the
  // sink input's index.
  uint32_t serial = 0;
  uint32_t rate = 0;  // frames per second
  uint32_t channels = 0;
  uint32_t fragmentFrames = 0;  // how much the server sends at a time (0: its choice)
  std::string name = "capture";
};

class PlaybackTap {
 public:
  // Runs on the tap's PipeWire data thread; samples are valid only during
  // the call. heardHost is the CLOCK_MONOTONIC ns at which the first frame
  // was played by the device, none while the server gave no timing.
  using DataHandler = std::function<void(const float* samples, uint32_t frames, std::optional<uint64_t> heardHost)>;
  // Runs once on the tap's PipeWire client thread when the playback stream
  // ends, a link of the tap goes away or the server goes away; never after
  // the tap is destroyed.
  using FailHandler = std::function<void(const std::string& reason)>;

  // Connects, finds the playback stream, links it to a new capture stream
  // and waits until the links are made, no longer than kServerWait in all.
  // None on failure, with a negated errno value in *status and a text in *error.
  static std::unique_ptr<PlaybackTap> open(const TapSpec& wanted, DataHandler onData, FailHandler onFail, int* status,
                                           std::string* error);
  // Disconnects; once it returns no handler runs. Must not be called from a
  // handler.
  ~PlaybackTap();
  PlaybackTap(const PlaybackTap&) = delete;
  PlaybackTap& operator=(const PlaybackTap&) = delete;

  // Recording and not failed.
  bool running() const;

  struct State;

 private:
  explicit PlaybackTap(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// GraphWatch: tells its owner whenever a link of the PipeWire graph comes or
// goes, which is how a playback stream moving to another sink and back shows.
// PipeWire's pulse server does not always announce such a move (never while
// a tap is linked to the stream, in 0.3.65).
//
// The owner (SystemAudio, on its work queue) opens and destroys it; it runs
// a PipeWire client thread of its own, like a tap.
class GraphWatch {
 public:
  // Runs on the watch's client thread, never after the watch is destroyed.
  using ChangeHandler = std::function<void()>;

  // Connects, no longer than kServerWait; none when the server cannot be
  // reached, with a negated errno value in *status and a text in *error.
  static std::unique_ptr<GraphWatch> open(ChangeHandler onChange, int* status, std::string* error);
  // Disconnects; once it returns the handler does not run. Must not be
  // called from the handler.
  ~GraphWatch();
  GraphWatch(const GraphWatch&) = delete;
  GraphWatch& operator=(const GraphWatch&) = delete;

 private:
  explicit GraphWatch(std::unique_ptr<PlaybackTap::State> state);
  std::unique_ptr<PlaybackTap::State> state_;
};

}  // namespace lumeno::pipewire
