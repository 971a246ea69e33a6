#include "audio/platform/sample_tables.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>

namespace lumeno {

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool isType(const char (&type)[5], const char* name) { return std::memcmp(type, name, 4) == 0; }

struct Scan {
  std::ifstream in;
  uint64_t fileSize = 0;
  int boxes = 0;
  std::map<std::string, uint64_t> claimed;  // entries so far, by table

  // The first bytes at `at` (fewer where the file ends).
  size_t peek(uint64_t at, uint8_t* out, size_t n) {
    in.clear();
    in.seekg(std::streamoff(at));
    in.read(reinterpret_cast<char*>(out), std::streamsize(n));
    return size_t(std::max<std::streamsize>(0, in.gcount()));
  }

  // Adds a table's claimed entries to those of its kind.
  std::optional<std::string> table(const char (&type)[5], uint64_t payloadAt) {
    std::array<uint8_t, 12> h{};
    const size_t got = peek(payloadAt, h.data(), h.size());
    // After version and flags: the count, which stsz has after its sample size.
    const size_t countAt = isType(type, "stsz") ? 8 : 4;
    if (got < countAt + 4) return std::nullopt;
    const std::string name(type, 4);
    uint64_t& sum = claimed[name];
    sum += be32(h.data() + countAt);
    if (sum > fileSize)
      return name + " tables claim " + std::to_string(sum) + " entries in a file of " + std::to_string(fileSize) +
             " bytes";
    return std::nullopt;
  }

  // The boxes from `at` to `end` (the parent's end), and those inside the
  // containers among them.
  std::optional<std::string> boxesIn(uint64_t at, uint64_t end, int depth) {
    static constexpr const char* containers[] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "moof", "traf", "mvex"};
    static constexpr const char* tables[] = {"stts", "ctts", "stsc", "stsz", "stco", "co64", "stss", "stps", "elst", "trun"};
    while (at + 8 <= end) {
      if (++boxes > 1'000'000) return "more than a million boxes";
      uint8_t h[16];
      if (peek(at, h, 16) < 8) return std::nullopt;
      uint64_t size = be32(h), header = 8;
      char type[5] = {char(h[4]), char(h[5]), char(h[6]), char(h[7]), 0};
      if (size == 1) {
        size = uint64_t(be32(h + 8)) << 32 | be32(h + 12);
        header = 16;
      } else if (size == 0) {
        size = end - at;  // to the end of the parent
      }
      if (size < header) return std::nullopt;  // the demuxer stops here too
      const uint64_t boxEnd = size > end - at ? end : at + size;
      // Tables count only inside a container: a file of another kind
      // would have to spell out a container's name at a box boundary first.
      for (const char* t : tables)
        if (depth > 0 && isType(type, t))
          if (auto wrong = table(type, at + header)) return wrong;
      if (depth < 8)
        for (const char* c : containers)
          if (isType(type, c))
            if (auto wrong = boxesIn(at + header, boxEnd, depth + 1)) return wrong;
      if (boxEnd >= end) break;
      at = boxEnd;
    }
    return std::nullopt;
  }
};

}  // namespace

std::optional<std::string> implausibleSampleTables(const std::filesystem::path& file) {
  Scan scan;
  scan.in.open(file, std::ios::binary);
  std::error_code error;
  scan.fileSize = std::filesystem::file_size(file, error);
  if (!scan.in || error) return std::nullopt;  // the demuxer says what is wrong
  return scan.boxesIn(0, scan.fileSize, 0);
}

}  // namespace lumeno
