#include "audio/capture/permissions.h"

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "audio/base/globals.h"

namespace lumeno {

namespace {

// Answers given to requests so far: 0 none, 1 granted, 2 refused.
std::atomic<int> audioCaptureAnswer{0};
std::atomic<int> micAnswer{0};

std::string_view forced(const char* name) {
  if (!testing) return {};
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

int64_t audioCapturePermission() {
  int answer = audioCaptureAnswer.load();
  if (answer == 1) return 0;
  if (answer == 2) return 1;
  auto value = forced("LUMENO_TEST_AUDIO_CAPTURE");
  if (value == "granted") return 0;
  if (value == "denied") return 1;
  return 2;
}

void requestAudioCapture(std::function<void(bool granted)> done) {
  bool granted = forced("LUMENO_TEST_AUDIO_CAPTURE_REQUEST") != "refuse";
  audioCaptureAnswer.store(granted ? 1 : 2);
  done(granted);
}

MicAuthorization micAuthorizationStatus() {
  int answer = micAnswer.load();
  if (answer == 1) return MicAuthorization::authorized;
  if (answer == 2) return MicAuthorization::denied;
  auto value = forced("LUMENO_TEST_MIC");
  if (value == "denied") return MicAuthorization::denied;
  if (value == "restricted") return MicAuthorization::restricted;
  if (value == "not-determined") return MicAuthorization::notDetermined;
  return MicAuthorization::authorized;
}

void requestMicAccess(std::function<void(bool granted)> done) {
  bool granted = forced("LUMENO_TEST_MIC_REQUEST") != "refuse";
  micAnswer.store(granted ? 1 : 2);
  done(granted);
}

}  // namespace lumeno
