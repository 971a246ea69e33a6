// LiveSpeech: on-device transcription of one audio track while it is being
// recorded, reported as "speech" events with word times on the recording's
// timeline.
//
// The owner (the recorder, or the speech-file command) makes it, calls
// start() once off its capture path, and then feeds 16 kHz mono buffers
// stamped with their recording time. feed() places each buffer on the
// analyser's timeline with a SpeechClock and queues a copy without ever
// waiting for recognition. A results task (a thread per started analyser)
// turns the analyser's results into events; when the analyser stops with an
// error it starts it again, at most maxRestarts times in the object's life.
// finish() ends the input and lets the analyser deliver its final results.
//
// Threads: feed() and testOverlap() from the feeder (the recorder's work
// queue); start(), again() and finish() block and run on threads of their
// own; the results task takes no lock. `lock` guards every field but `track`
// and `locale`. Always held by a std::shared_ptr: the results task holds it
// only weakly, so a transcription nobody holds any more ends by itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/base/events.h"
#include "audio/platform/converter.h"
#include "audio/platform/pcm_buffer.h"
#include "audio/platform/recogniser.h"
#include "audio/speech/speech_clock.h"
#include "audio/speech/speech_locale.h"

namespace lumeno {

class LiveSpeech : public std::enable_shared_from_this<LiveSpeech> {
 public:
  static constexpr int64_t maxRestarts = 5;

  // Nothing starts. The factory makes each analyser (the machine's own by
  // default).
  LiveSpeech(std::string track, Locale locale, SpeechAnalyzerFactory factory = makeSpeechAnalyzer);
  LiveSpeech(const LiveSpeech&) = delete;
  LiveSpeech& operator=(const LiveSpeech&) = delete;

  // Sets up and starts an analyser and its results task; true when it runs.
  // Blocks while the model loads.
  bool start();
  // Queues a mono16 buffer whose first sample lies at atMs on the
  // recording's timeline. Never blocks on recognition; dropped while no
  // analyser runs. The buffer is copied: the caller may reuse it at once.
  void feed(const PcmBuffer& buffer, double atMs);
  // Test hook: queues the buffer at time zero of the analyser's timeline,
  // before what it already has, without consulting the clock.
  void testOverlap(const PcmBuffer& buffer);
  // Ends the input, waits until the analyser has finished everything queued
  // and its results were taken, then stops the results task.
  void finish();
  // The restart policy, run by the results task after the analyser stopped.
  void again();

  const std::string track;
  const Locale locale;

  std::mutex lock;
  std::shared_ptr<SpeechAnalyzer> analyzer;
  std::shared_ptr<AnalyzerInputQueue> input;
  std::optional<AudioFormat> format;
  std::unique_ptr<Converter> conv;  // mono16 to format; may be missing
  SpeechClock clock{16000.0, std::nullopt};
  std::shared_ptr<ResultStream> task;  // what the results task reads; cancelling it ends the task
  bool started = false;
  bool finishing = false;  // never cleared
  int64_t restarts = 0;    // never reset

 private:
  // Reads results until the stream ends, fails or is cancelled.
  static void runResults(std::shared_ptr<ResultStream> results, std::string track, std::weak_ptr<LiveSpeech> owner);

  const SpeechAnalyzerFactory factory_;
};

// The "speech" event of a result; none when its text is only white space.
std::optional<Json> speechEvent(const std::string& track, const SpeechResult& result);

}  // namespace lumeno
