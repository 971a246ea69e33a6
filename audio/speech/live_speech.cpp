#include "audio/speech/live_speech.h"

#include <cmath>
#include <cstring>
#include <thread>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/track/pcm.h"

namespace lumeno {

namespace {

// Whole milliseconds, halves away from zero.
int64_t wholeMs(double seconds) { return std::llround(seconds * 1000.0); }

std::string trimmed(const std::string& text) {
  const char* space = " \t\n\r\v\f";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// A buffer of exactly the frames in use, which the analyser owns.
std::optional<PcmBuffer> copyOf(const PcmBuffer& buffer) {
  auto copy = PcmBuffer::make(buffer.format(), buffer.frameLength());
  if (!copy) return std::nullopt;
  copy->setFrameLength(buffer.frameLength());
  for (uint32_t p = 0; p < buffer.planeCount(); ++p) {
    size_t samples = size_t(buffer.frameLength()) * buffer.stride();
    if (buffer.floatData(p))
      std::memcpy(copy->floatData(p), buffer.floatData(p), samples * sizeof(float));
    else if (buffer.int16Data(p))
      std::memcpy(copy->int16Data(p), buffer.int16Data(p), samples * sizeof(int16_t));
  }
  return copy;
}

bool sameKind(const AudioFormat& a, const AudioFormat& b) {
  return a.sampleRate == b.sampleRate && a.sample == b.sample && b.channels == 1;
}

}  // namespace

LiveSpeech::LiveSpeech(std::string track, Locale locale, SpeechAnalyzerFactory factory)
    : track(std::move(track)), locale(std::move(locale)), factory_(std::move(factory)) {}

bool LiveSpeech::start() {
  std::shared_ptr<SpeechAnalyzer> next = factory_(locale.bcp47);
  std::optional<AudioFormat> wanted = next ? next->bestAvailableAudioFormat() : std::nullopt;
  if (!wanted) {
    log("speech: no audio format");
    return false;
  }
  auto queue = std::make_shared<AnalyzerInputQueue>();
  std::shared_ptr<ResultStream> results = next->results();
  std::thread(runResults, results, track, weak_from_this()).detach();
  std::string error;
  if (!next->start(queue, &error)) {
    log("speech " + track + " failed to start: " + error);
    results->cancel();
    return false;
  }
  std::unique_ptr<Converter> converter = Converter::make(mono16, *wanted);
  {
    std::lock_guard guard(lock);
    std::swap(analyzer, next);  // the previous analyser is released below, outside the lock
    input = queue;
    format = wanted;
    task = results;
    conv = std::move(converter);
    clock = SpeechClock{wanted->sampleRate, std::nullopt};
    started = true;
  }
  return true;
}

void LiveSpeech::feed(const PcmBuffer& buffer, double atMs) {
  std::lock_guard guard(lock);
  if (!started || !format) return;
  std::optional<PcmBuffer> placed;
  if (sameKind(mono16, *format)) {
    // The track reuses its buffer with the next append: the analyser gets a copy.
    placed = copyOf(buffer);
  } else {
    if (!conv) return;
    placed = convert(*conv, buffer);
  }
  if (!placed || placed->frameLength() == 0) return;
  int64_t position = clock.place(atMs, int64_t(placed->frameLength()));
  if (input) input->yield({std::move(*placed), MediaTime{position, int32_t(format->sampleRate)}});
}

void LiveSpeech::testOverlap(const PcmBuffer& buffer) {
  std::lock_guard guard(lock);
  if (!started || !conv || !format) return;
  auto converted = convert(*conv, buffer);
  if (converted && converted->frameLength() >= 1 && input)
    input->yield({std::move(*converted), MediaTime{0, int32_t(format->sampleRate)}});
}

void LiveSpeech::finish() {
  std::shared_ptr<AnalyzerInputQueue> in;
  std::shared_ptr<SpeechAnalyzer> running;
  std::shared_ptr<ResultStream> results;
  {
    std::lock_guard guard(lock);
    finishing = true;
    in = input;
    running = analyzer;
    results = task;
  }
  if (in) in->finish();
  if (running) {
    std::string ignored;
    running->finalizeAndFinishThroughEndOfInput(&ignored);
  }
  if (results) results->cancel();
}

void LiveSpeech::again() {
  bool goOn = false;
  int64_t attempt = 0;
  {
    std::lock_guard guard(lock);
    if (!finishing && restarts < maxRestarts) {
      attempt = ++restarts;
      started = false;  // feed drops audio from here on
      if (input) input->finish();
      input.reset();
      goOn = true;
    }
  }
  if (!goOn) {
    log("speech " + track + ": not starting again");
    return;
  }
  if (start())
    log("speech " + track + " started again (" + std::to_string(attempt) + " of " + std::to_string(maxRestarts) +
        ")");
}

void LiveSpeech::runResults(std::shared_ptr<ResultStream> results, std::string track,
                            std::weak_ptr<LiveSpeech> owner) {
  while (auto result = results->next())
    if (auto event = speechEvent(track, *result)) send(*event);
  // A stop is told even when it came while finishing, just before the task
  // was cancelled; again() then declines.
  auto error = results->error();
  if (!error) return;
  log("speech " + track + " stopped: " + *error);
  if (auto self = owner.lock()) self->again();
}

std::optional<Json> speechEvent(const std::string& track, const SpeechResult& result) {
  std::string text = trimmed(result.plainText());
  if (text.empty()) return std::nullopt;
  Json words = Json::array();
  for (const TextRun& run : result.runs) {
    if (!run.timeRange) continue;
    words.push_back({{"text", run.text},
                     {"startMs", wholeMs(run.timeRange->start.seconds())},
                     {"endMs", wholeMs(run.timeRange->endSeconds())}});
  }
  return Json{{"t", "speech"},
              {"track", track},
              {"final", result.isFinal},
              {"startMs", wholeMs(result.range.start.seconds())},
              {"endMs", wholeMs(result.range.endSeconds())},
              {"text", text},
              {"words", words}};
}

}  // namespace lumeno
