// Fuzz target: the command line's values as start-up reads them. The input
// is the argument list, NUL between arguments; --part is an integer within
// int64 or 0, --start-ms a finite number within a week or 0, and the
// milliseconds an event derives from them are defined.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio/base/globals.h"
#include "tests/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumeno;
  using fuzz::check;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  for (size_t at = 0; at <= input.size();) {
    size_t end = input.find('\0', at);
    if (end == std::string_view::npos) end = input.size();
    words.emplace_back(input.substr(at, end - at));
    at = end + 1;
  }
  args = words;

  for (const auto& word : words) {
    if (auto n = parseInteger(word)) check(std::to_string(*n).size() <= word.size());
    if (auto x = parseNumber(word)) check(std::isfinite(*x));
  }
  auto partText = argValue("--part");
  int64_t p = partText ? parseInteger(*partText).value_or(0) : 0;
  (void)p;
  auto startText = argValue("--start-ms");
  double start = startText ? parseStartMs(*startText).value_or(0) : 0;
  check(std::isfinite(start) && std::fabs(start) <= latestStartMs);
  // An event's "ms": this part's start plus the time into it, whole.
  volatile int64_t ms = int64_t(std::round(start + 3600e3));
  (void)ms;
  (void)hasFlag("--speech");
  return 0;
}
