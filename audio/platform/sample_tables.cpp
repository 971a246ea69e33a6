#include "audio/platform/sample_tables.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace lumeno {

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool isType(const char (&type)[5], const char* name) { return std::memcmp(type, name, 4) == 0; }

struct Scan {
  std::ifstream in;
  uint64_t fileSize = 0;
  int boxes = 0;

  // The first bytes of a box's payload (fewer where the file ends).
  size_t peek(uint64_t at, uint8_t* out, size_t n) {
    in.clear();
    in.seekg(std::streamoff(at));
    in.read(reinterpret_cast<char*>(out), std::streamsize(n));
    return size_t(std::max<std::streamsize>(0, in.gcount()));
  }

  // Entries of a full box's table: how many it claims (at byte `countAt` of
  // the payload), and what each takes.
  std::optional<std::string> table(const char (&type)[5], uint64_t payloadAt, uint64_t payloadSize, bool cut) {
    std::array<uint8_t, 24> h{};
    size_t got = peek(payloadAt, h.data(), h.size());
    if (got < 8) return std::nullopt;
    const uint32_t flags = be32(h.data()) & 0xffffff;
    uint64_t count = 0, entryBytes = 0, headerBytes = 8;
    bool samples = true;  // each entry stands for at least one sample
    if (isType(type, "stsz")) {
      if (got < 12) return std::nullopt;
      count = be32(h.data() + 8);
      entryBytes = be32(h.data() + 4) == 0 ? 4 : 0;
      headerBytes = 12;
    } else if (isType(type, "trun")) {
      count = be32(h.data() + 4);
      for (uint32_t bit : {0x100u, 0x200u, 0x400u, 0x800u})
        if (flags & bit) entryBytes += 4;
      headerBytes += (flags & 0x1 ? 4 : 0) + (flags & 0x4 ? 4 : 0);
    } else {
      count = be32(h.data() + 4);
      const uint8_t version = h[0];
      if (isType(type, "stts") || isType(type, "ctts") || isType(type, "co64")) entryBytes = 8;
      else if (isType(type, "stsc")) entryBytes = 12;
      else if (isType(type, "stco") || isType(type, "stss") || isType(type, "stps")) entryBytes = 4;
      else if (isType(type, "elst")) entryBytes = version == 1 ? 20 : 12, samples = false;
    }
    const std::string name(type, 4);
    if (samples && count > fileSize)
      return name + " claims " + std::to_string(count) + " entries in a file of " + std::to_string(fileSize) + " bytes";
    if (!cut && count * entryBytes + headerBytes > payloadSize)
      return name + " claims " + std::to_string(count) + " entries in " + std::to_string(payloadSize) + " bytes";
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
      const bool cut = at + size > fileSize;
      const uint64_t boxEnd = std::min(at + size, end);
      // Tables count only inside a container: a file of another kind
      // would have to spell out a container's name at a box boundary first.
      for (const char* t : tables)
        if (depth > 0 && isType(type, t))
          if (auto wrong = table(type, at + header, boxEnd - at - header, cut)) return wrong;
      if (depth < 8)
        for (const char* c : containers)
          if (isType(type, c))
            if (auto wrong = boxesIn(at + header, boxEnd, depth + 1)) return wrong;
      if (at + size >= end) break;
      at += size;
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
