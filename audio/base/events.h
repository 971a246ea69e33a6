// The event channel on standard output, the log on standard error, and the
// program clock.
//
// An event is a JSON object with its type under "t". On the wire it is compact
// JSON with keys sorted at every level and "/" written as "\/", one 0x0A, and
// for "pcm" events the raw payload. Events are serialised on the caller's
// thread and written in submission order on outQ, one buffer per event, so no
// two events' bytes ever interleave.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace lumeno {

using Json = nlohmann::json;

// The wire text of an event, without the line feed.
std::string serialise(const Json& event);

// Queues the event (and its payload) for standard output. Callable from any
// thread. A failed write hands the write-failure handler to work.
void send(const Json& event, std::span<const uint8_t> payload = {});

// Writes every byte to descriptor 1, retrying EINTR; false on any other error.
bool writeAll(std::span<const uint8_t> bytes);
bool writeAll(std::string_view text);

// What a failed event write asks for; runs on work. The recorder installs its
// finish() here; without one a failed write changes nothing.
void setWriteFailureHandler(std::function<void()> handler);

// One line on standard error, from the calling thread.
void log(std::string_view message);
// log(message), then exit status 1.
[[noreturn]] void fail(std::string_view message);

// Program time in ms.
double nowMs();
// Program time in ms of a host clock value; negative before start-up.
double hostMs(uint64_t host);

}  // namespace lumeno
