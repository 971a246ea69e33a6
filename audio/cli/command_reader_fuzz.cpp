// Fuzz target: standard input of record as the command reader cuts it, and
// the words and id of a mute or unmute line as the recorder reads them.
// Every line handed on is non-empty, holds no line feed, is already trimmed,
// and the end comes exactly once.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "audio/base/globals.h"
#include "audio/cli/command_reader.h"
#include "tests/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumeno;
  using fuzz::check;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string once = trimWhiteSpace(input);
  check(once.size() <= size && trimWhiteSpace(once) == once);

  static int fd = memfd_create("commands", 0);
  check(fd >= 0 && ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    check(n > 0);
    done += size_t(n);
  }
  check(lseek(fd, 0, SEEK_SET) == 0);
  int ends = 0;
  size_t lines = 0;
  readCommands(
      fd,
      [&](std::string line) {
        check(ends == 0 && !line.empty() && line.find('\n') == std::string::npos && trimWhiteSpace(line) == line);
        ++lines;
        // "mute ID" / "unmute ID": the id is an integer within int64 or nothing.
        if (auto space = line.find(' '); space != std::string::npos) (void)parseInteger(line.substr(space + 1));
      },
      [&] { ++ends; });
  check(ends == 1 && lines <= size);
  return 0;
}
