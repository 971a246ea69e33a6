#include "audio/capture/system_audio.h"

#include <algorithm>
#include <atomic>
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
  // Set once it is clear the streams cannot be recorded alone: the monitor
  // is then delivered as it is.
  std::atomic<bool> passThrough{false};
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
  // PipeWire's pulse server (0.3.65) accepts a record stream of one
  // playback stream but never delivers data on it: there PipeWire itself
  // records each stream (see watchGraph()).
  auto info = server().serverInfo();
  tapStreams_ = info && onPipewire(*info);
  if (info)
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
    if (!mix || mix->passThrough.load(std::memory_order_relaxed)) {
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
    if (tapStreams_) watchGraph();
    followPlayback();
  }
  return true;
}

void SystemAudio::stop() {
  ++generation_;
  opening_.clear();
  for (const auto& l : listeners) server().remove(l.id);
  listeners.clear();
  if (playbackListener_) server().remove(*playbackListener_);
  playbackListener_.reset();
  graph_.reset();
  streams.clear();
  proc.reset();
  mix_.reset();
  seen_.clear();
  tap = 0;
  agg = 0;
}

void SystemAudio::followPlayback() {
  // On PipeWire nothing is recorded alone before the graph is watched.
  if (!mix_ || !proc || (tapStreams_ && !graph_)) return;
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
  for (uint32_t input : wanted) {
    if (!streams.count(input) && !opening_.count(input)) openAlone(input);
  }
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

namespace {

// What a stream recorded alone hands on: its data into the mix.
auto addingTo(std::shared_ptr<SystemAudio::LockedMix> mix, uint32_t input, uint32_t channels) {
  return [mix, input, channels](const float* samples, uint32_t frames, std::optional<uint64_t> heardHost) {
    if (!heardHost) return;
    std::lock_guard guard(mix->lock);
    mix->mix.add(input, samples, frames, channels, *heardHost);
  };
}

// Where streams recorded alone and the graph watch are opened: each open
// waits for a server, and the work queue must not wait with it.
SerialQueue& opener() {
  static SerialQueue* queue = new SerialQueue("lumeno.stream-opener");
  return *queue;
}

}  // namespace

// A stream recorded alone ends when its playback stream ends or moves: the
// next look sorts it out.
std::function<void(const std::string&)> SystemAudio::lookAgainOnFailure() {
  std::weak_ptr<SystemAudio*> weak = self_;
  SerialQueue* queue = &queue_;
  return [weak, queue](const std::string&) {
    queue->async([weak] {
      if (auto self = weak.lock()) (*self)->followPlayback();
    });
  };
}

void SystemAudio::watchGraph() {
  std::weak_ptr<SystemAudio*> weak = self_;
  SerialQueue* queue = &queue_;
  // A move changes several links at once: one look for them all.
  auto queued = std::make_shared<std::atomic<bool>>(false);
  auto onChange = [weak, queue, queued] {
    if (queued->exchange(true)) return;
    queue->async([weak, queued] {
      queued->store(false);
      if (auto self = weak.lock()) (*self)->followPlayback();
    });
  };
  opener().async([weak, queue, onChange, generation = generation_] {
    int code = 0;
    std::string error;
    std::shared_ptr<pipewire::GraphWatch> graph = pipewire::GraphWatch::open(onChange, &code, &error);
    queue->async([weak, generation, graph = std::move(graph), error] {
      auto self = weak.lock();
      if (!self || generation != (*self)->generation_ || !(*self)->mix_) return;
      if (!graph) {
        // The streams cannot be recorded alone: the family's sound stays in.
        log("system audio: PipeWire cannot be reached, so our own sound stays in: " + error);
        (*self)->mix_->passThrough.store(true);
        return;
      }
      (*self)->graph_ = graph;
      (*self)->followPlayback();
    });
  });
}

void SystemAudio::openAlone(uint32_t input) {
  opening_.insert(input);
  auto onData = addingTo(mix_, input, channels_);
  auto onFail = lookAgainOnFailure();
  // Both kinds are opened the same way; which one is used depends on the server.
  std::function<std::shared_ptr<Alone>(int*, std::string*)> open;
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
    open = [wanted, onData, onFail](int* code, std::string* error) -> std::shared_ptr<Alone> {
      auto alone = std::make_shared<Alone>();
      alone->tap = pipewire::PlaybackTap::open(wanted, onData, onFail, code, error);
      // PipeWire may announce a new stream's node after the pulse server
      // listed it: that is tried again like any failure.
      if (!alone->tap) return nullptr;
      return alone;
    };
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
    open = [wanted, onData, onFail](int* code, std::string* error) -> std::shared_ptr<Alone> {
      auto alone = std::make_shared<Alone>();
      alone->monitor = pulse::RecordStream::open(wanted, onData, onFail, code, error);
      if (!alone->monitor) return nullptr;
      return alone;
    };
  }
  std::weak_ptr<SystemAudio*> weak = self_;
  SerialQueue* queue = &queue_;
  bool onTap = tapStreams_;
  opener().async([open, weak, queue, input, onTap, generation = generation_] {
    int code = 0;
    std::string error;
    auto alone = open(&code, &error);
    // One that ended before it could be recorded is no trouble.
    bool ended = code == (onTap ? pipewire::kNoSuchStream : pulse::kNoSuchEntity);
    // What nobody takes any more is closed on the queue.
    queue->async([weak, generation, input, alone = std::move(alone), ended, error] {
      if (auto self = weak.lock()) (*self)->aloneOpened(generation, input, alone, ended, error);
    });
  });
}

void SystemAudio::aloneOpened(uint64_t generation, uint32_t input, std::shared_ptr<Alone> alone, bool ended,
                              const std::string& error) {
  if (generation != generation_) return;  // opened for a capture stopped since
  opening_.erase(input);
  if (!alone) {
    // Tried again until it can be recorded (a busy server may not have
    // answered in time) or has gone: no notice may come for it again.
    if (!ended) log("system audio: playback stream " + std::to_string(input) + " cannot be recorded: " + error);
    retryLater();
    return;
  }
  streams.emplace(input, std::move(*alone));
  // The stream may have ended, moved or corked while it was opening.
  followPlayback();
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
