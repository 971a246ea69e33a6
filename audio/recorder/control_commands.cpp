// The command language on standard input while recording: pause and resume,
// mute and unmute with their acknowledgement, choosing a microphone, stop,
// and two test commands that simulate a microphone stopping on its own.
#include <cmath>
#include <string_view>
#include <vector>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/capture/permissions.h"
#include "audio/recorder/recorder.h"

namespace lumeno {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The pieces of text between runs of spaces.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

double micChangeMs(double nowMs, int64_t mePts, double startOffsetMs) {
  return std::ceil(startOffsetMs + std::max(nowMs, double(mePts) / 48.0)) - startOffsetMs;
}

bool Recorder::micInputReady() const {
  // The authorization is asked only when the engine runs.
  return mic->engine && mic->engine->isRunning() && micAuthorizationStatus() == MicAuthorization::authorized;
}

void Recorder::command(const std::string& line) {
  if (line == "pause") {
    paused = true;
    me->flushPending();
    them->flushPending();
  } else if (line == "resume") {
    // Both tracks re-anchor at the clock with their next buffer, so the
    // paused span becomes silence in both files.
    paused = false;
    me->resync();
    them->resync();
  } else if (startsWith(line, "mute ") || startsWith(line, "unmute ")) {
    auto pieces = words(line);
    if (pieces.size() != 2) return;
    auto id = parseInteger(pieces[1]);
    if (!id) return;
    setMicMuted(pieces[0] == "mute", *id, [this] { return micInputReady(); });
  } else if (line == "stop") {
    finish();
  } else if (startsWith(line, "mic ")) {
    chooseMic(std::string(trimSpacesAndTabs(std::string_view(line).substr(4))));
  } else if (testing && line == "test-mic-restart") {
    // After the current work item, as a microphone that stopped by itself would.
    work->async([this] {
      if (mic->engine) mic->engine->stop();
      restartMic();
    });
  } else if (testing && line == "test-mic-rebuild") {
    work->async([this] {
      if (mic->engine) mic->engine->stop();
      rebuildMic(0.3);
    });
  } else {
    log("unknown command: " + line);
  }
}

void Recorder::setMicMuted(bool muted, int64_t id, const std::function<bool()>& inputReady) {
  double c = micChangeMs(nowMs(), me->pts, startOffsetMs);
  bool changed = muted != micMuted;
  if (changed) {
    me->resync();
    me->srcRate = 0;  // fresh converters, without resampling history, for the next buffer
    me->level();      // clears the level accumulators
    if (muted) {
      micMuted = true;
      ++micSpeechGeneration;
      // The microphone's transcription gets no more audio from here on.
      endMicSpeech();
    } else {
      bool ready = inputReady();
      micMuted = !ready;
      if (ready) {
        micFrom = c;
        if (auto locale = argValue("--speech")) startSpeech(*locale, true);
      }
    }
  }
  // c was made so that this sum is whole; rounding drops the floating-point dust.
  send({{"t", "mic-muted"}, {"id", id}, {"muted", micMuted}, {"ms", std::round(startOffsetMs + c)}});
  // The "me" file reaches exactly the moment the answer names.
  if (changed) me->padTo(int64_t(std::ceil(c * 48.0)));
}

}  // namespace lumeno
