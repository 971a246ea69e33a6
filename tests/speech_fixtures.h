// Speech made here for the speech tests and benchmarks: sentences spoken by
// Festival's HTS voice (which the recogniser understands well), with the
// moment each word starts as Festival placed it, put together with silence
// into test files by sox; and the model store a test run installs into.
#pragma once

#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/process.h"

namespace lumeno::test {

struct SpokenWord {
  std::string text;  // lower case, as the recogniser writes it
  double startMs = 0;
};

// A sentence in a WAV file, its words timed from the file's start.
struct Spoken {
  std::string wav;
  std::vector<SpokenWord> words;
  double seconds = 0;
  std::string text() const {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w.text;
    return out;
  }
};

inline std::string lowerWord(std::string w) {
  std::string out;
  for (char c : w)
    if (std::isalnum(uint8_t(c)) || c == '\'') out += char(std::tolower(uint8_t(c)));
  return out;
}

// Festival speaks text into wav; none when it fails.
inline std::optional<Spoken> say(const std::string& text, const std::string& wav) {
  std::string script = wav + ".scm";
  std::ofstream(script) << "(voice_cmu_us_slt_arctic_hts)\n"
                        << "(set! utt (SynthText \"" << text << "\"))\n"
                        << "(mapcar (lambda (w) (format t \"%s %f\\n\" (item.name w) "
                        << "(item.feat w \"R:SylStructure.daughter1.daughter1.segment_start\"))) "
                        << "(utt.relation.items utt 'Word))\n"
                        << "(utt.save.wave utt \"" << wav << "\" 'riff)\n";
  auto r = runProcess({"/usr/bin/festival", "-b", script});
  if (r.status != 0) return std::nullopt;
  Spoken spoken;
  spoken.wav = wav;
  std::istringstream lines(r.out);
  std::string word;
  double start;
  while (lines >> word >> start) spoken.words.push_back({lowerWord(word), start * 1000.0});
  auto length = runProcess({"/usr/bin/soxi", "-D", wav});
  spoken.seconds = std::atof(length.out.c_str());
  if (spoken.words.empty() || spoken.seconds <= 0) return std::nullopt;
  return spoken;
}

// A mono file at rate: for each piece, silence up to its start (seconds from
// the file's start), then the piece; then `tail` seconds of silence. False
// when sox fails or pieces overlap.
struct Placed {
  const Spoken* spoken;
  double atSeconds;
};
inline bool compose(const std::string& out, const std::vector<Placed>& pieces, double tail, int rate = 16000) {
  std::vector<std::string> words = {"/usr/bin/sox"};
  double at = 0;
  int n = 0;
  auto silence = [&](double seconds) {
    std::string file = out + ".sil" + std::to_string(n++) + ".wav";
    runProcess({"/usr/bin/sox", "-n", "-r", std::to_string(rate), "-c", "1", "-b", "16", file, "trim", "0",
                std::to_string(seconds)});
    words.push_back(file);
  };
  for (const auto& p : pieces) {
    if (p.atSeconds < at) return false;
    if (p.atSeconds > at) silence(p.atSeconds - at);
    std::string converted = out + ".part" + std::to_string(n++) + ".wav";
    if (runProcess({"/usr/bin/sox", p.spoken->wav, "-r", std::to_string(rate), "-c", "1", "-b", "16", converted}).status != 0)
      return false;
    words.push_back(converted);
    at = p.atSeconds + p.spoken->seconds;
  }
  silence(tail);
  words.push_back(out);
  return runProcess(words).status == 0;
}

// Installs en-US into the model store under xdgDataHome with the program's
// own speech-install; true when it says so.
inline bool installEnglish(const std::string& program, const std::string& xdgDataHome) {
  ProcessOptions options;
  options.setEnv["XDG_DATA_HOME"] = xdgDataHome;
  auto r = runProcess({program, "speech-install", "en-US"}, options);
  return r.out == "{\"installed\":true}\n";
}

// The two sentences of the speech tests, spoken once, and en-US installed
// into a model store beside them: what the tests of one executable share.
struct SpeechMaterial {
  explicit SpeechMaterial(const std::string& program)
      : first(say("Please send the budget report by Friday.", dir / "first.wav")),
        second(say("The quick brown fox jumped over the lazy dog.", dir / "second.wav")),
        installed(installEnglish(program, dataHome())) {}
  // XDG_DATA_HOME of the model store.
  std::string dataHome() const { return dir / "data"; }

  TempDir dir;
  std::optional<Spoken> first, second;
  bool installed;
};

// The final "speech" events of a track among parsed events.
inline std::vector<nlohmann::json> finalsOf(const std::vector<nlohmann::json>& speech, const std::string& track) {
  std::vector<nlohmann::json> out;
  for (const auto& e : speech)
    if (e["track"] == track && e["final"] == true) out.push_back(e);
  return out;
}

}  // namespace lumeno::test
