// The analyser on CMU PocketSphinx.
//
// The decoder counts 10 ms frames (160 samples at 16 kHz) of the audio fed to
// it. The analyser keeps its own sample position on the timeline: the first
// input's start is the origin, short gaps between inputs are fed as zeros and
// long ones skipped with the utterance ended before them, so that a frame
// always maps back to its place on the timeline. An utterance ends when the
// decoder's voice detector leaves speech; that gives a final result, and
// keeps each utterance to one stretch of speech (this version's word times
// drift within an utterance that holds several).
#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "audio/platform/recogniser.h"
#include "audio/platform/speech_models.h"

namespace lumeno {

namespace {

constexpr int32_t kRate = 16000;
constexpr int64_t kFrameSamples = 160;  // one decoder frame, 10 ms
// Gaps up to this many samples are fed as zeros; longer ones (a pause, a
// muted stretch) are skipped, so that silence costs no decoding.
constexpr int64_t kLongestFilledGap = 2 * kRate;
// The decoder gets audio a frame at a time, so that the end of speech is
// seen at the frame where the voice detector leaves it.
constexpr size_t kPiece = size_t(kFrameSamples);
// How much audio goes to the decoder between looks at its partial hypothesis.
constexpr int64_t kPartialEvery = kRate / 10;

// A decoder on a model of the store, with decoder settings added to the
// recogniser's defaults. The configuration points into the option words, so
// they live as long as the decoder.
class Decoder {
 public:
  Decoder(const std::string& locale, const std::vector<std::string>& settings, std::string* error) {
    auto files = modelFiles(speechModelStore() / locale);
    if (!files) {
      *error = "no speech model for " + locale + " in " + speechModelStore().string();
      return;
    }
    words_ = {"lumeno-audio", "-hmm", files->acousticModel.string(), "-lm", files->languageModel.string(),
              "-dict", files->dictionary.string(), "-logfn", "/dev/null"};
    words_.insert(words_.end(), settings.begin(), settings.end());
    std::vector<char*> argv;
    for (auto& w : words_) argv.push_back(w.data());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), int32(argv.size()), argv.data(), FALSE);
    if (config) decoder_ = ps_init(config);
    cmd_ln_free_r(config);
    if (!decoder_) *error = "the recogniser could not load the model in " + files->acousticModel.parent_path().string();
  }
  ~Decoder() {
    if (decoder_) ps_free(decoder_);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // None when the model did not load.
  ps_decoder_t* get() const { return decoder_; }

 private:
  std::vector<std::string> words_;
  ps_decoder_t* decoder_ = nullptr;
};

// 16-bit samples, as the decoder takes them.
void toPcm16(const float* samples, size_t count, std::vector<int16_t>* pcm) {
  pcm->resize(count);
  for (size_t i = 0; i < count; ++i) (*pcm)[i] = int16_t(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
}

class PocketSphinxAnalyzer : public SpeechAnalyzer {
 public:
  PocketSphinxAnalyzer(std::string locale, std::vector<std::string> settings)
      : locale_(std::move(locale)), settings_(std::move(settings)) {}
  ~PocketSphinxAnalyzer() override {
    abandon_ = true;
    if (input_) input_->finish();
    if (thread_.joinable()) thread_.join();
  }

  std::optional<AudioFormat> bestAvailableAudioFormat() override {
    return AudioFormat{double(kRate), 1, false, SampleType::float32};
  }

  std::shared_ptr<ResultStream> results() override { return results_; }

  bool start(std::shared_ptr<AnalyzerInputQueue> input, std::string* error) override {
    decoderOwner_ = std::make_unique<Decoder>(locale_, settings_, error);
    decoder_ = decoderOwner_->get();
    if (!decoder_) return false;
    input_ = std::move(input);
    thread_ = std::thread([this] { run(); });
    return true;
  }

  bool finalizeAndFinishThroughEndOfInput(std::string* error) override {
    if (input_) input_->finish();
    {
      std::lock_guard lock(joinMutex_);
      if (thread_.joinable()) thread_.join();
    }
    results_->waitTaken();
    if (auto stopped = results_->error()) {
      *error = *stopped;
      return false;
    }
    return true;
  }

 private:
  void run() {
    feat_t* feat = ps_get_feat(decoder_);
    cmnInit_.resize(size_t(feat_cepsize(feat)));
    cmn_live_get(feat->cmn_struct, cmnInit_.data());
    ps_start_utt(decoder_);
    std::optional<int64_t> fedEnd;  // timeline sample after the last one fed
    while (auto in = input_->next()) {
      if (abandon_) return;
      int64_t start = onTimeline(in->bufferStartTime);
      uint32_t n = in->buffer.frameLength();
      if (!fedEnd) {
        shift_ = start;
        fedEnd = start;
      }
      if (start < *fedEnd) {
        results_->fail("audio at " + std::to_string(start) + " overlaps what was given up to " +
                       std::to_string(*fedEnd));
        input_->discard();  // nothing reads it any more
        ps_end_utt(decoder_);
        return;
      }
      int64_t gap = start - *fedEnd;
      if (gap > kLongestFilledGap) {
        endUtterance();
        shift_ += gap;
      } else if (gap > 0) {
        std::vector<float> zeros(size_t(gap), 0.0f);
        process(zeros.data(), zeros.size());
      }
      const float* samples = in->buffer.floatData(0);
      if (samples) process(samples, n);
      *fedEnd = start + n;
    }
    // The end of input: the last utterance is final.
    ps_end_utt(decoder_);
    deliver(true);
    results_->end();
  }

  int64_t onTimeline(MediaTime t) const {
    if (t.timescale == kRate) return t.value;
    return std::llround(double(t.value) * kRate / double(t.timescale));
  }

  void process(const float* samples, size_t count) {
    std::vector<int16_t> pcm;
    for (size_t done = 0; done < count;) {
      size_t n = std::min(count - done, kPiece);
      toPcm16(samples + done, n, &pcm);
      ps_process_raw(decoder_, pcm.data(), n, FALSE, FALSE);
      done += n;
      decoded_ += int64_t(n);
      bool speaking = ps_get_in_speech(decoder_) != 0;
      if (inSpeech_ && !speaking) {
        endUtterance();
      } else if (decoded_ - lastPartialAt_ >= kPartialEvery) {
        lastPartialAt_ = decoded_;
        const char* hyp = ps_get_hyp(decoder_, nullptr);
        std::string text = hyp ? hyp : "";
        if (text != lastPartial_) {
          lastPartial_ = text;
          deliver(false);
        }
      }
      inSpeech_ = speaking;
    }
  }

  // Ends the utterance with its final result and starts the next.
  void endUtterance() {
    ps_end_utt(decoder_);
    if (!deliver(true)) {
      // An utterance without a word was noise, and the running cepstral mean
      // it left behind spoils the next real one (the first of a stream most
      // of all): start again from the model's own mean.
      cmn_live_set(ps_get_feat(decoder_)->cmn_struct, cmnInit_.data());
    }
    ps_start_utt(decoder_);
    lastPartial_.clear();
    inSpeech_ = false;
  }

  // The current hypothesis as a result; false when it holds no word.
  bool deliver(bool isFinal) {
    SpeechResult result;
    result.isFinal = isFinal;
    std::optional<int64_t> first, last;
    for (ps_seg_t* seg = ps_seg_iter(decoder_); seg; seg = ps_seg_next(seg)) {
      auto word = spokenWord(ps_seg_word(seg));
      if (!word) continue;
      int sf = 0, ef = 0;
      ps_seg_frames(seg, &sf, &ef);
      int64_t from = int64_t(sf) * kFrameSamples + shift_, to = (int64_t(ef) + 1) * kFrameSamples + shift_;
      if (first) result.runs.push_back({" ", std::nullopt});
      result.runs.push_back({*word, MediaTimeRange{{from, kRate}, {to - from, kRate}}});
      if (!first) first = from;
      last = to;
    }
    if (!first) return false;
    result.range = {{*first, kRate}, {*last - *first, kRate}};
    results_->deliver(std::move(result));
    return true;
  }

  const std::string locale_;
  const std::vector<std::string> settings_;
  std::shared_ptr<ResultStream> results_ = std::make_shared<ResultStream>();
  std::shared_ptr<AnalyzerInputQueue> input_;
  std::unique_ptr<Decoder> decoderOwner_;
  ps_decoder_t* decoder_ = nullptr;  // decoderOwner_'s
  std::thread thread_;
  std::mutex joinMutex_;
  std::atomic<bool> abandon_{false};
  // On the decoding thread only.
  std::vector<mfcc_t> cmnInit_;
  int64_t shift_ = 0;    // timeline sample of the decoder's sample 0
  int64_t decoded_ = 0;  // samples fed to the decoder
  int64_t lastPartialAt_ = 0;
  std::string lastPartial_;
  bool inSpeech_ = false;
};

// A test stand-in for an analyser that hangs while finalising: decodes and
// finalises as the real one does (so that its decoding thread is joined),
// but its finalisation then never returns.
class NeverFinishingAnalyzer : public SpeechAnalyzer {
 public:
  explicit NeverFinishingAnalyzer(std::unique_ptr<SpeechAnalyzer> real) : real_(std::move(real)) {}
  std::optional<AudioFormat> bestAvailableAudioFormat() override { return real_->bestAvailableAudioFormat(); }
  std::shared_ptr<ResultStream> results() override { return real_->results(); }
  bool start(std::shared_ptr<AnalyzerInputQueue> input, std::string* error) override {
    return real_->start(std::move(input), error);
  }
  bool finalizeAndFinishThroughEndOfInput(std::string* error) override {
    real_->finalizeAndFinishThroughEndOfInput(error);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }

 private:
  std::unique_ptr<SpeechAnalyzer> real_;
};

}  // namespace

bool recogniserAvailable() { return true; }

std::unique_ptr<SpeechAnalyzer> makeTunedSpeechAnalyzer(const std::string& locale,
                                                        const std::vector<std::string>& decoderSettings) {
  return std::make_unique<PocketSphinxAnalyzer>(locale, decoderSettings);
}

std::optional<std::vector<std::string>> decodeWhole(const std::string& locale, const std::vector<float>& samples,
                                                   const std::vector<std::string>& decoderSettings,
                                                   std::string* error) {
  Decoder decoder(locale, decoderSettings, error);
  ps_decoder_t* ps = decoder.get();
  if (!ps) return std::nullopt;
  std::vector<int16_t> pcm;
  toPcm16(samples.data(), samples.size(), &pcm);
  ps_start_utt(ps);
  ps_process_raw(ps, pcm.data(), pcm.size(), FALSE, TRUE);
  ps_end_utt(ps);
  std::vector<std::string> words;
  for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg))
    if (auto w = spokenWord(ps_seg_word(seg))) words.push_back(*w);
  return words;
}

std::unique_ptr<SpeechAnalyzer> makeSpeechAnalyzer(const std::string& locale) {
  std::unique_ptr<SpeechAnalyzer> analyzer = makeTunedSpeechAnalyzer(locale, {});
  const char* test = std::getenv("LUMENO_TEST_SPEECH");
  const char* mode = std::getenv("LUMENO_AUDIO_TEST");
  if (test && mode && std::string(mode) == "1" && std::string(test) == "never-finish")
    analyzer = std::make_unique<NeverFinishingAnalyzer>(std::move(analyzer));
  return analyzer;
}

}  // namespace lumeno
