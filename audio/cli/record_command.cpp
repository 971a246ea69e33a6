// The record command driver: from an accepted command line to a running
// recording. It holds the folder for the recording, places the part, writes
// its metadata, settles microphone permission, makes the Recorder, queues its
// start, starts the command reader and gives the main thread away. The
// recording ends only through Recorder::finish(), which exits the process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/capture/permissions.h"
#include "audio/cli/command_reader.h"
#include "audio/cli/commands.h"
#include "audio/folder/folder_lock.h"
#include "audio/folder/parts.h"
#include "audio/recorder/recorder.h"

namespace lumeno {

namespace {

namespace fs = std::filesystem;

// The recorder of this run; made once, never destroyed.
Recorder* recorder = nullptr;

// The part this run records. A part whose audio files already exist (the
// parent started it twice) is recorded under the next free number instead,
// so that neither the old files nor the new audio are lost and join finds
// both.
int64_t placePart(const fs::path& dir) {
  if (!partHasAudio(dir, part)) return part;
  int64_t moved = nextFreePart(dir);
  log("part " + std::to_string(part) + " is already recorded in " + dir.string() + ": recording it as part " +
      std::to_string(moved));
  send({{"t", "warn"}, {"code", "part-exists"}});
  return moved;
}

void writePartMetadata(const fs::path& dir, int64_t number) {
  if (number < 1) return;
  std::string text = serialise(Json{{"startMs", startOffsetMs}});
  std::ofstream(partMetadataFile(dir, number), std::ios::binary | std::ios::trunc) << text;
}

void settleMicPermission() {
  switch (micAuthorizationStatus()) {
    case MicAuthorization::restricted:
    case MicAuthorization::denied:
      log("no microphone access: allow Lumeno in System Settings, Privacy & Security, Microphone");
      send({{"t", "warn"}, {"code", "no-mic"}});
      break;
    case MicAuthorization::notDetermined: {
      if (hasFlag("--mic-muted")) break;  // a recording that starts muted does not ask
      Semaphore answered(0);
      bool granted = false;
      requestMicAccess([&](bool answer) {
        granted = answer;
        answered.signal();
      });
      answered.wait();
      if (!granted) send({{"t", "warn"}, {"code", "no-mic"}});
      break;
    }
    default:
      break;
  }
}

int stopSignalPipe[2] = {-1, -1};

void onStopSignal(int sig) {
  // A second signal of the same kind ends the process at once.
  signal(sig, SIG_DFL);
  char byte = 1;
  ssize_t ignored = ::write(stopSignalPipe[1], &byte, 1);
  (void)ignored;
}

// SIGTERM, SIGINT and SIGHUP stop the recording in order, like "stop"; so
// does the reader of standard output going away. A failed event write would
// notice that too, but only at the next event, up to a buffer later; the
// hang-up is seen the moment it happens, so the files end where the parent
// let go.
void finishOnStopSignals() {
  if (pipe2(stopSignalPipe, O_CLOEXEC) != 0) return;
  std::thread([] {
    pollfd watched[] = {{stopSignalPipe[0], POLLIN, 0}, {1, 0, 0}};
    for (;;) {
      if (poll(watched, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (watched[0].revents != 0 || (watched[1].revents & (POLLERR | POLLHUP)) != 0) break;
      // Standard output that is not open at all says nothing more; stop
      // asking about it.
      if (watched[1].revents & POLLNVAL) watched[1].fd = -1;
    }
    work->async([] { recorder->finish(); });
  }).detach();
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

}  // namespace

void recordCommand(const fs::path& dir) {
  if (holdForRecording(dir) == FolderLock::busy) log("record: " + dir.string() + " is being joined or compacted");
  int64_t number = placePart(dir);
  writePartMetadata(dir, number);
  settleMicPermission();

  recorder = new Recorder(dir, number);
  setWriteFailureHandler([] { recorder->finish(); });
  work->async([] { recorder->start(); });
  std::thread([] {
    readCommands(
        0, [](std::string line) { work->async([line = std::move(line)] { recorder->command(line); }); },
        [] { work->async([] { recorder->finish(); }); });
  }).detach();
  finishOnStopSignals();
  parkForever();
}

}  // namespace lumeno
