// SystemAudio: what other applications play, as mono float buffers with
// heard times, at the default output device's own rate.
//
// The program's own family of processes is left out: each other playback
// stream on the device is recorded alone and they are mixed (StreamMix) on
// the timeline of the device's monitor, which runs all the time so that the
// buffers stay gap-free; silence where nothing plays. The family's streams
// are never recorded, so a stream is left out from its first sample. A
// stream is recorded alone by a per-stream monitor stream on PulseAudio and
// by a PlaybackTap on PipeWire, whose pulse server cannot do that; where
// neither is to be had, the monitor itself is delivered, family and all.
//
// start(), stop(), watch() and the rate handlers run on the queue given at
// construction (the work queue); onBuffer is called there too. The monitor's
// callback runs on the audio server's thread and only mixes, makes the mono
// copy and queues it; the streams recorded alone add to the mix from the
// audio server's thread, or a PipeWire tap's own.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/base/globals.h"
#include "audio/capture/hardware.h"
#include "audio/platform/pcm_buffer.h"

namespace lumeno {

namespace pulse {
class RecordStream;
}
namespace pipewire {
class PlaybackTap;
class GraphWatch;
}
class StreamMix;

class SystemAudio {
 public:
  using OnBuffer = std::function<void(PcmBuffer& buffer, std::optional<double> heardMs)>;

  struct Listener {
    AudioObjectID object;
    PropertyAddress address;
    uint64_t id;  // the audio server's registration
  };

  // onBuffer receives every captured buffer (mono at `rate`) on queue.
  explicit SystemAudio(OnBuffer onBuffer, SerialQueue& queue = *work);
  // Stops the capture if it still runs.
  ~SystemAudio();
  SystemAudio(const SystemAudio&) = delete;
  SystemAudio& operator=(const SystemAudio&) = delete;

  // Starts capturing the default output device. False after any failure,
  // with one log line and everything torn down.
  bool start();
  // Tears everything down; harmless when stopped. Buffers queued before are
  // still delivered.
  void stop();
  // Runs handler on the queue whenever the property (selector) of the object
  // changes; remembered in `listeners` when the server accepted it.
  void watch(AudioObjectID object, uint32_t selector, std::function<void()> handler);

  // The sample rate of a playback device; none when unknown or not above 0.
  static std::optional<double> nominalRate(AudioObjectID device);
  // The sample rate of a tap (the monitor a stream records); none likewise.
  static std::optional<double> tapRate(AudioObjectID tap);

  AudioObjectID tap = 0;  // the monitor source recorded
  AudioObjectID agg = 0;  // the output device whose monitor it is
  std::unique_ptr<pulse::RecordStream> proc;
  std::function<void()> onRateChange;  // called on the queue when a rate changed
  double rate = 0;                     // the rate buffers are delivered at
  std::vector<Listener> listeners;
  // The family's playback streams, to be left out of the capture; read
  // again whenever a playback stream appears.
  std::vector<AudioObjectID> excluded;
  // A playback stream recorded alone: by a monitor stream of its own, or on
  // PipeWire by a tap.
  struct Alone {
    std::unique_ptr<pulse::RecordStream> monitor;
    std::shared_ptr<pipewire::PlaybackTap> tap;  // handed over from the queue that opened it
    Alone();
    ~Alone();
    Alone(Alone&&) noexcept;
    bool running() const;
  };
  // The mix and its lock (defined with the code).
  struct LockedMix;
  // The other playback streams on the device, each recorded alone, by
  // their server index.
  std::map<uint32_t, Alone> streams;

 private:
  void deviceRateChanged();
  void tapRateChanged();
  // Records every playback stream on the device that is not the family's
  // and plays (not corked), and no other.
  void followPlayback();
  // Records a playback stream alone: opened on a queue of its own, so that
  // the work queue never waits for the server; aloneOpened() takes the
  // result, or tries again later.
  void openAlone(uint32_t input);
  void aloneOpened(uint64_t generation, uint32_t input, std::shared_ptr<Alone> alone, bool ended,
                   const std::string& error);
  // On PipeWire: opens the graph watch the same way; until it is open no
  // stream is recorded alone, and where it cannot be opened the monitor is
  // delivered as it is.
  void watchGraph();
  // Asks for a fresh look at the playback streams; for a stream recorded
  // alone that failed.
  std::function<void(const std::string&)> lookAgainOnFailure();
  // Looks again a little later, once however many times it is asked.
  void retryLater();

  std::shared_ptr<OnBuffer> onBuffer_;
  SerialQueue& queue_;
  std::optional<double> initialTapRate_;
  // The mix, with a lock: the monitor ticks it on the pulse server's thread,
  // PipeWire taps add to it on threads of their own. None: the monitor is
  // delivered as it is.
  std::shared_ptr<LockedMix> mix_;
  std::optional<uint64_t> playbackListener_;
  std::set<uint32_t> seen_;  // playback streams known at the last look
  bool retrying_ = false;    // a look is queued for streams not recorded yet
  std::string monitorName_;
  uint32_t sinkIndex_ = 0;
  uint32_t channels_ = 0;
  bool tapStreams_ = false;  // streams are recorded alone by PipeWire taps
  std::shared_ptr<pipewire::GraphWatch> graph_;  // with taps: says when links change
  std::set<uint32_t> opening_;  // streams being opened to be recorded alone
  uint64_t generation_ = 0;     // counts stops: a tap opened for an earlier start is let go
  // Handlers queued by the server hold this weakly: they do nothing once the
  // object is gone.
  std::shared_ptr<SystemAudio*> self_;
};

}  // namespace lumeno
