// Test entry point: the process-wide values are set up as in the program
// itself, in test mode.
#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/base/globals.h"
#include "audio/cli/start_up.h"

int main(int argc, char** argv) {
  setenv("LUMENO_AUDIO_TEST", "1", 1);
  testing::InitGoogleTest(&argc, argv);
  lumeno::startUp(argc, argv);
  return RUN_ALL_TESTS();
}
