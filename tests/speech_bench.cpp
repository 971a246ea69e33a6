// Figures of live transcription; prints them, asserts nothing.
// scripts/bench-speech.sh runs both parts.
//
//   speech-bench record SECONDS   a two-track recording with speech playing
//                                 into both tracks, once without --speech and
//                                 once with it: CPU per second of audio and
//                                 peak memory per transcribed track, and the
//                                 latency of interim and final results
//   speech-bench accuracy         word error rate of `speech-file --live`
//                                 and of the live analyser under other
//                                 decoder settings, against batch decoding
//                                 of the same audio, with CPU per audio second
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <thread>

#include "audio/platform/recogniser.h"
#include "tests/audio_server.h"
#include "tests/media_fixtures.h"
#include "tests/recording.h"
#include "tests/speech_fixtures.h"
#include "tests/usage.h"

namespace lumeno::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

std::string program;  // lumeno-audio

// Read speech: sentences of the Harvard lists.
const std::vector<std::string> kSentences = {
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It's easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
    "The juice of lemons makes fine punch.",
    "The box was thrown beside the parked truck.",
    "The hogs were fed chopped corn and garbage.",
    "Four hours of steady work faced us.",
    "A large size in stockings is hard to sell.",
    "The boy was there when the sun rose.",
    "A rod is used to catch pink salmon.",
    "The source of the huge river is the clear spring.",
    "Kick the ball straight and follow through.",
    "Help the woman get back to her feet.",
    "A pot of tea helps to pass the evening.",
};

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  std::string w;
  while (in >> w)
    if (auto lw = lowerWord(w); !lw.empty()) words.push_back(lw);
  return words;
}

// Word errors (substitutions, insertions, deletions) of hyp against ref.
size_t wordErrors(const std::vector<std::string>& ref, const std::vector<std::string>& hyp) {
  std::vector<size_t> prev(hyp.size() + 1), cur(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
    std::swap(prev, cur);
  }
  return prev[hyp.size()];
}

double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// 16 kHz mono samples of a file.
std::vector<float> samples16(const std::string& wav) {
  auto r = runProcess({"/usr/bin/sox", wav, "-t", "raw", "-r", "16000", "-c", "1", "-e", "float", "-b", "32", "-"});
  std::vector<float> out(r.out.size() / 4);
  std::memcpy(out.data(), r.out.data(), out.size() * 4);
  return out;
}

struct Decoded {
  std::vector<std::string> words;
  double cpuPerAudioSecond = 0;
};

// The live analyser over the audio, 10 ms at a time as system audio comes.
Decoded decodeLive(const std::vector<float>& audio, const std::vector<std::string>& settings) {
  double before = processCpuSeconds();
  auto analyzer = makeTunedSpeechAnalyzer("en-US", settings);
  auto queue = std::make_shared<AnalyzerInputQueue>();
  std::string error;
  Decoded out;
  if (!analyzer->start(queue, &error)) {
    std::fprintf(stderr, "speech-bench: %s\n", error.c_str());
    return out;
  }
  auto results = analyzer->results();
  std::thread reader([&] {
    while (auto r = results->next())
      if (r->isFinal)
        for (const auto& w : wordsOf(r->plainText())) out.words.push_back(w);
  });
  for (size_t at = 0; at < audio.size(); at += 160) {
    uint32_t n = uint32_t(std::min<size_t>(160, audio.size() - at));
    auto b = PcmBuffer::make(mono16, n);
    b->setFrameLength(n);
    std::memcpy(b->floatData(0), audio.data() + at, n * 4);
    queue->yield({std::move(*b), MediaTime{int64_t(at), 16000}});
  }
  queue->finish();
  analyzer->finalizeAndFinishThroughEndOfInput(&error);
  reader.join();
  out.cpuPerAudioSecond = (processCpuSeconds() - before) / (double(audio.size()) / 16000);
  return out;
}

// The whole audio as one utterance, as batch decoding does.
Decoded decodeBatch(const std::vector<float>& audio, const std::vector<std::string>& settings) {
  Decoded out;
  std::string error;
  double before = processCpuSeconds();
  auto words = decodeWhole("en-US", audio, settings, &error);
  if (!words) {
    std::fprintf(stderr, "speech-bench: %s\n", error.c_str());
    return out;
  }
  out.cpuPerAudioSecond = (processCpuSeconds() - before) / (double(audio.size()) / 16000);
  out.words = *words;
  return out;
}

// The final words of `speech-file --live`.
std::vector<std::string> speechFileLive(const std::string& wav) {
  auto r = runProcess({program, "speech-file", "en-US", wav, "--live"});
  std::vector<std::string> words;
  for (const auto& e : finalsOf(ofType(eventsOf(r.out), "speech"), "them"))
    for (const auto& w : wordsOf(e["text"])) words.push_back(w);
  return words;
}

int accuracy() {
  TempDir tmp;
  if (!installEnglish(program, tmp / "data")) return 1;
  setenv("XDG_DATA_HOME", (tmp / "data").c_str(), 1);
  struct Voice {
    std::string name;
    std::string file;
    std::vector<std::string> reference;
  };
  std::vector<Voice> voices;
  // Festival's HTS voice, and espeak-ng's klatt voice, which is harder.
  {
    std::vector<Spoken> spoken;
    for (size_t i = 0; i < kSentences.size(); ++i)
      if (auto s = say(kSentences[i], tmp / ("f" + std::to_string(i) + ".wav"))) spoken.push_back(*s);
    std::vector<Placed> placed;
    double at = 0.5;
    Voice v{"festival-hts", tmp / "festival.wav", {}};
    for (const auto& s : spoken) {
      placed.push_back({&s, at});
      at += s.seconds + 1.0;
      for (const auto& w : s.words) v.reference.push_back(w.text);
    }
    if (!compose(v.file, placed, 1.0)) return 1;
    voices.push_back(v);
  }
  {
    std::string text;
    for (const auto& s : kSentences) text += s + " ";
    Voice v{"espeak-klatt", tmp / "klatt.wav", wordsOf(text)};
    runProcess({"/usr/bin/espeak-ng", "-s", "150", "-v", "en-us+klatt", "-w", v.file, text});
    voices.push_back(v);
  }

  // The recogniser's defaults, then one change at a time: a stricter voice
  // detector, a shorter hangover after speech (sooner finals), narrower
  // beams, no second pass, a phone lookahead window (cheaper search).
  const std::vector<std::pair<std::string, std::vector<std::string>>> settings = {
      {"defaults", {}},
      {"-vad_threshold 3.0", {"-vad_threshold", "3.0"}},
      {"-vad_postspeech 30", {"-vad_postspeech", "30"}},
      {"-beam 1e-60 -wbeam 1e-40", {"-beam", "1e-60", "-wbeam", "1e-40"}},
      {"-fwdflat no -bestpath no", {"-fwdflat", "no", "-bestpath", "no"}},
      {"-pl_window 10", {"-pl_window", "10"}},
  };
  for (const auto& v : voices) {
    auto audio = samples16(v.file);
    double seconds = double(audio.size()) / 16000;
    std::printf("== %s: %zu words, %.1f s of read speech\n", v.name.c_str(), v.reference.size(), seconds);
    auto wer = [&](const std::vector<std::string>& hyp) {
      return 100.0 * double(wordErrors(v.reference, hyp)) / double(v.reference.size());
    };
    auto live = speechFileLive(v.file);
    std::printf("  %-28s live WER %5.1f %%\n", "speech-file --live", wer(live));
    std::printf("  %-28s %14s %14s %16s %16s\n", "decoder settings", "live WER", "batch WER", "live CPU/audio s",
                "batch CPU/audio s");
    for (const auto& [name, s] : settings) {
      auto l = decodeLive(audio, s);
      auto b = decodeBatch(audio, s);
      std::printf("  %-28s %12.1f %% %12.1f %% %16.3f %16.3f\n", name.c_str(), wer(l.words), wer(b.words),
                  l.cpuPerAudioSecond, b.cpuPerAudioSecond);
    }
  }
  return 0;
}

// Plays a file into a sink over and over, from outside the test's process
// family, until stopped.
class Looper {
 public:
  Looper(std::string sink, std::string wav) : sink_(std::move(sink)), wav_(std::move(wav)) {
    thread_ = std::thread([this] {
      while (!stop_) {
        pid_t pid = spawnDetached({"/usr/bin/paplay", "-d", sink_, wav_});
        while (pid > 0 && processAlive(pid) && !stop_) std::this_thread::sleep_for(20ms);
        if (pid > 0) stopProcess(pid);
      }
    });
  }
  ~Looper() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::string sink_, wav_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int record(double seconds) {
  TempDir tmp;
  if (!installEnglish(program, tmp / "data")) return 1;
  auto a = say("Thanks everyone for joining. Let's go through the plan for next week. First the budget, then the "
               "launch date.", tmp / "a.wav");
  auto b = say("Sounds good to me. I can take the budget. The launch date depends on the tests.", tmp / "b.wav");
  if (!a || !b) return 1;
  // Speech with pauses between sentences, as in a conversation.
  std::string them = tmp / "them.wav", me = tmp / "me.wav";
  if (!compose(them, {{&*a, 0.3}, {&*b, 0.6 + a->seconds}}, 0.8, 48000) ||
      !compose(me, {{&*b, 0.5}, {&*a, 1.0 + b->seconds}}, 0.6, 48000))
    return 1;
  Looper themLoop(kSpeakers, them), meLoop(kMicSink, me);

  std::map<bool, Usage> usage;
  std::vector<double> interim, final;
  for (bool speech : {false, true}) {
    std::vector<std::string> extra;
    if (speech) extra = {"--speech", "en-US"};
    Recording rec(program, tmp / (speech ? "with" : "without"), extra, {{"XDG_DATA_HOME", tmp / "data"}});
    if (speech && !rec.waitForType("speech-ready", 60s)) return 1;
    if (!rec.waitForType("level")) return 1;
    auto clock = calibrate(rec);
    if (!clock) return 1;
    Usage start = usageOf(rec.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Usage end = usageOf(rec.pid());
    usage[speech] = {end.cpuSeconds - start.cpuSeconds, end.peakMB};
    rec.command("stop");
    if (rec.wait(120s).status != 0) return 1;
    if (!speech) continue;
    // Latency: from the end of a word to the first interim result that
    // holds it, and from the end of speech to its final result.
    auto events = rec.events();
    for (const auto& e : events) {
      if (e.event.type() != "speech" || e.event.json["final"] != true) continue;
      double arrived = (*clock)(e.arrivedNs);
      final.push_back(arrived - e.event.json["endMs"].get<double>());
      for (const auto& w : e.event.json["words"]) {
        for (const auto& i : events) {
          if (i.event.type() != "speech" || i.event.json["track"] != e.event.json["track"]) continue;
          bool holds = false;
          for (const auto& iw : i.event.json["words"])
            holds = holds || (iw["text"] == w["text"] &&
                              std::fabs(iw["startMs"].get<double>() - w["startMs"].get<double>()) < 60);
          if (!holds) continue;
          interim.push_back((*clock)(i.arrivedNs) - w["endMs"].get<double>());
          break;
        }
      }
    }
  }
  double perTrack = (usage[true].cpuSeconds - usage[false].cpuSeconds) / seconds / 2;
  std::printf("record %.0f s, speech into both tracks:\n", seconds);
  std::printf("  CPU without --speech      %6.3f of a core\n", usage[false].cpuSeconds / seconds);
  std::printf("  CPU with --speech         %6.3f of a core   (goal: the two tracks keep up on one core)\n",
              usage[true].cpuSeconds / seconds);
  std::printf("  transcription per track   %6.3f CPU s per audio s   (goal: at most 0.25)\n", perTrack);
  std::printf("  peak memory               %6.1f MB without, %6.1f MB with: %.1f MB per track   (goal: at most 120)\n",
              usage[false].peakMB, usage[true].peakMB, (usage[true].peakMB - usage[false].peakMB) / 2);
  std::printf("  interim latency after a word ends   median %5.0f ms, 90th %5.0f ms over %zu words   (goal: at most 1000)\n",
              median(interim), percentile(interim, 0.9), interim.size());
  std::printf("  final latency after speech stops    median %5.0f ms, 90th %5.0f ms over %zu results   (goal: at most 1500)\n",
              median(final), percentile(final, 0.9), final.size());
  return 0;
}

}  // namespace
}  // namespace lumeno::test

int main(int argc, char** argv) {
  using namespace lumeno::test;
  std::string what = argc >= 2 ? argv[1] : "";
  program = LUMENO_AUDIO_BIN;
  if (what == "accuracy") return accuracy();
  if (what == "record" && argc >= 3)
    return withOwnAudioServer("speech-bench", [&] { return record(std::atof(argv[2])); });
  std::fprintf(stderr, "usage: speech-bench record SECONDS | accuracy\n");
  return 2;
}
