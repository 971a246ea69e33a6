// compact: re-encodes a joined recording's two base files as HE-AAC at
// 16 kbit/s into a separate staging folder, decoding and encoding one buffer
// at a time, and checks each copy by decoding it again. The recording folder
// is only read.
#include <cmath>
#include <string>
#include <system_error>

#include "audio/folder/compact.h"

#include "audio/base/events.h"
#include "audio/folder/folder_lock.h"
#include "audio/folder/folder_media.h"
#include "audio/folder/inspect.h"
#include "audio/folder/join.h"
#include "audio/folder/parts.h"
#include "audio/track/track.h"

namespace lumeno {

namespace {

// Whether two folder paths name one place, once symbolic links are resolved.
bool samePlace(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec1, ec2;
  auto ra = std::filesystem::weakly_canonical(a, ec1);
  auto rb = std::filesystem::weakly_canonical(b, ec2);
  if (!ec1 && !ec2 && ra == rb) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

void compactAudio(const std::filesystem::path& folder, const std::filesystem::path& staging) {
  if (holdForTool(folder) == FolderLock::busy) fail("compact: " + folder.string() + " is being recorded");
  if (samePlace(folder, staging)) fail("compact: separate output directory required");
  if (isCompactAudio(folder / "me.m4a") && isCompactAudio(folder / "them.m4a")) {
    if (!writeAll(std::string_view("null\n"))) fail("compact: can't write the answer");
    return;
  }
  Json result = Json::object();
  for (const char* name : trackNames) {
    std::filesystem::path source = folder / (std::string(name) + ".m4a");
    std::filesystem::path copy = staging / (std::string(name) + ".m4a");
    auto track = Track::onFile(name, copy);
    track->openWriter();
    if (!track->writer) {
      track->cancel();
      fail("compact: source could not be decoded");
    }
    double replacedMs = 0;
    auto sourceMs = decodedAudio(source, track.get(), &replacedMs);
    if (!sourceMs || !(*sourceMs > 0)) {
      track->cancel();
      fail("compact: source could not be decoded");
    }
    if (replacedMs > 0) log("compact: " + source.filename().string() + ": " + replacedBySilence(replacedMs));
    Group group;
    track->finish(group);
    group.wait();
    if (!track->writerCompleted()) fail("compact: decoded duration mismatch");
    auto outputMs = decodedAudio(copy, nullptr);
    if (!outputMs || std::fabs(*outputMs - *sourceMs) > 1000) fail("compact: decoded duration mismatch");
    result[name] = {{"sourceMs", jsonNumber(*sourceMs)}, {"outputMs", jsonNumber(*outputMs)}};
  }
  if (!writeAll(serialise(result) + "\n")) fail("compact: can't write the answer");
}

}  // namespace lumeno
