// Subcommands that are not built yet answer with the usage text.
#include "audio/base/events.h"
#include "audio/cli/commands.h"
#include "audio/platform/dispatch.h"

namespace lumeno {

void speechClockProbe(double) { fail(usageText); }
bool speechAvailable() { return false; }
void speechModelTask(Semaphore& done) { done.signal(); }
void speechFileTask(const std::string&, const std::string&, Semaphore& done) { done.signal(); }

}  // namespace lumeno
