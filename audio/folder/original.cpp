#include "audio/folder/original.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace lumeno {

std::string randomUuid() {
  static std::random_device device;
  uint8_t bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    uint32_t word = device();
    for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1],
                bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::error_code retainAudio(const std::filesystem::path& file, const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path original = folder / "original";
  std::filesystem::create_directories(original, ec);
  if (ec) return ec;
  std::filesystem::create_hard_link(file, original / (randomUuid() + "-" + file.filename().string()), ec);
  return ec;
}

}  // namespace lumeno
