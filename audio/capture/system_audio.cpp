#include "audio/capture/system_audio.h"

#include "audio/base/events.h"
#include "audio/platform/pulse.h"
#include "audio/track/pcm.h"

namespace lumeno {

namespace {

pulse::Connection& server() { return pulse::Connection::shared(); }

std::string hertz(double rate) { return std::to_string(int64_t(rate)); }

std::string status(int code) { return std::to_string(code ? code : pulse::kUnknownError); }

// The rate of a sink or source known by its object ID, if it is of that kind.
template <typename Find>
std::optional<double> rateOf(AudioObjectID id, AudioObjectKind kind, Find find) {
  auto index = indexOf(id);
  if (!index || kindOf(id) != kind) return std::nullopt;
  auto device = find(*index);
  if (!device || device->rate == 0) return std::nullopt;
  return double(device->rate);
}

}  // namespace

SystemAudio::SystemAudio(OnBuffer onBuffer, SerialQueue& queue)
    : onBuffer_(std::make_shared<OnBuffer>(std::move(onBuffer))),
      queue_(queue),
      self_(std::make_shared<SystemAudio*>(this)) {}

SystemAudio::~SystemAudio() { stop(); }

std::optional<double> SystemAudio::nominalRate(AudioObjectID device) {
  return rateOf(device, AudioObjectKind::sink, [](auto index) { return server().sinkAt(index); });
}

std::optional<double> SystemAudio::tapRate(AudioObjectID tap) {
  return rateOf(tap, AudioObjectKind::source, [](auto index) { return server().sourceAt(index); });
}

bool SystemAudio::start() {
  excluded = lumenoProcesses();
  if (!server().reachable()) {
    log("tap failed: " + status(server().lastError()));
    return false;
  }
  auto uid = defaultOutputUID();
  if (!uid) {
    log("no output device");
    stop();
    return false;
  }
  auto sink = server().sink(*uid);
  if (!sink) {
    log("aggregate device failed: " + status(pulse::kNoSuchEntity));
    stop();
    return false;
  }
  agg = objectID(AudioObjectKind::sink, sink->index);
  auto monitor = server().source(sink->monitorSource);
  if (!monitor) {
    log("tap format failed: " + status(pulse::kNoSuchEntity));
    stop();
    return false;
  }
  tap = objectID(AudioObjectKind::source, monitor->index);

  AudioFormat format{double(monitor->rate), monitor->channels, true, SampleType::float32};
  if (auto deviceRate = nominalRate(agg); deviceRate && *deviceRate != format.sampleRate) {
    log("the tap says " + hertz(format.sampleRate) + " Hz, the device runs at " + hertz(*deviceRate) + " Hz");
    format.sampleRate = *deviceRate;
  }
  if (!(format.sampleRate > 0) || format.channels == 0) {
    log("tap format failed");
    stop();
    return false;
  }
  rate = format.sampleRate;
  initialTapRate_ = tapRate(tap);

  std::weak_ptr<SystemAudio*> weak = self_;
  watch(agg, kNominalRate, [weak] {
    if (auto self = weak.lock()) (*self)->deviceRateChanged();
  });
  watch(tap, kTapFormat, [weak] {
    if (auto self = weak.lock()) (*self)->tapRateChanged();
  });

  pulse::StreamSpec wanted;
  wanted.device = monitor->name;
  wanted.rate = uint32_t(format.sampleRate);
  wanted.channels = format.channels;
  wanted.fragmentFrames = wanted.rate / 100;  // about 10 ms
  wanted.dontMove = true;  // never let the server move it onto a microphone
  wanted.name = "system audio";
  // The callback holds the format and the buffer callback, not the object.
  auto onBuffer = onBuffer_;
  SerialQueue* queue = &queue_;
  auto onData = [format, onBuffer, queue](const float* samples, uint32_t frames, std::optional<uint64_t> heardHost) {
    auto buffer = mono(samples, frames, format.sampleRate, format.channels, false);
    if (!buffer) return;
    std::optional<double> heardMs;
    if (heardHost) heardMs = hostMs(*heardHost);
    queue->async([onBuffer, b = std::move(*buffer), heardMs]() mutable { (*onBuffer)(b, heardMs); });
  };
  // A stream that dies (its device or the server went away) asks the owner
  // for a rebuild, as a rate change does.
  auto onFail = [weak, queue](const std::string& reason) {
    queue->async([weak, reason] {
      auto self = weak.lock();
      // A stream stopped or replaced since is none of the owner's business.
      if (!self || !(*self)->proc || (*self)->proc->running()) return;
      log("the system audio stream failed: " + reason);
      if ((*self)->onRateChange) (*self)->onRateChange();
    });
  };
  int code = 0;
  std::string error;
  proc = pulse::RecordStream::open(wanted, onData, onFail, &code, &error);
  if (!proc) {
    log("start failed: " + status(code));
    stop();
    return false;
  }
  return true;
}

void SystemAudio::stop() {
  for (const auto& l : listeners) server().remove(l.id);
  listeners.clear();
  proc.reset();
  tap = 0;
  agg = 0;
}

void SystemAudio::watch(AudioObjectID object, uint32_t selector, std::function<void()> handler) {
  auto index = indexOf(object);
  if (!index) return;
  auto facility = kindOf(object) == AudioObjectKind::sink ? pulse::Facility::sink : pulse::Facility::source;
  if (kindOf(object) != AudioObjectKind::sink && kindOf(object) != AudioObjectKind::source) return;
  if (!server().reachable()) return;
  uint64_t id = server().watch(queue_, facility, *index, std::move(handler));
  listeners.push_back({object, address(selector), id});
}

void SystemAudio::deviceRateChanged() {
  auto now = nominalRate(agg);
  if (!now || *now == rate) return;
  log("the device's rate changed to " + hertz(*now) + " Hz");
  if (onRateChange) onRateChange();
}

void SystemAudio::tapRateChanged() {
  auto now = tapRate(tap);
  if (!now) return;
  if (initialTapRate_ && *now == *initialTapRate_) return;
  log("the tap's rate changed to " + hertz(*now) + " Hz");
  if (onRateChange) onRateChange();
}

}  // namespace lumeno
