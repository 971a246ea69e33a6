// Start-up of lumeno-audio: the first thing main() does.
#pragma once

namespace lumeno {

// Runs the start-up steps on the main thread, before any other thread exists:
// SIGPIPE ignored, standard error unbuffered, the two queues, the arguments,
// the clock, the test flag.
void startUp(int argc, char** argv);

}  // namespace lumeno
