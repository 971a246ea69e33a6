// Which microphone to record from, and keeping it recording: retries with
// back-off, delayed rebuilds that replace each other, restarts after the
// engine stopped, the user's choice and the fallback to the default input.
// The "me" track is re-anchored at every interruption, so the time the
// microphone was down becomes silence in the file.
#include "audio/base/events.h"
#include "audio/capture/hardware.h"
#include "audio/recorder/recorder.h"

namespace lumeno {

namespace {

void warn(const char* code) { send({{"t", "warn"}, {"code", code}}); }

}  // namespace

void Recorder::retryMic() {
  if (finishing) return;
  ++micTries;
  if (micTries >= 2 && micUID) {
    log("the chosen microphone won't start: using the default input");
    micUID.reset();
    warn("mic-gone");
  }
  rebuildMic(retryDelay(micTries));
}

void Recorder::rebuildMic(double after) {
  if (micRebuild) micRebuild->cancel();
  micRebuild = work->asyncAfter(after, [this] {
    if (finishing) return;
    if (micUID && !micDevice(*micUID)) {
      log("the chosen microphone went away: using the default input");
      micUID.reset();
      warn("mic-gone");
    }
    mic->stop();
    me->resync();
    mic->device = micUID ? micDevice(*micUID) : std::nullopt;
    if (mic->start()) {
      micTries = 0;
      if (micUID && !mic->device) {
        micUID.reset();
        warn("mic-gone");
      }
      warn("device-changed");
      reportMic();
    } else {
      if (micTries <= 2) log("microphone lost");
      retryMic();
    }
  });
}

void Recorder::restartMic() {
  if (finishing) return;
  me->resync();
  if (!micUID || micDevice(*micUID)) {
    if (mic->restart()) {
      warn("device-changed");
      reportMic();
      return;
    }
    log("restarting the microphone failed: building it again");
  }
  rebuildMic(0.3);
}

void Recorder::chooseMic(const std::string& uid) {
  std::optional<std::string> target;
  if (uid != "auto") target = uid;
  if (target && !micDevice(*target)) {
    log("no microphone " + uid + " here");
    reportMic();
    return;
  }
  if (target == micUID && mic->engine) {
    reportMic();
    return;
  }
  micUID = target;
  me->resync();
  auto device = target ? micDevice(*target) : std::nullopt;
  if (!device) device = defaultInput();
  if (device && mic->move(*device)) {
    // Following the default input means having no device of its own.
    if (!target) mic->device.reset();
    warn("device-changed");
    reportMic();
    return;
  }
  log("moving the microphone failed: building it again");
  rebuildMic(0);
}

void Recorder::reportMic() {
  auto device = mic->device ? mic->device : defaultInput();
  auto name = device ? stringProp(*device, kName) : std::nullopt;
  send({{"t", "mic"}, {"uid", micUID ? Json(*micUID) : Json(nullptr)}, {"name", name ? Json(*name) : Json(nullptr)}});
}

}  // namespace lumeno
