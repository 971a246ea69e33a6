#include "audio/capture/stream_mix.h"

#include <algorithm>
#include <cmath>

namespace lumeno {

StreamMix::StreamMix(double rate, uint32_t delayFrames, uint32_t minBlockFrames)
    : rate_(rate),
      delay_(delayFrames),
      minBlock_(std::max<int64_t>(1, minBlockFrames)),
      // Heard times of one stream wobble by a few ms from block to block;
      // following them would double or drop frames at every block.
      tolerance_(int64_t(rate * 0.02)),
      persistence_(int64_t(rate * 0.1)),
      // The clock's heard times are medians: they wobble by a few ms.
      clockTolerance_(int64_t(rate * 0.03)),
      ring_(size_t(delayFrames) + size_t(rate), 0.0f) {}

int64_t StreamMix::frameAt(uint64_t ns) const { return std::llround(double(ns) * rate_ / 1e9); }

uint64_t StreamMix::nsAt(int64_t frame) const { return frame <= 0 ? 0 : uint64_t(std::llround(double(frame) * 1e9 / rate_)); }

void StreamMix::clear(int64_t from, int64_t to) {
  int64_t size = int64_t(ring_.size());
  if (to - from >= size) {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
    return;
  }
  for (int64_t f = from; f < to; ++f) ring_[size_t(f % size)] = 0.0f;
}

void StreamMix::add(uint32_t stream, const float* samples, uint32_t frames, uint32_t channels, uint64_t heardNs) {
  if (!samples || frames == 0 || channels == 0) return;
  if (!out_) {
    dropped_ += frames;
    return;
  }
  int64_t at = frameAt(heardNs);
  auto [it, fresh] = streams_.try_emplace(stream);
  Place& place = it->second;
  int64_t skip = 0;  // frames at the front that are not added
  if (!fresh) {
    // A stream's data is contiguous while it plays, so an odd time is
    // ignored; only a disagreement that lasts, and holds steady, is a real
    // jump. Times that keep moving against the data are an estimate still
    // settling (the latencies a device reports as it wakes from a stall can
    // be half a second off and come right over a second): following them
    // would drop or space out the stream again and again, so it stays
    // contiguous until they hold still, and then moves once.
    int64_t offset = at - place.next;
    if (std::llabs(offset) <= tolerance_) {
      place.disagreeing = 0;
      at = place.next;
    } else if (place.disagreeing == 0 || std::llabs(offset - place.firstOffset) > tolerance_) {
      place.disagreeing = frames;
      place.firstOffset = offset;
      at = place.next;
    } else if ((place.disagreeing += frames) < persistence_) {
      at = place.next;
    } else {
      place.disagreeing = 0;
    }
    // After a jump back the stream never goes over its own frames, which
    // would sum two copies of it: what overlaps is dropped.
    skip = std::clamp<int64_t>(place.written - at, 0, frames);
  }
  dropped_ += uint64_t(skip);
  if (skip == int64_t(frames)) {
    place.next = at + frames;
    return;
  }
  // Data later than the mix has gone (a busy machine, or a new stream
  // whose timing took long to settle) is kept, from where the mix stands.
  if (at + skip < *out_) {
    lateFrames_ += uint64_t(*out_ - (at + skip));
    at = *out_ - skip;
  }
  place.next = at + frames;
  place.written = std::max(place.written, place.next);

  int64_t size = int64_t(ring_.size());
  int64_t first = at + skip;
  int64_t end = std::min(at + int64_t(frames), *out_ + size);
  dropped_ += uint64_t(int64_t(frames) - skip - std::max<int64_t>(0, end - first));
  float scale = 1.0f / float(channels);
  for (int64_t f = first; f < end; ++f) {
    const float* frame = samples + size_t(f - at) * channels;
    float sum = 0;
    for (uint32_t c = 0; c < channels; ++c) sum += frame[c];
    ring_[size_t(f % size)] += sum * scale;
  }
}

std::optional<StreamMix::Block> StreamMix::tick(uint32_t frames, std::optional<uint64_t> heardNs) {
  if (heardNs) {
    int64_t at = frameAt(*heardNs);
    if (!out_) {
      // The mix starts where the clock does, once it is delayFrames ahead:
      // earlier frames would carry times from before the capture began.
      clear(at, at + int64_t(ring_.size()));
      out_ = at;
      clockNext_ = at;
    } else if (std::llabs(at - clockNext_) > clockTolerance_) {
      // The clock's own times wobble too; only a real jump moves the mix.
      // Forward (the device played more than its monitor delivered, as a
      // new or waking device does), the frames in between are handed out
      // all the same, with what the streams added there; only a jump
      // beyond what the ring holds is silence. Backward, the mix waits
      // until the clock has caught up, so that no time is handed out twice.
      if (at - delay_ - *out_ > int64_t(ring_.size()) / 2) {
        clear(*out_, at - delay_);
        out_ = at - delay_;
      }
      clockNext_ = at;
    }
  }
  if (!out_) return std::nullopt;
  clockNext_ += frames;
  int64_t count = clockNext_ - delay_ - *out_;
  if (count < minBlock_) return std::nullopt;

  Block block;
  block.heardNs = nsAt(*out_);
  block.samples.resize(size_t(count));
  int64_t size = int64_t(ring_.size());
  for (int64_t i = 0; i < count; ++i) {
    float& slot = ring_[size_t((*out_ + i) % size)];
    block.samples[size_t(i)] = slot;
    slot = 0.0f;
  }
  *out_ += count;

  // Streams that stopped long ago leave their places behind.
  std::erase_if(streams_, [&](const auto& entry) { return entry.second.next < *out_ - int64_t(rate_); });
  return block;
}

}  // namespace lumeno
