#include "audio/capture/system_audio.h"

#include <algorithm>
#include <mutex>

#include "audio/base/events.h"
#include "audio/capture/stream_mix.h"
#include "audio/platform/pipewire_tap.h"
#include "audio/platform/pulse.h"
#include "audio/track/pcm.h"

namespace lumeno {

namespace {

pulse::Connection& server() { return pulse::Connection::shared(); }

std::string hertz(double rate) { return std::to_string(int64_t(rate)); }

std::string status(int code) { return std::to_string(code ? code : pulse::kUnknownError); }

// How far the mix trails the device. A new stream's first data waits until
// its timing settles (8 latency reports; the server hands a playback
// stream's data over in pieces of a few ms, so they come quickly), and
// data later than this is still kept, a little late. "them" is paused and
// resumed by arrival, so the delay is kept short.
constexpr double kMixDelaySeconds = 0.06;
// How soon a playback stream that could not be recorded is tried again.
constexpr double kRetrySeconds = 0.1;

bool onPipewire(const pulse::ServerInfo& info) { return info.serverName.find("PipeWire") != std::string::npos; }

// PipeWire's pulse server (0.3.65) accepts a record stream of one playback
// stream but never delivers data on it: there PipeWire itself records it,
// when it can be reached.
bool recordsOnePlaybackStream(const pulse::ServerInfo& info) { return !onPipewire(info) || pipewire::reachable(); }

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

struct SystemAudio::LockedMix {
  LockedMix(double rate, uint32_t delayFrames, uint32_t minBlockFrames) : mix(rate, delayFrames, minBlockFrames) {}
  std::mutex lock;
  StreamMix mix;
};

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

  monitorName_ = monitor->name;
  sinkIndex_ = sink->index;
  channels_ = format.channels;
  auto info = server().serverInfo();
  tapStreams_ = info && onPipewire(*info);
  // Elsewhere the family's sound stays in: the monitor is all there is.
  if (info && recordsOnePlaybackStream(*info))
    mix_ = std::make_shared<LockedMix>(format.sampleRate, uint32_t(format.sampleRate * kMixDelaySeconds),
                                       uint32_t(format.sampleRate / 100));

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
  auto deliver = [onBuffer, queue](std::optional<PcmBuffer> buffer, std::optional<uint64_t> heardHost) {
    if (!buffer) return;
    std::optional<double> heardMs;
    if (heardHost) heardMs = hostMs(*heardHost);
    queue->async([onBuffer, b = std::move(*buffer), heardMs]() mutable { (*onBuffer)(b, heardMs); });
  };
  // With a mix, the monitor is only the clock: what it carries is replaced
  // by the mix of the streams recorded alone.
  auto mix = mix_;
  auto onData = [format, deliver, mix](const float* samples, uint32_t frames, std::optional<uint64_t> heardHost) {
    if (!mix) {
      deliver(mono(samples, frames, format.sampleRate, format.channels, false), heardHost);
      return;
    }
    std::optional<StreamMix::Block> block;
    {
      std::lock_guard guard(mix->lock);
      block = mix->mix.tick(frames, heardHost);
    }
    if (!block) return;
    deliver(mono(block->samples.data(), uint32_t(block->samples.size()), format.sampleRate, 1, false), block->heardNs);
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
  if (mix_) {
    playbackListener_ = server().watchPlayback(queue_, [weak] {
      if (auto self = weak.lock()) (*self)->followPlayback();
    });
    followPlayback();
  }
  return true;
}

void SystemAudio::stop() {
  for (const auto& l : listeners) server().remove(l.id);
  listeners.clear();
  if (playbackListener_) server().remove(*playbackListener_);
  playbackListener_.reset();
  streams.clear();
  proc.reset();
  mix_.reset();
  seen_.clear();
  tap = 0;
  agg = 0;
}

void SystemAudio::followPlayback() {
  if (!mix_ || !proc) return;
  // A server too busy to answer changes nothing: what is recorded goes on,
  // and the look is tried again.
  auto inputs = server().sinkInputs();
  if (!inputs) {
    retryLater();
    return;
  }
  // A stream that appeared may be a child the desktop application started
  // since the last look: the family is read again before it is recorded.
  std::set<uint32_t> now;
  for (const auto& input : *inputs) now.insert(input.index);
  if (!std::includes(seen_.begin(), seen_.end(), now.begin(), now.end())) {
    excluded.clear();
    for (const auto& input : *inputs)
      if (inFamily(input.pid)) excluded.push_back(objectID(AudioObjectKind::process, input.index));
  }
  seen_ = std::move(now);

  std::set<uint32_t> wanted;
  for (const auto& input : *inputs) {
    AudioObjectID object = objectID(AudioObjectKind::process, input.index);
    bool family = std::find(excluded.begin(), excluded.end(), object) != excluded.end();
    // A corked stream gets a fresh recording when it plays again: one that
    // sat idle would carry stale times.
    if (input.sink == sinkIndex_ && !input.corked && !family) wanted.insert(input.index);
  }
  // Gone, moved away, corked, or failed: a failed one is recorded afresh.
  std::erase_if(streams, [&](const auto& entry) { return !wanted.count(entry.first) || !entry.second.running(); });
  bool missing = false;
  for (uint32_t input : wanted) {
    if (streams.count(input)) continue;
    if (auto stream = recordAlone(input))
      streams.emplace(input, std::move(*stream));
    else
      missing = true;
  }
  // A stream that could not be recorded (a busy server that did not answer
  // in time) is tried again until it can, or until it has gone: no notice
  // may come for it again.
  if (missing) retryLater();
}

void SystemAudio::retryLater() {
  if (retrying_) return;
  retrying_ = true;
  std::weak_ptr<SystemAudio*> weak = self_;
  queue_.asyncAfter(kRetrySeconds, [weak] {
    if (auto self = weak.lock()) {
      (*self)->retrying_ = false;
      (*self)->followPlayback();
    }
  });
}

SystemAudio::Alone::Alone() = default;
SystemAudio::Alone::~Alone() = default;
SystemAudio::Alone::Alone(Alone&&) noexcept = default;

bool SystemAudio::Alone::running() const { return monitor ? monitor->running() : tap && tap->running(); }

std::optional<SystemAudio::Alone> SystemAudio::recordAlone(uint32_t input) {
  auto mix = mix_;
  uint32_t channels = channels_;
  auto onData = [mix, input, channels](const float* samples, uint32_t frames, std::optional<uint64_t> heardHost) {
    if (!heardHost) return;
    std::lock_guard guard(mix->lock);
    mix->mix.add(input, samples, frames, channels, *heardHost);
  };
  // It ends when its playback stream ends or moves: the next look sorts it out.
  std::weak_ptr<SystemAudio*> weak = self_;
  SerialQueue* queue = &queue_;
  auto onFail = [weak, queue](const std::string&) {
    queue->async([weak] {
      if (auto self = weak.lock()) (*self)->followPlayback();
    });
  };
  int code = 0;
  std::string error;
  Alone alone;
  bool ended = false;  // before it could be recorded: no trouble
  if (tapStreams_) {
    pipewire::TapSpec wanted;
    wanted.serial = input;  // PipeWire's pulse server numbers streams by their serial
    wanted.rate = uint32_t(rate);
    wanted.channels = channels_;
    // Its times are the graph's own from the first cycle: no settling. It
    // asks for no latency, so that it never changes the graph's quantum
    // (which upsets the monitor's latency reports).
    wanted.fragmentFrames = 0;
    wanted.name = "system audio stream";
    alone.tap = pipewire::PlaybackTap::open(wanted, onData, onFail, &code, &error);
    ended = code == pipewire::kNoSuchStream;
  } else {
    pulse::StreamSpec wanted;
    wanted.device = monitorName_;
    wanted.rate = uint32_t(rate);
    wanted.channels = channels_;
    // As the monitor's: smaller ones would have the device render in
    // smaller blocks for every stream on it, which doubled the server's work.
    wanted.fragmentFrames = wanted.rate / 100;
    wanted.dontMove = true;
    wanted.monitorOf = input;
    wanted.name = "system audio stream";
    alone.monitor = pulse::RecordStream::open(wanted, onData, onFail, &code, &error);
    ended = code == pulse::kNoSuchEntity;
  }
  if (!alone.monitor && !alone.tap) {
    if (!ended) log("system audio: playback stream " + std::to_string(input) + " cannot be recorded: " + error);
    return std::nullopt;
  }
  return alone;
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
