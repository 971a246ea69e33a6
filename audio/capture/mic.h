// Mic: the user's microphone as mono float buffers of 100 ms (its first
// channel) with heard times, from a record stream on one source at that
// source's own rate.
//
// start(), restart(), move(), stop() and onBuffer run on the queue given at
// construction (the work queue); `engine`, `device` and the generation are
// touched there only. The stream's callback runs on the audio server's thread
// and only makes the mono copy and queues it. A generation counter drops
// every buffer that was queued by a tap that has since been replaced or stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/base/globals.h"
#include "audio/capture/hardware.h"
#include "audio/platform/pcm_buffer.h"
#include "audio/platform/pulse.h"

namespace lumeno {

// The microphone's engine: the source it is bound to and, while it runs, a
// record stream (the tap) on it. Made by Mic::start(); test commands may
// stop() it directly, and Mic::restart() brings it back on the same source.
class AudioEngine {
 public:
  AudioEngine();
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // Unique within the process; configuration-change notices name it.
  uint64_t id() const { return id_; }
  // The source name the engine records from.
  const std::string& source() const { return source_; }
  // The stream is connected and has not failed.
  bool isRunning() const;
  // Stops the stream without telling anyone; on the owner's queue.
  void stop();

 private:
  friend class Mic;
  uint64_t id_;
  std::string source_;
  pulse::StreamSpec spec_;    // the installed tap
  bool tapInstalled_ = false;
  int64_t tapGeneration_ = 0;
  std::unique_ptr<pulse::RecordStream> stream_;
};

// The engine's configuration-change notice: its stream failed, was killed or
// lost its source. Observers run on a platform thread of their own, with the
// ID of the engine concerned; they should move their work onto their queue.
using EngineObserver = std::function<void(uint64_t engineId)>;
uint64_t observeEngineConfigurationChange(EngineObserver observer);
void removeEngineObserver(uint64_t token);

class Mic {
 public:
  using OnBuffer = std::function<void(PcmBuffer& buffer, std::optional<double> heardMs)>;

  explicit Mic(OnBuffer onBuffer, SerialQueue& queue = *work);
  ~Mic();  // stops the engine
  Mic(const Mic&) = delete;
  Mic& operator=(const Mic&) = delete;

  // A new engine on `device`, or on the default input when device is none or
  // cannot be chosen (device is then cleared). False without a message when
  // the microphone is not authorised; other failures log one line.
  bool start();
  // Brings a stopped engine back on its own source (new generation); true
  // at once when it runs.
  bool restart();
  // Moves the engine to another device; on failure it is left stopped.
  bool move(AudioObjectID to);
  // Drops every queued buffer and the engine; harmless when stopped.
  void stop();

  int64_t generation() const { return shared_->generation; }

  std::shared_ptr<AudioEngine> engine;
  std::optional<AudioObjectID> device;  // none: the default input

 private:
  struct Shared {
    // Changed and compared on the queue; atomic only so that the destructor
    // may also run elsewhere.
    std::atomic<int64_t> generation{0};
    OnBuffer onBuffer;
  };
  bool choose(AudioEngine& e, AudioObjectID to);
  bool installTap(AudioEngine& e);
  bool startEngine(AudioEngine& e, std::string* error);

  std::shared_ptr<Shared> shared_;
  SerialQueue& queue_;
};

}  // namespace lumeno
