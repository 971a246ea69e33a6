#include "audio/capture/hardware.h"

#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "audio/platform/pulse.h"

namespace lumeno {

namespace {

constexpr uint32_t kIndexBits = 28;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;

pulse::Connection& server() { return pulse::Connection::shared(); }

std::optional<pulse::Device> deviceOf(AudioObjectID object) {
  auto index = indexOf(object);
  if (!index) return std::nullopt;
  switch (kindOf(object)) {
    case AudioObjectKind::source:
      return server().sourceAt(*index);
    case AudioObjectKind::sink:
      return server().sinkAt(*index);
    default:
      return std::nullopt;
  }
}

}  // namespace

PropertyAddress address(uint32_t selector, uint32_t scope) { return {selector, scope, 0}; }

AudioObjectID objectID(AudioObjectKind kind, uint32_t index) {
  if (kind == AudioObjectKind::none || index >= kIndexMask) return 0;
  return uint32_t(kind) << kIndexBits | (index + 1);
}

AudioObjectKind kindOf(AudioObjectID object) {
  uint32_t kind = object >> kIndexBits;
  if (object == 0 || kind > uint32_t(AudioObjectKind::process)) return AudioObjectKind::none;
  return AudioObjectKind(kind);
}

std::optional<uint32_t> indexOf(AudioObjectID object) {
  if (kindOf(object) == AudioObjectKind::none || (object & kIndexMask) == 0) return std::nullopt;
  return (object & kIndexMask) - 1;
}

std::vector<AudioObjectID> audioProcesses() {
  std::vector<AudioObjectID> out;
  for (const auto& input : server().sinkInputs().value_or(std::vector<pulse::SinkInput>{}))
    if (auto id = objectID(AudioObjectKind::process, input.index)) out.push_back(id);
  return out;
}

pid_t pidOf(AudioObjectID process) {
  auto index = indexOf(process);
  if (!index || kindOf(process) != AudioObjectKind::process) return 0;
  for (const auto& input : server().sinkInputs().value_or(std::vector<pulse::SinkInput>{}))
    if (input.index == *index) return input.pid;
  return 0;
}

std::optional<AudioObjectID> processObject(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  for (const auto& input : server().sinkInputs().value_or(std::vector<pulse::SinkInput>{}))
    if (input.pid == pid) return objectID(AudioObjectKind::process, input.index);
  return std::nullopt;
}

pid_t parentPid(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) return 0;
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses.
  auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 1));
  std::string state;
  long ppid = 0;
  if (!(rest >> state >> ppid)) return 0;
  return pid_t(ppid);
}

bool inFamily(pid_t p) {
  pid_t ppid = getppid();
  return p > 0 && (p == getpid() || p == ppid || (ppid > 0 && parentPid(p) == ppid));
}

std::vector<AudioObjectID> lumenoProcesses() {
  std::set<AudioObjectID> family;
  // One listing for all: it is read again whenever a playback stream appears.
  for (const auto& input : server().sinkInputs().value_or(std::vector<pulse::SinkInput>{})) {
    AudioObjectID object = objectID(AudioObjectKind::process, input.index);
    if (object && inFamily(input.pid)) family.insert(object);
  }
  return {family.begin(), family.end()};
}

std::optional<std::string> defaultOutputUID() {
  auto info = server().serverInfo();
  if (!info || info->defaultSink.empty()) return std::nullopt;
  if (!server().sink(info->defaultSink)) return std::nullopt;
  return info->defaultSink;
}

std::optional<std::string> stringProp(AudioObjectID object, uint32_t selector) {
  if (selector != kName && selector != kUID) return std::nullopt;
  auto device = deviceOf(object);
  if (!device) return std::nullopt;
  return selector == kName ? device->description : device->name;
}

std::optional<AudioObjectID> defaultInput() {
  auto info = server().serverInfo();
  if (!info || info->defaultSource.empty()) return std::nullopt;
  auto source = server().source(info->defaultSource);
  if (!source || source->isMonitor) return std::nullopt;
  AudioObjectID id = objectID(AudioObjectKind::source, source->index);
  if (id == 0) return std::nullopt;
  return id;
}

std::optional<AudioObjectID> micDevice(const std::string& uid) {
  if (uid.empty()) return std::nullopt;
  auto source = server().source(uid);
  if (!source || source->isMonitor || source->channels == 0) return std::nullopt;
  AudioObjectID id = objectID(AudioObjectKind::source, source->index);
  if (id == 0) return std::nullopt;
  return id;
}

void listenToSystem(uint32_t selector, SerialQueue& queue, std::function<void()> handler) {
  pulse::Notice wanted;
  switch (selector) {
    case kDefaultInput: wanted = pulse::Notice::defaultInputChanged; break;
    case kDefaultOutput: wanted = pulse::Notice::defaultOutputChanged; break;
    case kDevices: wanted = pulse::Notice::deviceListChanged; break;
    default: return;
  }
  server().listen(queue, [wanted, handler = std::move(handler)](pulse::Notice notice) {
    if (notice == wanted) handler();
  });
}

}  // namespace lumeno
