// The test audio server harness: a private audio server (never the user's),
// PulseAudio or PipeWire with its pulse server, known signals played into its
// sinks, and device changes made with pactl. The CTest fixture "audio_server" starts one shared server per test
// run and gives its address to the tests in PULSE_SERVER; a test that has to
// stop a server starts one of its own with AudioServer.
//
// The server (scripts/audio-server.sh) has the sink "test_speakers" (48 kHz
// stereo, the default output) and the source "test_mic" (48 kHz mono, the
// default input), which records what is played into the sink "test_mic_in".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/process.h"

namespace lumeno::test {

inline const std::string kSpeakers = "test_speakers";
inline const std::string kMicSink = "test_mic_in";
inline const std::string kMic = "test_mic";

// The kind of server the tests run against: LUMENO_TEST_AUDIO_SERVER,
// "pulseaudio" (the default) or "pipewire".
std::string serverKind();

// A server of its own in a folder, of serverKind(); stopped by process id on
// destruction. On PipeWire its process id is that of its pulse server.
class AudioServer {
 public:
  explicit AudioServer(std::string dir);
  ~AudioServer();
  AudioServer(const AudioServer&) = delete;
  AudioServer& operator=(const AudioServer&) = delete;

  // Starts it and waits until it is ready; false when it did not come up.
  bool start();
  // Stops it; true when no process of it is left.
  bool stop();
  // "unix:<dir>/native", for PULSE_SERVER.
  std::string address() const;
  // The server's process id, 0 when not started.
  pid_t pid() const;

 private:
  std::string dir_;
};

// PipeWire only: runs the graph of the server in PULSE_SERVER at `hz` (0: at
// its own choice again), the way a desktop follows a player that asks for
// another rate. Devices that follow the graph report the new rate; null sinks
// keep theirs. False on PulseAudio.
bool setGraphRate(uint32_t hz);

// For a benchmark's main(): runs `run` with a server of its own in a
// temporary folder as PULSE_SERVER (never the user's) and returns its
// status; 1 with a message naming `who` when the server did not start.
int withOwnAudioServer(const std::string& who, const std::function<int()>& run);

// pactl with the given words against the server in PULSE_SERVER.
ProcessResult pactl(const std::vector<std::string>& words);

// Modules loaded into the server in PULSE_SERVER for as long as the object
// lives (a device plugged in); unloaded, last first, by unplug() or on
// destruction.
class Modules {
 public:
  // Each entry is the words after "load-module".
  explicit Modules(const std::vector<std::vector<std::string>>& modules);
  ~Modules() { unplug(); }
  Modules(const Modules&) = delete;
  Modules& operator=(const Modules&) = delete;

  // True when every module was loaded.
  bool loaded() const { return ok_; }
  void unplug();

 private:
  std::vector<std::string> indexes_;
  bool ok_ = true;
};

// A second microphone "test_mic2" (stereo, 44.1 kHz, described as
// "Second-microphone"), recording what is played into "test_mic2_in".
struct SecondMic : Modules {
  SecondMic();
};


// What the player plays.
struct Signal {
  std::string sink = kSpeakers;
  uint32_t rate = 48000;
  uint32_t channels = 1;
  double seconds = 1;
  double toneHz = 0;     // 0: silence
  double amplitude = 0.5;
  std::vector<uint64_t> clicksAtHost;  // CLOCK_MONOTONIC ns of 1 ms full-scale clicks
  // Further sinks that get the same signal at the same moments, each through
  // a stream of its own in the same player.
  std::vector<std::string> alsoSinks;
};

// A tone of that frequency and amplitude, for `seconds`.
Signal toneSignal(const std::string& sink, double hz, double amplitude, double seconds, uint32_t rate = 48000);
// Silence for `seconds` with a click at each of the moments.
Signal clickSignal(const std::string& sink, double seconds, std::vector<uint64_t> clicksAtHost);
// The same into the speakers and the microphone's input at once: each click
// reaches both tracks of a recording at the same moment. (A combining sink
// would do it with one stream, but the test server aborts when one is
// unloaded while something still plays into it.)
Signal clicksIntoBoth(double seconds, std::vector<uint64_t> clicksAtHost);

// A signal playing from a process outside the test's own process family (its
// parent is not the test), so that it counts as another application's sound.
class Player {
 public:
  // Starts playing; none when the player could not connect.
  static std::optional<Player> play(const Signal& signal);
  Player(Player&& other) noexcept;
  ~Player();  // stops it if it still plays

  pid_t pid() const { return pid_; }
  // The moments (CLOCK_MONOTONIC ns) the server plays the clicks at, as the
  // player placed them; waits until every click is placed or the player ends.
  std::vector<uint64_t> clickTimes(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until the player ends; false on timeout.
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void stop();

 private:
  Player(pid_t pid, int out) : pid_(pid), out_(out) {}
  // The next line the player printed; none at its end or after the deadline,
  // once the lines already read are taken.
  std::optional<std::string> nextLine(std::chrono::steady_clock::time_point deadline);
  pid_t pid_ = 0;
  int out_ = -1;
  std::string pending_;
};

// Starts a program detached from the test's process family (new session, its
// parent the system's); its standard output goes to *outFd when given.
// Returns its pid, or 0.
pid_t spawnDetached(const std::vector<std::string>& argv, int* outFd = nullptr);
// True while the process exists and is not a zombie.
bool processAlive(pid_t pid);
// SIGTERM, then SIGKILL after a while; true when it is gone.
bool stopProcess(pid_t pid);

}  // namespace lumeno::test
