#include <filesystem>
#include <system_error>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/cli/commands.h"
#include "audio/folder/compact.h"
#include "audio/folder/inspect.h"
#include "audio/folder/join.h"

namespace lumeno {

void runCommandLine() {
  size_t n = args.size();
  std::string command = n >= 2 ? args[1] : std::string();

  if (n >= 2 && command == "writer-probe") {
    if (testing && argValue("--dir") && argValue("--me") && argValue("--them")) writerProbe();
    fail("writer-probe requires LUMENO_AUDIO_TEST=1 and fixture paths");
  }
  if (n >= 3 && command == "speech-clock") {
    if (auto rate = parseNumber(args[2])) speechClockProbe(*rate);
  }
  if (n >= 3 && command == "decode") decodeProbe(args[2]);
  if (n >= 4 && command == "speech-file") {
    if (!speechAvailable()) fail("speech-file needs the on-device speech recogniser");
    Semaphore done(0);
    speechFileTask(args[2], args[3], done);
    done.wait(600);
    outQ->sync([] {});
    std::exit(0);
  }
  if (n >= 2 && (command == "speech-locales" || command == "speech-install")) {
    if (speechAvailable()) {
      Semaphore done(0);
      speechModelTask(done);
      done.wait(900);
      std::exit(0);
    }
    writeAll(command == "speech-locales" ? std::string_view("{\"available\":false,\"supported\":[],\"installed\":[]}\n")
                                         : std::string_view("{\"installed\":false}\n"));
    std::exit(0);
  }
  bool folderCommand = command == "record" || command == "join" || command == "inspect" || command == "compact";
  if (n >= 4 && folderCommand) {
    if (auto dirText = argValue("--dir")) {
      std::error_code ec;
      std::filesystem::path dir = std::filesystem::absolute(*dirText, ec);
      if (ec) dir = *dirText;
      if (command == "inspect") {
        inspectAudio(dir);
        std::exit(0);
      }
      if (command == "compact") {
        auto out = argValue("--out");
        if (!out) fail("compact: --out is required");
        std::filesystem::path staging = std::filesystem::absolute(*out, ec);
        if (ec) staging = *out;
        compactAudio(dir, staging);
        std::exit(0);
      }
      // join and record make the folder; a failure shows up later, not here.
      std::filesystem::create_directories(dir, ec);
      if (command == "join") std::exit(joinParts(dir));
      recordCommand(dir);
    }
  }
  fail(usageText);
}

}  // namespace lumeno
