#include "audio/base/globals.h"

#include <time.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumeno {

SerialQueue* outQ = nullptr;
SerialQueue* work = nullptr;
// Never destroyed: exit() may run on any thread while others still read it.
std::vector<std::string>& args = *new std::vector<std::string>;
int64_t part = 0;
double startOffsetMs = 0;
uint64_t startedHost = 0;
double hostMsPerTick = 1e-6;
const AudioFormat mono16{16000, 1, false, SampleType::float32};
const AudioFormat mono48{48000, 1, false, SampleType::float32};
uint32_t system = 1;
bool testing = false;

uint64_t hostNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

std::optional<std::string> argValue(std::string_view key) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != key) continue;
    if (i + 1 < args.size()) return args[i + 1];
    return std::nullopt;
  }
  return std::nullopt;
}

bool hasFlag(std::string_view flag) {
  for (const auto& a : args)
    if (a == flag) return true;
  return false;
}

std::optional<int64_t> parseInteger(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  // Parse with the sign attached so that INT64_MIN is in range.
  std::string signedText = (negative ? "-" : "") + std::string(digits);
  int64_t value = 0;
  auto [end, ec] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
  if (ec != std::errc() || end != signedText.data() + signedText.size()) return std::nullopt;
  return value;
}

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<double> parseStartMs(std::string_view text) {
  auto value = parseNumber(text);
  if (!value || std::fabs(*value) > latestStartMs) return std::nullopt;
  return value;
}

}  // namespace lumeno
