// The command reader's text handling: lines of standard input, their line
// terminators and the white space around them.
#include "audio/cli/command_reader.h"

#include <unistd.h>

#include <cerrno>

namespace lumeno {

namespace {

bool isWhiteSpace(std::string_view text, size_t at, size_t* length) {
  auto byte = [&](size_t i) { return i < text.size() ? uint8_t(text[i]) : 0; };
  uint8_t a = byte(at), b = byte(at + 1), c = byte(at + 2);
  if (a == ' ' || a == '\t') return *length = 1, true;
  if (a == 0xC2 && b == 0xA0) return *length = 2, true;                             // U+00A0
  if (a == 0xE1 && b == 0x9A && c == 0x80) return *length = 3, true;                // U+1680
  if (a == 0xE2 && b == 0x80 && ((c >= 0x80 && c <= 0x8A) || c == 0xAF)) return *length = 3, true;  // U+2000-200A, U+202F
  if (a == 0xE2 && b == 0x81 && c == 0x9F) return *length = 3, true;                // U+205F
  if (a == 0xE3 && b == 0x80 && c == 0x80) return *length = 3, true;                // U+3000
  return false;
}

}  // namespace

std::string trimWhiteSpace(std::string_view line) {
  // Spaces, tabs and the other Unicode space separators, in UTF-8.
  size_t first = 0, length = 0;
  while (first < line.size() && isWhiteSpace(line, first, &length)) first += length;
  size_t end = first;
  for (size_t at = first; at < line.size();) {
    if (isWhiteSpace(line, at, &length)) {
      at += length;
    } else {
      at += 1;
      end = at;
    }
  }
  return std::string(line.substr(first, end - first));
}

void readCommands(int fd, const std::function<void(std::string)>& onLine, const std::function<void()>& onEnd) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      pending.append(chunk, size_t(n));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (auto trimmed = trimWhiteSpace(line); !trimmed.empty()) onLine(std::move(trimmed));
      }
      continue;
    }
    // End of input, or input that cannot be read: a last line without its
    // line feed still counts.
    if (auto trimmed = trimWhiteSpace(pending); !trimmed.empty()) onLine(std::move(trimmed));
    onEnd();
    return;
  }
}

}  // namespace lumeno
