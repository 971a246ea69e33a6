// Keeping system audio recording: the permission flow, rebuilds of the capture
// when the default output device or a rate changes (one per burst of
// notices), and attempts with back-off while the capture cannot start (the
// audio server restarting, no output device), so that "them" comes back by
// itself. The "them" track re-anchors at the first buffer after each
// rebuild, so the time the capture was down becomes silence in the file.
#include "audio/base/events.h"
#include "audio/capture/permissions.h"
#include "audio/recorder/recorder.h"

namespace lumeno {

namespace {

void warn(const char* code) { send({{"t", "warn"}, {"code", code}}); }

}  // namespace

void Recorder::startSystem() {
  int64_t permission = audioCapturePermission();
  if (permission == 0 || permission == 1) {
    if (permission == 1) sysAllowed = false;
    if (sysAllowed && sys->start()) return;
    warn("no-system-audio");
    if (sysAllowed) retrySystem();
    return;
  }
  requestAudioCapture([this](bool granted) {
    work->async([this, granted] {
      if (!granted) {
        sysAllowed = false;
        warn("no-system-audio");
        return;
      }
      if (finishing || sys->start()) return;
      warn("no-system-audio");
      retrySystem();
    });
  });
}

void Recorder::rebuildSystem() {
  if (sysRebuild) sysRebuild->cancel();
  sysRebuild = work->asyncAfter(0.3, [this] { resetSystem(); });
}

void Recorder::retrySystem() {
  ++sysTries;
  if (sysRebuild) sysRebuild->cancel();
  sysRebuild = work->asyncAfter(retryDelay(sysTries), [this] { resetSystem(); });
}

void Recorder::resetSystem() {
  if (finishing || !sysAllowed) return;
  sys->stop();
  them->resync();
  bool started = sys->start();
  // The parent hears of a capture that is lost once, and of every time it is
  // back; the attempts in between are quiet.
  bool firstFailure = sysTries == 0;
  if (!started && firstFailure) warn("no-system-audio");
  if (started || firstFailure) warn("device-changed");
  if (started)
    sysTries = 0;
  else
    retrySystem();
}

}  // namespace lumeno
