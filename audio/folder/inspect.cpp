#include "audio/folder/inspect.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <system_error>

#include "audio/base/events.h"
#include "audio/folder/folder_media.h"
#include "audio/folder/parts.h"
#include "audio/platform/writer.h"

namespace lumeno {

std::optional<StreamDescription> playbackAudioFormat(const Asset& asset) { return asset.formatDescription; }

bool isCompactAudio(const std::filesystem::path& file) {
  Asset asset = assetOf(file);
  if (!asset.hasAudioTrack) return false;
  auto format = playbackAudioFormat(asset);
  if (!format) return false;
  return format->formatID == formatMPEG4AAC_HE && asset.estimatedDataRate > 0 && asset.estimatedDataRate <= 20000;
}

void inspectAudio(const std::filesystem::path& folder) {
  Json tracks = Json::object();
  double longest = 0;
  for (const char* name : trackNames) {
    auto entries = partsOf(name, folder);
    for (const auto& e : entries)
      if (e.part > 0) fail("inspect: recording still has unjoined parts");
    for (const auto& e : entries) {
      // A base file killed before its first fragment: the source has no audio.
      if (holdsNoAudio(e.file)) continue;
      Asset asset = assetOf(e.file);
      double seconds = asset.durationSeconds;
      if (!std::isfinite(seconds) || seconds < 0 || !asset.hasAudioTrack)
        fail("inspect: unreadable " + e.file.filename().string());
      double ms = seconds * 1000;
      longest = std::max(longest, ms);
      if (auto format = playbackAudioFormat(asset)) {
        tracks[name] = {{"formatID", format->formatID},
                        {"sampleRate", jsonNumber(format->sampleRate)},
                        {"channels", format->channelsPerFrame},
                        {"bitsPerSecond", jsonNumber(asset.estimatedDataRate)},
                        {"durationMs", jsonNumber(ms)}};
      }
    }
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string n = it->path().filename().string();
    if (n.starts_with("part.") && n.ends_with(".json")) fail("inspect: recording still has part metadata");
  }
  Json output = {{"durationMs", static_cast<int64_t>(std::ceil(longest))}, {"tracks", tracks}};
  // A lost answer must not look like a successful inspection.
  if (!writeAll(serialise(output) + "\n")) fail("inspect: can't write the answer");
}

}  // namespace lumeno
