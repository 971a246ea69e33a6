#include "audio/cli/commands.h"
#include "audio/cli/start_up.h"

int main(int argc, char** argv) {
  lumeno::startUp(argc, argv);
  lumeno::runCommandLine();
}
