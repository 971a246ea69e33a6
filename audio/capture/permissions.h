// Capture permissions. This platform has no consent service: system-audio
// capture is "not yet decided" and a request grants it at once; the
// microphone is authorised. In test mode only, the test harness may force
// other answers through the environment, read at each call:
//   LUMENO_TEST_AUDIO_CAPTURE = granted | denied | undetermined
//   LUMENO_TEST_AUDIO_CAPTURE_REQUEST = refuse
//   LUMENO_TEST_MIC = authorized | denied | restricted | not-determined
//   LUMENO_TEST_MIC_REQUEST = refuse
// A request's answer sticks for the rest of the process, as a user's does.
#pragma once

#include <cstdint>
#include <functional>

namespace lumeno {

// System-audio permission: 0 granted, 1 denied, anything else not yet decided.
int64_t audioCapturePermission();
// Asks for system-audio permission and calls done once with the answer.
void requestAudioCapture(std::function<void(bool granted)> done);

enum class MicAuthorization : int64_t { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

MicAuthorization micAuthorizationStatus();
// Asks for microphone access and calls done once with the answer.
void requestMicAccess(std::function<void(bool granted)> done);

}  // namespace lumeno
