#include "audio/folder/folder_media.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace lumeno {

namespace {

bool isRegularFile(const std::filesystem::path& file) {
  std::error_code ec;
  return std::filesystem::is_regular_file(file, ec);
}

}  // namespace

Asset assetOf(const std::filesystem::path& file) {
  if (!isRegularFile(file)) return Asset{};
  return openAsset(file);
}

std::unique_ptr<AssetReader> readerOf(const std::filesystem::path& file) {
  if (!isRegularFile(file)) return nullptr;
  return AssetReader::make(file);
}

bool holdsNoAudio(const std::filesystem::path& file) {
  std::error_code ec;
  auto size = std::filesystem::file_size(file, ec);
  return !ec && size == 0;
}

std::string replacedBySilence(double replacedMs) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f ms of damaged audio replaced by silence", replacedMs);
  return text;
}

nlohmann::json jsonNumber(double value) {
  constexpr double exactIntegers = 9007199254740992.0;  // 2^53
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) <= exactIntegers)
    return static_cast<int64_t>(value);
  return value;
}

}  // namespace lumeno
