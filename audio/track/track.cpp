#include "audio/track/track.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <system_error>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/track/pcm.h"

namespace lumeno {

namespace {

void removeFile(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

}  // namespace

std::shared_ptr<Track> Track::inDir(const std::string& name, const std::filesystem::path& dir, int64_t partNumber,
                                    WriterFactory writerFactory) {
  std::string file = partNumber == 0 ? name + ".m4a" : name + "." + std::to_string(partNumber) + ".m4a";
  return std::make_shared<Track>(name, dir / file, partNumber == 0, std::move(writerFactory));
}

std::shared_ptr<Track> Track::onFile(const std::string& name, const std::filesystem::path& file,
                                     WriterFactory writerFactory) {
  return std::make_shared<Track>(name, file, true, std::move(writerFactory));
}

Track::Track(std::string name, std::filesystem::path url, bool fresh, WriterFactory writerFactory)
    : name(std::move(name)), url(std::move(url)), fresh(fresh), writerFactory(std::move(writerFactory)) {}

void Track::openWriter() {
  if (fresh) removeFile(url);
  for (int rate : {48000, 32000}) {
    std::unique_ptr<Writer> w = writerFactory ? writerFactory(url) : nullptr;
    if (!w) {
      log("can't write " + url.string());
      return;
    }
    w->setMovieFragmentInterval(5.0);
    OutputSettings settings{formatMPEG4AAC_HE, rate, 1, 16000};
    if (!w->canApply(settings)) continue;
    WriterInput* in = w->addInput(settings);
    if (!in) continue;
    if (!w->startWriting()) {
      log("can't start HE-AAC at " + std::to_string(rate) + ": " + w->errorDescription());
      w.reset();
      removeFile(url);
      continue;
    }
    writer = std::move(w);
    input = in;
    return;
  }
  log("can't start HE-AAC audio for " + url.string());
}

void Track::append(const PcmBuffer& buffer, std::optional<double> heardMs) {
  const double rate = buffer.sampleRate();
  const double lengthMs = double(buffer.frameLength()) / rate * 1000.0;
  if (heardMs) {
    if (lastHeardEnd && *heardMs - *lastHeardEnd > 250.0) {
      flushPending();
      baseMs.reset();
    }
    lastHeardEnd = *heardMs + lengthMs;
  }
  if (rate != srcRate) {
    srcRate = rate;
    conv16 = Converter::make(buffer.format(), mono16);
    // Each 100 ms microphone buffer then fills exactly one "pcm" chunk, which
    // goes out when the buffer arrives instead of with the next one.
    if (conv16) conv16->primeWithSilence();
    conv48 = Converter::make(buffer.format(), mono48);
  }
  if (!baseMs) {
    double anchor = heardMs ? *heardMs : std::max(nowMs() - lengthMs, double(pts) / 48.0);
    baseMs = std::max(anchor, 0.0);
    sentSince = 0;
    padTo(int64_t(*baseMs * 48.0));
  }
  if (conv48 && convert(*conv48, buffer, out48)) write(*out48);
  if (conv16 && convert(*conv16, buffer, out16) && out16->frameLength() >= 1) {
    if (onPcm16) onPcm16(*out16, *baseMs + double(sentSince + int64_t(pending.size())) / 16.0);
    const float* s = out16->floatData(0);
    uint32_t n = out16->frameLength();
    pending.insert(pending.end(), s, s + n);
    for (uint32_t i = 0; i < n; ++i) {
      float sq = s[i] * s[i];
      sumSq += double(sq);
    }
    count += n;
    while (pending.size() > 1599) emit(1600);
  }
}

bool Track::waitForWriter() {
  for (int i = 0; i < 200 && !input->isReadyForMoreMediaData(); ++i) usleep(5000);
  return input->isReadyForMoreMediaData();
}

void Track::write(const PcmBuffer& buffer) {
  if (!writer || !input || writer->status() != WriterStatus::writing || buffer.frameLength() < 1) return;
  if (waitForWriter() && input->append(buffer, pts)) {
    pts += buffer.frameLength();
    return;
  }
  log(name + ": writer busy, dropped " + std::to_string(buffer.frameLength()) + " samples");
}

void Track::padTo(int64_t target) {
  while (pts < target) {
    if (!writer || !input || writer->status() != WriterStatus::writing) return;
    int64_t frames = target - pts;
    int64_t taken = waitForWriter() ? input->appendSilence(frames, pts) : 0;
    if (taken < 1) {
      log(name + ": writer busy, dropped " + std::to_string(frames) + " samples");
      return;
    }
    pts += taken;
  }
}

void Track::emit(int64_t n) {
  if (n < 1 || !baseMs) return;
  size_t take = std::min(size_t(n), pending.size());
  if (stream) {
    Json event = {{"t", "pcm"},
                  {"track", name},
                  {"ms", int64_t(std::round(*baseMs + startOffsetMs + double(sentSince) / 16.0))},
                  {"n", n}};
    // Samples go out little-endian, which is this machine's order.
    send(event, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pending.data()), take * 4));
  }
  pending.erase(pending.begin(), pending.begin() + long(take));
  sentSince += n;
}

void Track::flushPending() { emit(int64_t(pending.size())); }

void Track::resync() {
  flushPending();
  baseMs.reset();
}

double Track::level() {
  double result = 0;
  if (count >= 1) {
    double v = (20.0 * std::log10(std::sqrt(sumSq / double(count)) + 1e-9) + 60.0) / 60.0;
    if (v >= 0) result = rounded(std::min(v, 1.0), 3);
  }
  sumSq = 0;
  count = 0;
  return result;
}

void Track::finish(Group& group) {
  flushPending();
  if (!writer || !input || writer->status() != WriterStatus::writing) return;
  if (pts > 0) {
    input->markAsFinished();
    group.enter();
    Writer* w = writer.get();
    std::string label = name;
    w->finishWriting([w, label, &group] {
      if (w->status() != WriterStatus::completed) {
        std::string error = w->errorDescription();
        log(label + ": " + (error.empty() ? std::string("not finished") : error));
      }
      group.leave();
    });
  } else {
    writer->cancelWriting();
    removeFile(url);
  }
}

void Track::cancel() {
  if (writer) writer->cancelWriting();
  removeFile(url);
}

bool Track::writerCompleted() const { return writer && writer->status() == WriterStatus::completed; }

}  // namespace lumeno
