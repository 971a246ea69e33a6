// The speech analyser: an on-device recogniser behind one small interface,
// plus the store of its models.
//
// An analyser takes audio placed on its own timeline (AnalyzerInput: a
// buffer and the media time of its first frame) from an unbounded queue that
// the caller fills without ever blocking, and delivers results in order
// through its ResultStream: interim ones while speech goes on, a final one
// when it ends. Input that starts before what the analyser already has is an
// input error: the result stream fails and the analyser stops.
//
// Models are folders named by their BCP 47 locale. "Supported" locales are
// those a packaged model exists for (/usr/share/pocketsphinx/model); the
// "installed" ones are in the user's model store,
// $XDG_DATA_HOME/lumeno/speech (default ~/.local/share/lumeno/speech).
//
// The PocketSphinx analyser decodes on a thread of its own; nothing it does
// runs on the caller's thread but the queueing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/platform/pcm_buffer.h"

namespace lumeno {

// A point on a timeline: value / timescale seconds.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 1;
  double seconds() const { return double(value) / double(timescale); }
};

struct MediaTimeRange {
  MediaTime start;
  MediaTime duration;
  // start + duration, in seconds.
  double endSeconds() const { return start.seconds() + duration.seconds(); }
};

// One unit of input placed on the analyser's timeline.
struct AnalyzerInput {
  PcmBuffer buffer;
  MediaTime bufferStartTime;
};

// A first-in-first-out queue of unbounded size between one producer and the
// analyser. yield() never blocks; what is yielded after finish() is dropped.
class AnalyzerInputQueue {
 public:
  void yield(AnalyzerInput input);
  void finish();
  // finish(), and what is still queued is dropped: for an analyser that
  // stopped and will read no more.
  void discard();
  // The next input, waiting for one; none once the queue is finished and
  // empty.
  std::optional<AnalyzerInput> next();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<AnalyzerInput> items_;
  bool finished_ = false;
};

// A piece of a result's text; words carry the audio time range they were
// heard in, the spaces between them none.
struct TextRun {
  std::string text;
  std::optional<MediaTimeRange> timeRange;
};

struct SpeechResult {
  std::vector<TextRun> runs;
  MediaTimeRange range;
  bool isFinal = false;
  // The runs' characters one after another.
  std::string plainText() const;
};

// The analyser's results in order. The analyser delivers; one consumer reads
// with next(). The stream ends normally after the analyser was finalised, or
// fails with an error when the analyser stopped.
class ResultStream {
 public:
  // Producer side.
  void deliver(SpeechResult result);
  void end();
  void fail(std::string error);

  // The next result, waiting for one; none at the end of the stream, when
  // error() tells whether it failed, or once cancelled.
  std::optional<SpeechResult> next();
  std::optional<std::string> error();
  // The consumer gives up: next() returns none from now on, and waitTaken()
  // no longer waits.
  void cancel();
  bool isCancelled();
  // Waits until the stream has ended and the consumer has dealt with every
  // result (it asked for the next after the last), or the consumer cancelled.
  void waitTaken();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SpeechResult> results_;
  bool ended_ = false;
  bool cancelled_ = false;
  bool endSeen_ = false;
  std::optional<std::string> error_;
};

// What an analyser is: an abstract engine, so that a better recogniser can
// stand in for the current one without its users changing.
class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;

  // The audio format the analyser wants; none when it has none.
  virtual std::optional<AudioFormat> bestAvailableAudioFormat() = 0;
  // Where the results come from; the same stream for the analyser's life.
  virtual std::shared_ptr<ResultStream> results() = 0;
  // Loads the model and starts reading the queue; returns once it runs.
  // False with *error when it did not start.
  virtual bool start(std::shared_ptr<AnalyzerInputQueue> input, std::string* error) = 0;
  // Returns when all queued input (the queue having been finished) has been
  // analysed, its final results delivered and taken. False with *error when
  // the analyser had stopped.
  virtual bool finalizeAndFinishThroughEndOfInput(std::string* error) = 0;
};

// Makes an analyser for a locale of the model store.
using SpeechAnalyzerFactory = std::function<std::unique_ptr<SpeechAnalyzer>(const std::string& locale)>;

// True when this build has an on-device recogniser.
bool recogniserAvailable();

// The analyser of this machine for an installed locale (BCP 47); its start()
// fails when the model is not in the store. In test mode, LUMENO_TEST_SPEECH
// "never-finish" gives an analyser whose finalisation never returns.
std::unique_ptr<SpeechAnalyzer> makeSpeechAnalyzer(const std::string& locale);
// The same with decoder settings added to the recogniser's defaults, as
// option and value pairs ("-vad_threshold", "3.0"); for benchmarks.
std::unique_ptr<SpeechAnalyzer> makeTunedSpeechAnalyzer(const std::string& locale,
                                                        const std::vector<std::string>& decoderSettings);
// The words heard in 16 kHz mono audio decoded as a whole, in one utterance
// (batch decoding), with decoder settings as above; for benchmarks. None with
// *error when the model does not load.
std::optional<std::vector<std::string>> decodeWhole(const std::string& locale, const std::vector<float>& samples,
                                                   const std::vector<std::string>& decoderSettings,
                                                   std::string* error);

// BCP 47 identifiers of the packaged models, sorted.
std::vector<std::string> supportedSpeechModels();
// BCP 47 identifiers of the models in the user's store, sorted; empty when
// the store cannot be read.
std::vector<std::string> installedSpeechModels();
// The user's model store folder.
std::filesystem::path speechModelStore();
// Copies the packaged model of a supported locale into the store (whole or
// not at all). False with *error when it cannot.
bool installSpeechModel(const std::string& locale, std::string* error);

// A recogniser's token as a word: fillers ("<s>", "<sil>", "[NOISE]", "++UH++")
// give none, an alternate-pronunciation suffix ("read(2)") is cut off.
std::optional<std::string> spokenWord(const std::string& token);

}  // namespace lumeno
