// A build without an on-device recogniser: no analyser ever starts, and the
// speech commands give their fallback answers.
#include "audio/platform/recogniser.h"

namespace lumeno {

namespace {

class NoAnalyzer : public SpeechAnalyzer {
 public:
  std::optional<AudioFormat> bestAvailableAudioFormat() override { return std::nullopt; }
  std::shared_ptr<ResultStream> results() override { return results_; }
  bool start(std::shared_ptr<AnalyzerInputQueue>, std::string* error) override {
    *error = "this build has no speech recogniser";
    return false;
  }
  bool finalizeAndFinishThroughEndOfInput(std::string*) override { return true; }

 private:
  std::shared_ptr<ResultStream> results_ = std::make_shared<ResultStream>();
};

}  // namespace

bool recogniserAvailable() { return false; }

std::unique_ptr<SpeechAnalyzer> makeSpeechAnalyzer(const std::string&) { return std::make_unique<NoAnalyzer>(); }

std::unique_ptr<SpeechAnalyzer> makeTunedSpeechAnalyzer(const std::string&, const std::vector<std::string>&) {
  return std::make_unique<NoAnalyzer>();
}

std::optional<std::vector<std::string>> decodeWhole(const std::string&, const std::vector<float>&,
                                                   const std::vector<std::string>&, std::string* error) {
  *error = "this build has no speech recogniser";
  return std::nullopt;
}

}  // namespace lumeno
