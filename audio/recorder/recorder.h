// The Recorder: one part of a recording, from start() to the exit of the
// process.
//
// It owns the tracks "me" (the microphone) and "them" (what other
// applications play) and the two capture sources that feed them. It routes
// captured buffers into the tracks, reports both levels ten times a second,
// keeps "me" running through silence while the microphone is muted, obeys the
// control commands, supervises both devices (retries, rebuilds, fallbacks)
// and finally closes everything in a fixed order.
//
// The record driver makes the one Recorder on the main thread and queues
// start() on the work queue. From then on every method and every field is
// touched on the work queue only: start(), the buffer routing, the level tick,
// commands, server notices, delayed rebuilds and finish(). The queue is the
// recorder's only lock. The sources' threads only copy what they captured and
// hop onto the queue.
//
// The methods are spread over one file per concern: recorder.cpp (the core),
// control_commands.cpp, mic_supervision.cpp, system_supervision.cpp and
// speech_orchestration.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "audio/capture/mic.h"
#include "audio/capture/system_audio.h"
#include "audio/platform/dispatch.h"
#include "audio/platform/recogniser.h"
#include "audio/track/track.h"

namespace lumeno {

class LiveSpeech;

class Recorder {
 public:
  // The tracks of part `partNumber` in dir and both sources; starts nothing.
  // On the main thread.
  Recorder(const std::filesystem::path& dir, int64_t partNumber);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Opens both files, starts the microphone, system audio, the level timer and
  // the device notices. Once, on the work queue.
  void start();
  // The one way a recording ends: stops the sources, evens out and closes both
  // files, then runs `ended` on outQ after every event sent before. Calls after
  // the first do nothing.
  void finish();

  // One line of the command language (already trimmed, not empty).
  void command(const std::string& line);
  // Mutes or unmutes the microphone and answers with a "mic-muted" event.
  // inputReady is asked once, and only for an unmute that changes the state.
  void setMicMuted(bool muted, int64_t id, const std::function<bool()>& inputReady);

  // Microphone supervision.
  // After a failed start: counts it and schedules a rebuild with back-off.
  void retryMic();
  // Sends the "mic" event for the current choice.
  void reportMic();
  // A stop-and-start of the microphone `after` seconds from now, replacing
  // any rebuild already pending.
  void rebuildMic(double after = 0.3);
  // Brings the current engine back after it stopped; else rebuilds.
  void restartMic();
  // The user picked a microphone: a UID, or "auto" for the default input.
  void chooseMic(const std::string& uid);

  // System-audio supervision.
  // Asks for the permission where it is still open and starts the capture.
  void startSystem();
  // A stop-and-start of the capture 0.3 s from now, replacing any pending one.
  void rebuildSystem();

  // Live transcription.
  // Transcribes the chosen tracks (with micOnly only "me", as after an
  // unmute) with the installed model that serves locale best; answers with
  // "speech-ready" or "speech-off". Returns at once: the models load on a
  // thread of its own, and what it changes is handed back to the work queue.
  void startSpeech(const std::string& locale, bool micOnly);
  // The mute step: "me"'s transcription gets no more audio and is finished.
  void endMicSpeech();

  // Runs handler on the work queue whenever the audio system's property
  // (kDefaultInput, kDefaultOutput, kDevices) changes. Never removed.
  void listen(uint32_t selector, std::function<void()> handler);

  std::shared_ptr<Track> me;
  std::shared_ptr<Track> them;
  std::unique_ptr<Mic> mic;
  std::unique_ptr<SystemAudio> sys;
  bool micMuted = false;
  // Program time (ms) from which microphone audio is taken again after an
  // unmute; never cleared.
  std::optional<double> micFrom;
  bool paused = false;
  bool finishing = false;  // never reset
  bool sysAllowed = true;  // false once system-audio permission was refused
  std::unique_ptr<RepeatingTimer> timer;
  WorkItemRef micRebuild;
  WorkItemRef sysRebuild;
  int64_t micTries = 0;  // failed microphone starts in a row
  // Failed system-audio starts in a row; while above 0 the capture is being
  // tried again with back-off.
  int64_t sysTries = 0;
  std::optional<std::string> micUID;  // none: follow the default input
  // Running live transcriptions by track name.
  std::map<std::string, std::shared_ptr<LiveSpeech>> speech;
  int64_t micSpeechGeneration = 0;  // raised at every mute
  // Makes the analysers of live transcription (tests give their own).
  SpeechAnalyzerFactory speechAnalyzers = makeSpeechAnalyzer;
  // How long finish() waits at most for transcription's final results.
  double speechFinishSeconds = 4.0;
  // What runs on outQ once both files are closed; exits the process.
  Block ended;

 private:
  void routeMic(PcmBuffer& buffer, std::optional<double> heardMs);
  void routeSystem(PcmBuffer& buffer, std::optional<double> heardMs);
  void levelTick();
  // Puts a started transcription on its track, unless it came too late.
  void attachSpeech(const std::shared_ptr<Track>& track, int64_t generation, const std::shared_ptr<LiveSpeech>& live);
  // "speech-ready" with the transcribed tracks, or "speech-off".
  void reportSpeech(bool micOnly);
  // Gives the running transcriptions at most speechFinishSeconds to deliver
  // their final results, holding closing_ open meanwhile.
  void finishSpeech();
  // The microphone runs and may be recorded.
  bool micInputReady() const;
  // One attempt at (re)starting system audio, the body of every rebuild.
  void resetSystem();
  // Schedules the next system-audio attempt after a failed one.
  void retrySystem();

  Group closing_;  // both writers finishing
};

// Seconds until the next attempt after `tries` failed starts in a row:
// 1, 2, 4, then 5 for ever.
double retryDelay(int64_t tries);

// Cuts away, in place, the frames of a mono buffer heard before fromMs (the
// moment of an unmute), and moves heardMs to the first frame kept. False when
// nothing is left to keep, or when the buffer has no heard time to tell.
bool cutHeardBefore(PcmBuffer& buffer, std::optional<double>& heardMs, double fromMs);

// The program time of a mute change: now, but never before the end of what
// the "me" file already holds (pts frames at 48 kHz), rounded up so that its
// recording time (startOffsetMs + the result) is a whole millisecond.
double micChangeMs(double nowMs, int64_t mePts, double startOffsetMs);

}  // namespace lumeno
