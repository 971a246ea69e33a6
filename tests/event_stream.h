// Reads lumeno-audio's event channel as the desktop application does: a JSON
// line, then for a "pcm" event exactly 4 x "n" bytes of samples.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumeno::test {

struct Event {
  nlohmann::json json;
  std::vector<float> samples;  // the payload of a "pcm" event

  std::string type() const { return json.value("t", ""); }
};

// A "warn" event with this code.
inline bool isWarn(const Event& e, const char* code) { return e.type() == "warn" && e.json["code"] == code; }

// Parses events from the front of bytes and removes what it parsed; an event
// whose line or payload is not complete yet stays in bytes. A line that is not
// JSON becomes an event with "t" set to "unparsable".
inline std::vector<Event> takeEvents(std::string& bytes) {
  std::vector<Event> events;
  size_t pos = 0;
  for (;;) {
    size_t eol = bytes.find('\n', pos);
    if (eol == std::string::npos) break;
    Event event;
    event.json = nlohmann::json::parse(bytes.substr(pos, eol - pos), nullptr, false);
    if (event.json.is_discarded() || !event.json.is_object()) event.json = {{"t", "unparsable"}};
    size_t next = eol + 1;
    if (event.type() == "pcm") {
      size_t n = event.json.value("n", size_t(0));
      if (next + n * 4 > bytes.size()) break;
      event.samples.resize(n);
      std::memcpy(event.samples.data(), bytes.data() + next, n * 4);
      next += n * 4;
    }
    events.push_back(std::move(event));
    pos = next;
  }
  bytes.erase(0, pos);
  return events;
}

// Every event of a whole output.
inline std::vector<Event> eventsOf(std::string bytes) { return takeEvents(bytes); }

// The events of one type, in order.
inline std::vector<nlohmann::json> ofType(const std::vector<Event>& events, const std::string& type) {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.type() == type) out.push_back(e.json);
  return out;
}

}  // namespace lumeno::test
