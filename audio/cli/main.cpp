#include "audio/cli/commands.h"
#include "audio/cli/globals.h"

int main(int argc, char** argv) {
  lumeno::startUp(argc, argv);
  lumeno::runCommandLine();
}
