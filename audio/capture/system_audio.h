// SystemAudio: what other applications play, as mono float buffers with
// heard times, from a record stream on the monitor of the default output
// device at that device's own rate.
//
// start(), stop(), watch() and the rate handlers run on the queue given at
// construction (the work queue); onBuffer is called there too. The stream's
// callback runs on the audio server's thread and only makes the mono copy
// and queues it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audio/base/globals.h"
#include "audio/capture/hardware.h"
#include "audio/platform/pcm_buffer.h"

namespace lumeno {

namespace pulse {
class RecordStream;
}

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
  // The family's playback streams, to be left out of the capture.
  std::vector<AudioObjectID> excluded;

 private:
  void deviceRateChanged();
  void tapRateChanged();

  std::shared_ptr<OnBuffer> onBuffer_;
  SerialQueue& queue_;
  std::optional<double> initialTapRate_;
  // Handlers queued by the server hold this weakly: they do nothing once the
  // object is gone.
  std::shared_ptr<SystemAudio*> self_;
};

}  // namespace lumeno
