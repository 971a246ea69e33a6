// The command reader of record: it owns standard input, cuts it into lines
// and hands each non-empty line, trimmed, to the recorder's queue. It runs on
// a thread of its own and keeps no state beyond the current line.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace lumeno {

// line without the white space at both ends: spaces, tabs and the other
// Unicode space separators (UTF-8). Line breaks are not white space here.
std::string trimWhiteSpace(std::string_view line);

// Reads fd to its end, blocking. Every line (ended by a line feed or by a
// carriage return and a line feed; a last line may have no ending) that is not
// empty once trimmed goes to onLine, trimmed. At the end of input, or when fd
// cannot be read, onEnd runs once and the call returns.
void readCommands(int fd, const std::function<void(std::string)>& onLine, const std::function<void()>& onEnd);

}  // namespace lumeno
