#include "audio/base/events.h"

#include <errno.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/base/globals.h"

namespace lumeno {

namespace {

// Never destroyed: exit() may run while outQ still fails a write.
std::mutex& handlerMutex = *new std::mutex;
std::function<void()>& writeFailureHandler = *new std::function<void()>;

void writeFailed() {
  std::function<void()> handler;
  {
    std::lock_guard lock(handlerMutex);
    handler = writeFailureHandler;
  }
  if (handler && work) work->async(handler);
}

// Whole-number floats are written as integers (5000, not 5000.0).
bool hasWholeFloat(const Json& value) {
  if (value.is_number_float()) {
    double d = value.get<double>();
    return std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15;
  }
  if (value.is_structured())
    for (const auto& item : value)
      if (hasWholeFloat(item)) return true;
  return false;
}

void wholeFloatsToIntegers(Json& value) {
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15) value = int64_t(d);
  } else if (value.is_structured()) {
    for (auto& item : value) wholeFloatsToIntegers(item);
  }
}

}  // namespace

std::string serialise(const Json& event) {
  // Keys come out sorted (the object is an ordered map); invalid UTF-8 from a
  // device name is replaced rather than allowed to throw.
  std::string text;
  if (hasWholeFloat(event)) {
    Json copy = event;
    wholeFloatsToIntegers(copy);
    text = copy.dump(-1, ' ', false, Json::error_handler_t::replace);
  } else {
    text = event.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

void send(const Json& event, std::span<const uint8_t> payload) {
  std::string line = serialise(event);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  bytes->reserve(line.size() + 1 + payload.size());
  bytes->insert(bytes->end(), line.begin(), line.end());
  bytes->push_back(0x0A);
  bytes->insert(bytes->end(), payload.begin(), payload.end());
  outQ->async([bytes] {
    if (!writeAll(*bytes)) writeFailed();
  });
}

bool writeAll(std::span<const uint8_t> bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    ssize_t n = ::write(1, bytes.data() + offset, bytes.size() - offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    offset += size_t(n);
  }
  return true;
}

bool writeAll(std::string_view text) {
  return writeAll(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void setWriteFailureHandler(std::function<void()> handler) {
  std::lock_guard lock(handlerMutex);
  writeFailureHandler = std::move(handler);
}

void log(std::string_view message) {
  std::string line(message);
  line += '\n';
  size_t offset = 0;
  while (offset < line.size()) {
    ssize_t n = ::write(2, line.data() + offset, line.size() - offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the log has nowhere else to go
    offset += size_t(n);
  }
}

void fail(std::string_view message) {
  log(message);
  std::exit(1);
}

double nowMs() { return hostMs(hostNow()); }

double hostMs(uint64_t host) { return (double(host) - double(startedHost)) * hostMsPerTick; }

}  // namespace lumeno
