#include "audio/capture/mic.h"

#include <atomic>
#include <map>
#include <mutex>

#include "audio/base/events.h"
#include "audio/capture/permissions.h"
#include "audio/track/pcm.h"

namespace lumeno {

namespace {

std::atomic<uint64_t> nextEngineId{1};

struct Observers {
  std::mutex mutex;
  std::map<uint64_t, std::shared_ptr<EngineObserver>> list;
  uint64_t next = 1;
  SerialQueue queue{"lumeno.engine-notices"};
};

Observers& observers() {
  static Observers* o = new Observers();  // lives as long as the process
  return *o;
}

void postConfigurationChange(uint64_t engineId) {
  auto& o = observers();
  std::lock_guard guard(o.mutex);
  for (const auto& [token, observer] : o.list) {
    o.queue.async([token = token, engineId] {
      std::shared_ptr<EngineObserver> live;
      {
        std::lock_guard g(observers().mutex);
        auto it = observers().list.find(token);
        if (it != observers().list.end()) live = it->second;
      }
      // Removed in the meantime: not told any more.
      if (live) (*live)(engineId);
    });
  }
}

}  // namespace

uint64_t observeEngineConfigurationChange(EngineObserver observer) {
  auto& o = observers();
  std::lock_guard guard(o.mutex);
  uint64_t token = o.next++;
  o.list[token] = std::make_shared<EngineObserver>(std::move(observer));
  return token;
}

void removeEngineObserver(uint64_t token) {
  auto& o = observers();
  std::lock_guard guard(o.mutex);
  o.list.erase(token);
}

AudioEngine::AudioEngine() : id_(nextEngineId.fetch_add(1)) {}

bool AudioEngine::isRunning() const { return stream_ && stream_->running(); }

void AudioEngine::stop() { stream_.reset(); }

Mic::Mic(OnBuffer onBuffer, SerialQueue& queue) : shared_(std::make_shared<Shared>()), queue_(queue) {
  shared_->onBuffer = std::move(onBuffer);
}

Mic::~Mic() { stop(); }

bool Mic::choose(AudioEngine& e, AudioObjectID to) {
  if (!pulse::Connection::shared().reachable()) {
    log("no microphone unit");
    return false;
  }
  auto name = kindOf(to) == AudioObjectKind::source ? stringProp(to, kUID) : std::nullopt;
  auto source = name ? pulse::Connection::shared().source(*name) : std::nullopt;
  if (!source || source->isMonitor) {
    log("couldn't choose the microphone: " + std::to_string(pulse::kNoSuchEntity));
    return false;
  }
  e.source_ = source->name;
  return true;
}

bool Mic::installTap(AudioEngine& e) {
  // The stream is opened at the source's own rate and channels, so the rate
  // always follows the device.
  auto source = e.source_.empty() ? std::nullopt : pulse::Connection::shared().source(e.source_);
  if (!source || source->rate == 0 || source->channels == 0) {
    log("no microphone");
    return false;
  }
  shared_->generation += 1;
  e.tapGeneration_ = shared_->generation;
  e.spec_ = {};
  e.spec_.device = source->name;
  e.spec_.rate = source->rate;
  e.spec_.channels = source->channels;
  // The server hands over 10 ms at a time and the stream puts the 100 ms
  // buffers together: a buffer then leaves as soon as its last 10 ms are
  // captured, so its arrival, which anchors the "me" track when the server
  // gives no heard time, is off by about 10 ms instead of up to a whole buffer.
  e.spec_.fragmentFrames = source->rate / 100;
  e.spec_.blockFrames = source->rate / 10;  // 100 ms
  e.spec_.dontMove = true;  // where the microphone goes is the owner's decision
  e.spec_.name = "microphone";
  e.tapInstalled_ = true;
  return true;
}

bool Mic::startEngine(AudioEngine& e, std::string* error) {
  if (!e.tapInstalled_) {
    *error = "no tap";
    return false;
  }
  AudioFormat format{double(e.spec_.rate), e.spec_.channels, true, SampleType::float32};
  int64_t generation = e.tapGeneration_;
  auto shared = shared_;
  SerialQueue* queue = &queue_;
  auto onData = [format, generation, shared, queue](const float* samples, uint32_t frames,
                                                    std::optional<uint64_t> heardHost) {
    std::optional<double> heardMs;
    if (heardHost) heardMs = hostMs(*heardHost);
    auto buffer = mono(samples, frames, format.sampleRate, format.channels, true);
    if (!buffer) return;
    queue->async([shared, generation, b = std::move(*buffer), heardMs]() mutable {
      if (shared->generation == generation) shared->onBuffer(b, heardMs);
    });
  };
  uint64_t engineId = e.id_;
  auto onFail = [engineId](const std::string&) { postConfigurationChange(engineId); };
  int code = 0;
  e.stream_ = pulse::RecordStream::open(e.spec_, onData, onFail, &code, error);
  return e.stream_ != nullptr;
}

bool Mic::start() {
  if (micAuthorizationStatus() != MicAuthorization::authorized) return false;
  auto e = std::make_shared<AudioEngine>();
  if (device && !choose(*e, *device)) device.reset();
  if (!device) {
    // The default input at this moment; the stream stays on it.
    auto input = defaultInput();
    if (auto name = input ? stringProp(*input, kUID) : std::nullopt) e->source_ = *name;
  }
  if (!installTap(*e)) return false;
  std::string error;
  if (!startEngine(*e, &error)) {
    log("microphone failed: " + error);
    e->tapInstalled_ = false;
    return false;
  }
  engine = std::move(e);
  return true;
}

bool Mic::restart() {
  if (!engine) return false;
  if (engine->isRunning()) return true;
  engine->stop();
  engine->tapInstalled_ = false;
  if (!installTap(*engine)) return false;
  std::string error;
  if (!startEngine(*engine, &error)) {
    log("microphone restart failed: " + error);
    return false;
  }
  return true;
}

bool Mic::move(AudioObjectID to) {
  if (!engine) return false;
  engine->stop();
  engine->tapInstalled_ = false;
  if (!choose(*engine, to)) return false;
  if (!installTap(*engine)) return false;
  std::string error;
  if (!startEngine(*engine, &error)) {
    log("microphone move failed: " + error);
    return false;
  }
  device = to;
  return true;
}

void Mic::stop() {
  shared_->generation += 1;
  if (!engine) return;
  engine->stop();
  engine->tapInstalled_ = false;
  engine.reset();
}

}  // namespace lumeno
