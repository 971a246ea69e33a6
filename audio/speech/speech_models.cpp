// The speech-model commands: speech-locales tells which locales the
// recogniser supports and which are installed in the user's model store;
// speech-install LOCALE installs one. Both print one JSON line on standard
// output and always end with status 0.
#include <thread>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/cli/commands.h"
#include "audio/platform/recogniser.h"
#include "audio/speech/speech_locale.h"

namespace lumeno {

namespace {

std::vector<Locale> asLocales(const std::vector<std::string>& ids) {
  std::vector<Locale> out;
  for (const auto& id : ids) out.push_back(Locale::fromIdentifier(id));
  return out;
}

bool isInstalled(const std::string& bcp47) {
  for (const auto& id : installedSpeechModels())
    if (id == bcp47) return true;
  return false;
}

void printLine(const Json& answer) { writeAll(serialise(answer) + "\n"); }

void speechLocalesAnswer() {
  // Both lists come sorted from the model store.
  printLine({{"available", true}, {"supported", supportedSpeechModels()}, {"installed", installedSpeechModels()}});
}

void speechInstallAnswer() {
  const Json no = {{"installed", false}};
  if (args.size() < 3) return printLine(no);
  auto locale = speechLocale(args[2], asLocales(supportedSpeechModels()));
  if (!locale) return printLine(no);
  if (!isInstalled(locale->bcp47)) {
    // A failed installation shows in the final check.
    std::string ignored;
    installSpeechModel(locale->bcp47, &ignored);
  }
  // Reserving a model means nothing to this recogniser: every installed
  // model is this user's own.
  printLine({{"installed", isInstalled(locale->bcp47)}});
}

}  // namespace

bool speechAvailable() { return recogniserAvailable(); }

void speechModelTask(Semaphore& done) {
  std::thread([&done] {
    if (args[1] == "speech-locales")
      speechLocalesAnswer();
    else
      speechInstallAnswer();
    done.signal();
  }).detach();
}

}  // namespace lumeno
