// The diagnostic probes writer-probe, speech-clock and decode.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/cli/commands.h"
#include "audio/folder/folder_media.h"
#include "audio/platform/audio_file.h"
#include "audio/platform/converter.h"
#include "audio/speech/speech_clock.h"
#include "audio/track/pcm.h"
#include "audio/track/track.h"

namespace lumeno {

namespace fs = std::filesystem;

void writerProbe() {
  const std::string badFixture = "writer-probe requires new output and a short readable fixture";
  fs::path dir = *argValue("--dir");
  // Every status question takes an error code: a name too long or a folder
  // that cannot be searched is a message and status 1, not an exception.
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) fail("writer-probe can't create " + dir.string());

  struct Pair {
    std::unique_ptr<AudioFile> file;
    std::shared_ptr<Track> track;
  };
  std::vector<Pair> pairs;
  for (const char* name : {"me", "them"}) {
    fs::path out = dir / (std::string(name) + ".m4a");
    // An output whose status cannot be read is not known to be new.
    auto status = fs::symlink_status(out, ec);
    if (fs::exists(status) || (ec && ec != std::errc::no_such_file_or_directory)) fail(badFixture);
    auto file = AudioFile::openForReading(*argValue(std::string("--") + name));
    if (!file || !(file->processingFormat().sampleRate > 0) ||
        double(file->length()) / file->processingFormat().sampleRate > 60.0)
      fail(badFixture);
    auto track = Track::onFile(name, out);
    track->stream = false;
    track->openWriter();
    if (!track->writer) fail("writer-probe could not open writer");
    pairs.push_back({std::move(file), std::move(track)});
  }

  std::vector<bool> done(pairs.size(), false);
  while (std::find(done.begin(), done.end(), false) != done.end()) {
    for (size_t i = 0; i < pairs.size(); ++i) {
      Pair& p = pairs[i];
      int64_t left = p.file->length() - p.file->framePosition();
      if (done[i] || left <= 0) {
        done[i] = true;
        continue;
      }
      double rate = p.file->processingFormat().sampleRate;
      uint32_t n = uint32_t(std::min<int64_t>(left, int64_t(rate / 10)));
      auto buffer = PcmBuffer::make(p.file->processingFormat(), n);
      int64_t position = p.file->framePosition();
      if (!buffer || !p.file->read(*buffer, n)) fail("writer-probe fixture read failed");
      if (buffer->frameLength() == 0) {
        done[i] = true;  // the container promised more frames than the file holds
        continue;
      }
      // A fixture of several channels is averaged by the track's converters.
      p.track->append(*buffer, double(position) / rate * 1000.0);
      if (!p.track->writer || p.track->writer->status() != WriterStatus::writing) fail("writer-probe writer stopped");
    }
    usleep(100000);
  }

  double inputMs = 0;
  for (const Pair& p : pairs)
    inputMs = std::max(inputMs, double(p.file->length()) / p.file->processingFormat().sampleRate * 1000.0);
  send({{"t", "writer-fed"},
        {"inputMs", inputMs},
        {"fragmentMs", pairs[0].track->writer->movieFragmentInterval() * 1000.0}});
  outQ->sync([] {});  // the event is out before any exit below

  std::string line;
  if (std::getline(std::cin, line) && line == "finish") {
    Group group;
    for (Pair& p : pairs) p.track->finish(group);
    group.wait();
  }
  std::exit(0);
}

void speechClockProbe(double rate) {
  SpeechClock clock{rate, std::nullopt};
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < line.size();) {
      size_t end = line.find(' ', at);
      if (end == std::string::npos) end = line.size();
      if (end > at) pieces.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    if (pieces.size() != 2) continue;
    auto atMs = parseNumber(pieces[0]);
    auto frames = parseInteger(pieces[1]);
    if (!atMs || !frames) continue;
    std::cout << clock.place(*atMs, *frames) << "\n" << std::flush;
  }
  std::exit(0);
}

void decodeProbe(const std::string& file) {
  auto audio = AudioFile::openForReading(file);
  std::unique_ptr<Converter> converter;
  if (audio) converter = Converter::make(audio->processingFormat(), mono16);
  if (!audio || !converter) fail("can't read " + file);
  auto buffer = PcmBuffer::make(audio->processingFormat(), 48000);
  for (;;) {
    if (!buffer || !audio->read(*buffer) || buffer->frameLength() == 0) {
      if (audio->replacedMs() > 0) log("decode: " + replacedBySilence(audio->replacedMs()));
      std::exit(0);
    }
    auto out = convert(*converter, *buffer);
    if (out && out->frameLength() >= 1) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(out->floatData(0));
      if (!writeAll(std::span<const uint8_t>(bytes, size_t(out->frameLength()) * 4))) std::exit(0);
    }
  }
}

}  // namespace lumeno
