#include "audio/cli/start_up.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/base/globals.h"

namespace lumeno {

void startUp(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stderr, nullptr, _IONBF, 0);
  // The queues live for the whole process and are never destroyed.
  outQ = new SerialQueue("lumeno.out");
  work = new SerialQueue("lumeno.work");
  args.assign(argv, argv + argc);
  auto partText = argValue("--part");
  part = partText ? parseInteger(*partText).value_or(0) : 0;
  auto startText = argValue("--start-ms");
  startOffsetMs = startText ? parseStartMs(*startText).value_or(0) : 0;
  startedHost = hostNow();
  hostMsPerTick = 1e-6;  // the host clock counts nanoseconds
  system = 1;
  const char* test = std::getenv("LUMENO_AUDIO_TEST");
  testing = test != nullptr && std::strcmp(test, "1") == 0;
}

}  // namespace lumeno
