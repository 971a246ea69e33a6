// The recorder's core: construction, the routing of captured buffers, the
// level tick, start() and finish().
#include "audio/recorder/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/capture/hardware.h"

namespace lumeno {

Recorder::Recorder(const std::filesystem::path& dir, int64_t partNumber)
    : micMuted(hasFlag("--mic-muted")), micUID(argValue("--mic")), ended([] { _exit(0); }) {
  me = Track::inDir("me", dir, partNumber);
  them = Track::inDir("them", dir, partNumber);
  // The sources' callbacks refer back to the recorder without owning it: the
  // recorder lives until the process ends.
  mic = std::make_unique<Mic>([this](PcmBuffer& b, std::optional<double> h) { routeMic(b, h); }, *work);
  sys = std::make_unique<SystemAudio>([this](PcmBuffer& b, std::optional<double> h) { routeSystem(b, h); }, *work);
  sys->onRateChange = [this] { rebuildSystem(); };
}

bool cutHeardBefore(PcmBuffer& buffer, std::optional<double>& heardMs, double fromMs) {
  if (!heardMs) return false;
  auto skip = int64_t(std::ceil((fromMs - *heardMs) * buffer.sampleRate() / 1000.0));
  int64_t remaining = int64_t(buffer.frameLength()) - std::max<int64_t>(skip, 0);
  if (remaining <= 0) return false;
  if (skip > 0) {
    float* s = buffer.floatData(0);
    std::memmove(s, s + skip, size_t(remaining) * sizeof(float));
    buffer.setFrameLength(uint32_t(remaining));
    *heardMs += double(skip) * 1000.0 / buffer.sampleRate();
  }
  return true;
}

void Recorder::routeMic(PcmBuffer& b, std::optional<double> heardMs) {
  if (paused || finishing || micMuted) return;
  if (micFrom && !cutHeardBefore(b, heardMs, *micFrom)) return;
  // Placed by its heard time, as system audio is: a buffer that reaches the
  // work queue late (a busy queue, a restarted server) still lands where it
  // was heard, so "me" and "them" stay aligned. Without a heard time the
  // track anchors it by arrival.
  me->append(b, heardMs);
}

void Recorder::routeSystem(PcmBuffer& b, std::optional<double> heardMs) {
  if (paused || finishing) return;
  them->append(b, heardMs);
}

void Recorder::start() {
  me->openWriter();
  them->openWriter();
  if (auto locale = argValue("--speech")) startSpeech(*locale, false);
  if (micUID && !micDevice(*micUID)) {
    log("the chosen microphone isn't here: using the default input");
    micUID.reset();
  }
  mic->device = micUID ? micDevice(*micUID) : std::nullopt;
  if (!mic->start()) {
    log("recording without the microphone for now: trying again");
    retryMic();
  }
  if (!mic->device) micUID.reset();
  reportMic();
  startSystem();

  timer = std::make_unique<RepeatingTimer>(*work, 0.1, [this] { levelTick(); });
  timer->start();

  listen(kDefaultOutput, [this] { rebuildSystem(); });
  listen(kDefaultInput, [this] {
    if (!micUID) rebuildMic(0.3);
  });
  listen(kDevices, [this] {
    if (micUID && !micDevice(*micUID)) rebuildMic(0.3);
  });
  // The engine's notice comes on a thread of its own; whether it names the
  // current engine is decided on the work queue, where the engine changes.
  observeEngineConfigurationChange([this](uint64_t engineId) {
    work->async([this, engineId] {
      if (mic->engine && mic->engine->id() == engineId) restartMic();
    });
  });
}

void Recorder::levelTick() {
  if (finishing) return;
  if (micMuted && !paused) me->padTo(int64_t(std::floor(nowMs() * 48.0)));
  // A level is read, and its accumulators reset, only when it is sent.
  double meLevel = paused || micMuted ? 0.0 : me->level();
  double themLevel = paused ? 0.0 : them->level();
  send({{"t", "level"}, {"me", meLevel}, {"them", themLevel}});
}

void Recorder::finish() {
  if (finishing) return;
  finishing = true;
  if (timer) timer->cancel();
  if (micMuted) me->padTo(int64_t(std::floor(nowMs() * 48.0)));
  mic->stop();
  sys->stop();
  me->flushPending();
  them->flushPending();
  int64_t end = std::max(me->pts, them->pts);
  me->padTo(end);
  them->padTo(end);
  me->finish(closing_);
  them->finish(closing_);
  finishSpeech();
  // outQ is serial, so every event sent before is written before `ended`.
  closing_.notify(*outQ, ended);
}

void Recorder::listen(uint32_t selector, std::function<void()> handler) {
  listenToSystem(selector, *work, std::move(handler));
}

double retryDelay(int64_t tries) { return std::min(std::pow(2.0, double(std::max<int64_t>(tries, 1) - 1)), 5.0); }

}  // namespace lumeno
