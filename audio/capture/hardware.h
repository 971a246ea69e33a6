// Questions to the audio hardware and the process table: the default devices,
// a microphone by its UID, device names, and the audio-producing processes of
// this program's family. Stateless; callable from any thread. Every failure,
// including an audio server that cannot be reached, is an empty answer.
//
// Audio objects are named by unsigned 32-bit IDs, 0 naming none. On the audio
// server an ID carries the kind of object in its top four bits and the
// server's index plus one below: sources (recording devices), sinks (playback
// devices) and sink inputs (a process's playback streams, the process objects).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/platform/dispatch.h"

namespace lumeno {

using AudioObjectID = uint32_t;

constexpr uint32_t fourCC(const char (&c)[5]) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 |
         uint32_t(uint8_t(c[3]));
}

// Selectors and scopes of the properties asked about.
constexpr uint32_t kGlobalScope = fourCC("glob");
constexpr uint32_t kInputScope = fourCC("inpt");
constexpr uint32_t kName = fourCC("lnam");             // a device's name people see
constexpr uint32_t kUID = fourCC("uid ");              // a device's persistent UID
constexpr uint32_t kNominalRate = fourCC("nsrt");      // a device's sample rate
constexpr uint32_t kTapFormat = fourCC("tfmt");        // a tap's stream format
constexpr uint32_t kDefaultOutput = fourCC("dOut");
constexpr uint32_t kDefaultInput = fourCC("dIn ");
constexpr uint32_t kDevices = fourCC("#dev");

struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = kGlobalScope;
  uint32_t element = 0;
  bool operator==(const PropertyAddress&) const = default;
};

PropertyAddress address(uint32_t selector, uint32_t scope = kGlobalScope);

enum class AudioObjectKind : uint32_t { none = 0, source = 1, sink = 2, process = 3 };

// The ID of the server object of that kind and index; 0 for an index too
// large to carry.
AudioObjectID objectID(AudioObjectKind kind, uint32_t index);
AudioObjectKind kindOf(AudioObjectID object);
// The server index an ID carries; none for 0.
std::optional<uint32_t> indexOf(AudioObjectID object);

// Every audio process object (a playback stream of some process), in the
// order the server lists them.
std::vector<AudioObjectID> audioProcesses();
// The PID of a process object; 0 when unknown.
pid_t pidOf(AudioObjectID process);
// The first process object of that PID; none when it plays nothing.
std::optional<AudioObjectID> processObject(pid_t pid);
// The parent's PID from /proc; 0 when unknown.
pid_t parentPid(pid_t pid);
// True for this program, its parent (the desktop application) and the
// parent's other children; false for an unknown PID (0).
bool inFamily(pid_t pid);
// The process objects of the family, in no particular order.
std::vector<AudioObjectID> lumenoProcesses();

// The UID (sink name) of the default output device.
std::optional<std::string> defaultOutputUID();
// A string property of a device: kName or kUID.
std::optional<std::string> stringProp(AudioObjectID object, uint32_t selector);
// The default input device; none when there is none or it is the monitor of
// a playback device.
std::optional<AudioObjectID> defaultInput();
// Runs handler on queue after every change of a property of the audio
// system: kDefaultInput, kDefaultOutput or kDevices (a recording device came
// or went). Other selectors are not watched. The registration is never removed.
void listenToSystem(uint32_t selector, SerialQueue& queue, std::function<void()> handler);

// The recording device with that UID; monitors of playback devices are never
// microphones, so a monitor's name gives none, as does an unknown one.
std::optional<AudioObjectID> micDevice(const std::string& uid);

}  // namespace lumeno
