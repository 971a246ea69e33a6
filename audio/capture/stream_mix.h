// StreamMix: several playback streams, each recorded alone with its own heard
// times, mixed into one gap-free mono stream on the timeline of a clock (the
// output device's monitor).
//
// Each stream's samples are added at the frame their heard time names, and
// then contiguously while its times agree. The clock hands out the mix a
// fixed delay behind what the device has played, so that a stream whose
// data reaches us a little later than the clock's is still in it; time where
// nothing played is silence. Passive: the audio server's callbacks drive it,
// all on the server's one thread; not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace lumeno {

class StreamMix {
 public:
  // rate: frames per second of every input and of the mix. delayFrames: how
  // far the mix trails the clock; data heard earlier than that when it
  // arrives is dropped. The mix is handed out in blocks of at least
  // minBlockFrames (the clock may tick in a few frames at a time).
  StreamMix(double rate, uint32_t delayFrames, uint32_t minBlockFrames = 1);

  // Adds frames of one stream (interleaved float, `channels` per frame,
  // averaged to mono), the first heard at heardNs (CLOCK_MONOTONIC): right
  // after the stream's last frames while that is within 20 ms of it, or
  // after 100 ms of frames that disagree alike (within 20 ms of each other:
  // times still on the move are not followed); never before what the mix
  // has handed out (such frames come later instead). Dropped before the
  // clock has a time, and beyond a second ahead of the mix.
  void add(uint32_t stream, const float* samples, uint32_t frames, uint32_t channels, uint64_t heardNs);

  struct Block {
    std::vector<float> samples;  // mono
    uint64_t heardNs = 0;        // of the first frame
  };
  // The device played `frames` more, the first heard at heardNs (none: right
  // after the last): the mix up to delayFrames before the clock's end. None
  // while nothing is due: before the clock had a time, during its first
  // delayFrames, after it jumped back, and while less than a block is due.
  // A jump forward hands out the frames in between, silence only when
  // it goes beyond half the ring (about half a second).
  std::optional<Block> tick(uint32_t frames, std::optional<uint64_t> heardNs);

  // Frames dropped, and how far (frames, summed) late data was moved.
  uint64_t dropped() const { return dropped_; }
  uint64_t lateFrames() const { return lateFrames_; }

 private:
  int64_t frameAt(uint64_t ns) const;
  uint64_t nsAt(int64_t frame) const;
  // Silences [from, to) of the ring.
  void clear(int64_t from, int64_t to);

  double rate_;
  int64_t delay_;
  int64_t minBlock_;
  int64_t tolerance_;       // heard times this close to the expected frame are the expected frame
  int64_t persistence_;     // frames a stream must disagree for before it is moved
  int64_t clockTolerance_;  // how far the clock's time may be from its count before it jumps
  std::vector<float> ring_;    // frame f at f mod size
  std::optional<int64_t> out_;  // the next frame of the mix
  int64_t clockNext_ = 0;      // the clock's next frame
  struct Place {
    int64_t next = 0;         // where the stream's next frame goes
    int64_t written = 0;      // the end of the frames it has added
    int64_t disagreeing = 0;  // frames in a row whose heard times said otherwise
    int64_t firstOffset = 0;  // by how much the first of them did
  };
  std::unordered_map<uint32_t, Place> streams_;
  uint64_t dropped_ = 0;
  uint64_t lateFrames_ = 0;
};

}  // namespace lumeno
