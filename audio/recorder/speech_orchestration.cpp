// Live transcription in the recorder: which tracks are transcribed, how each
// LiveSpeech is attached to its track's 16 kHz stream, the "speech-ready" and
// "speech-off" answers, the microphone's transcription ending at a mute, and
// the time transcription gets at the end.
//
// Starting a LiveSpeech loads a model and takes a while, so it runs on a
// thread of its own that touches no recorder state: every change of `speech`
// and of a track's onPcm16 goes back to the work queue.
#include <thread>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/platform/recogniser.h"
#include "audio/recorder/recorder.h"
#include "audio/speech/live_speech.h"

namespace lumeno {

namespace {

// finish() of a transcription, off the work queue; nobody waits for it.
void finishLater(std::shared_ptr<LiveSpeech> speech) {
  std::thread([speech] { speech->finish(); }).detach();
}

}  // namespace

void Recorder::startSpeech(const std::string& locale, bool micOnly) {
  if (!recogniserAvailable()) {
    log("speech: needs the on-device speech recogniser");
    send({{"t", "speech-off"}});
    return;
  }
  std::vector<std::shared_ptr<Track>> tracks;
  if (micOnly)
    tracks = {me};
  else if (micMuted)
    tracks = {them};
  else
    tracks = {me, them};
  int64_t generation = micSpeechGeneration;
  SpeechAnalyzerFactory factory = speechAnalyzers;
  std::thread([this, locale, micOnly, tracks, generation, factory] {
    std::vector<Locale> installed;
    for (const auto& id : installedSpeechModels()) installed.push_back(Locale::fromIdentifier(id));
    auto matched = speechLocale(locale, installed);
    if (!matched) {
      log("speech: " + locale + " is not installed");
      if (!micOnly) send({{"t", "speech-off"}});
      return;
    }
    for (const auto& track : tracks) {
      auto live = std::make_shared<LiveSpeech>(track->name, *matched, factory);
      if (live->start()) work->async([this, track, generation, live] { attachSpeech(track, generation, live); });
    }
    work->async([this, micOnly] { reportSpeech(micOnly); });
  }).detach();
}

void Recorder::attachSpeech(const std::shared_ptr<Track>& track, int64_t generation,
                            const std::shared_ptr<LiveSpeech>& live) {
  // Too late: the recording ends, or the microphone was muted while this
  // transcription was starting.
  if (finishing || (track == me && generation != micSpeechGeneration)) {
    finishLater(live);
    return;
  }
  speech[track->name] = live;
  // The offset makes track time recording time, the time of the "pcm" events.
  track->onPcm16 = [live](const PcmBuffer& buffer, double ms) { live->feed(buffer, ms + startOffsetMs); };
}

void Recorder::reportSpeech(bool micOnly) {
  if (speech.empty() && !micOnly) {
    send({{"t", "speech-off"}});
    return;
  }
  Json tracks = Json::array();
  for (const auto& [name, live] : speech) tracks.push_back(name);  // the map keeps them sorted
  send({{"t", "speech-ready"}, {"tracks", tracks}});
}

void Recorder::endMicSpeech() {
  me->onPcm16 = nullptr;
  if (!recogniserAvailable()) return;
  auto it = speech.find("me");
  if (it == speech.end()) return;
  std::shared_ptr<LiveSpeech> live = it->second;
  speech.erase(it);
  if (live) finishLater(live);
}

void Recorder::finishSpeech() {
  if (!recogniserAvailable() || speech.empty()) return;
  closing_.enter();
  // Whichever comes first, the transcriptions' end or the time limit, leaves
  // the group; both run on the work queue, so the flag needs no lock.
  auto left = std::make_shared<bool>(false);
  Block leaveOnce = [this, left] {
    if (*left) return;
    *left = true;
    closing_.leave();
  };
  std::vector<std::shared_ptr<LiveSpeech>> running;
  for (const auto& [name, live] : speech)
    if (live) running.push_back(live);
  std::thread([running, leaveOnce] {
    for (const auto& live : running) live->finish();
    work->async(leaveOnce);
  }).detach();
  work->asyncAfter(speechFinishSeconds, leaveOnce);
}

}  // namespace lumeno
