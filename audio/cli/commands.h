// The subcommands that the command-line dispatch hands control to. Each is
// defined beside the subsystem it drives.
#pragma once

#include <filesystem>
#include <string>

#include "audio/platform/dispatch.h"

namespace lumeno {

inline constexpr const char* usageText =
    "usage: lumeno-audio record --dir DIR [--part N --start-ms X] [--speech LOCALE] | join --dir DIR | "
    "inspect --dir DIR | compact --dir DIR --out STAGING | speech-locales | speech-install LOCALE";

// Dispatches args to one subcommand; never returns.
[[noreturn]] void runCommandLine();

// writer-probe, after dispatch checked test mode and the three paths.
[[noreturn]] void writerProbe();
// speech-clock RATE: replays buffer times from standard input.
[[noreturn]] void speechClockProbe(double rate);
// decode FILE: 16 kHz mono float32 samples on standard output.
[[noreturn]] void decodeProbe(const std::string& file);

// The record command driver, once dir exists; never returns.
[[noreturn]] void recordCommand(const std::filesystem::path& dir);

// Whether an on-device recogniser is built in; without one the speech
// commands give their fallback answers.
bool speechAvailable();
// speech-locales / speech-install with a recogniser; signals when done.
void speechModelTask(Semaphore& done);
// speech-file LOCALE FILE with a recogniser; signals when done.
void speechFileTask(const std::string& locale, const std::string& file, Semaphore& done);

}  // namespace lumeno
