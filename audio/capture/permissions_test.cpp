#include "audio/capture/permissions.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/base/globals.h"

namespace lumeno {
namespace {

// Environment variables set for one case and removed afterwards.
struct Env {
  std::vector<std::string> names;
  Env(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (auto [k, v] : values) {
      setenv(k, v, 1);
      names.push_back(k);
    }
  }
  ~Env() {
    for (const auto& n : names) unsetenv(n.c_str());
  }
};

// Each case runs in a child process so that a request's answer, which sticks
// for the process, does not carry into the next case.
TEST(Permissions, AnswersWithoutAConsentServiceAndAsTheHarnessForcesThem) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> env;
    int64_t preflight;
    bool capture;
    MicAuthorization mic;
    bool micGranted;
    int64_t preflightAfter;
    MicAuthorization micAfter;
  };
  const std::vector<Case> cases = {
      {{}, 2, true, MicAuthorization::authorized, true, 0, MicAuthorization::authorized},
      {{{"LUMENO_TEST_AUDIO_CAPTURE", "denied"}}, 1, true, MicAuthorization::authorized, true, 0,
       MicAuthorization::authorized},
      {{{"LUMENO_TEST_AUDIO_CAPTURE", "granted"}}, 0, true, MicAuthorization::authorized, true, 0,
       MicAuthorization::authorized},
      {{{"LUMENO_TEST_AUDIO_CAPTURE", "undetermined"}, {"LUMENO_TEST_AUDIO_CAPTURE_REQUEST", "refuse"}}, 2, false,
       MicAuthorization::authorized, true, 1, MicAuthorization::authorized},
      {{{"LUMENO_TEST_MIC", "denied"}}, 2, true, MicAuthorization::denied, true, 0, MicAuthorization::authorized},
      {{{"LUMENO_TEST_MIC", "restricted"}}, 2, true, MicAuthorization::restricted, true, 0,
       MicAuthorization::authorized},
      {{{"LUMENO_TEST_MIC", "not-determined"}, {"LUMENO_TEST_MIC_REQUEST", "refuse"}}, 2, true,
       MicAuthorization::notDetermined, false, 0, MicAuthorization::denied},
      {{{"LUMENO_TEST_MIC", "nonsense"}}, 2, true, MicAuthorization::authorized, true, 0,
       MicAuthorization::authorized},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EXIT(
        {
          Env env({});
          for (auto [k, v] : c.env) setenv(k, v, 1);
          bool ok = audioCapturePermission() == c.preflight && micAuthorizationStatus() == c.mic;
          int calls = 0;
          requestAudioCapture([&](bool granted) {
            ok = ok && granted == c.capture;
            ++calls;
          });
          requestMicAccess([&](bool granted) {
            ok = ok && granted == c.micGranted;
            ++calls;
          });
          ok = ok && calls == 2 && audioCapturePermission() == c.preflightAfter && micAuthorizationStatus() == c.micAfter;
          std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "case " << i;
  }
}

TEST(Permissions, TheHarnessVariablesCountOnlyInTestMode) {
  EXPECT_EXIT(
      {
        setenv("LUMENO_TEST_AUDIO_CAPTURE", "denied", 1);
        setenv("LUMENO_TEST_MIC", "denied", 1);
        testing = false;
        bool ok = audioCapturePermission() == 2 && micAuthorizationStatus() == MicAuthorization::authorized;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace lumeno
