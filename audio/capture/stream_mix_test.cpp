#include "audio/capture/stream_mix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

namespace lumeno {
namespace {

// 1 kHz keeps the numbers round: one frame is 1 ms.
constexpr double kRate = 1000;
constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kT0 = 10'000 * kMs;  // the clock's first heard time

// Drives the clock in 10 ms ticks and collects the mix, which must come out
// without holes or overlaps: out[i] is the frame heard at firstHeard + i ms.
struct Clock {
  explicit Clock(StreamMix& m) : mix(m) {}
  StreamMix& mix;
  uint64_t next = kT0;
  std::vector<float> out;
  std::optional<uint64_t> firstHeard;

  void run(int ticks) {
    for (int i = 0; i < ticks; ++i, next += 10 * kMs) take(mix.tick(10, next));
  }
  void take(std::optional<StreamMix::Block> block) {
    if (!block) return;
    if (!firstHeard) firstHeard = block->heardNs;
    EXPECT_EQ(block->heardNs, *firstHeard + out.size() * kMs) << "contiguous";
    out.insert(out.end(), block->samples.begin(), block->samples.end());
  }
  float at(uint64_t heardNs) const { return out.at(size_t((heardNs - *firstHeard) / kMs)); }
};

TEST(StreamMixTest, TheMixStartsWhereTheClockDidOnceItIsDelayAhead) {
  StreamMix mix(kRate, 50);
  EXPECT_FALSE(mix.tick(10, std::nullopt)) << "no timeline before the clock has a time";
  Clock clock(mix);
  clock.run(5);
  EXPECT_TRUE(clock.out.empty()) << "the clock is only 50 ms ahead";
  clock.run(1);
  ASSERT_EQ(clock.out.size(), 10u);
  EXPECT_EQ(*clock.firstHeard, kT0);
  EXPECT_EQ(clock.out, std::vector<float>(10, 0.0f)) << "nothing plays: silence";
  // A tick without a time goes on from where the last one ended.
  clock.take(mix.tick(10, std::nullopt));
  EXPECT_EQ(clock.out.size(), 20u);
}

TEST(StreamMixTest, StreamsAreSummedWhereTheirHeardTimesPlaceThem) {
  StreamMix mix(kRate, 50);
  Clock clock(mix);
  clock.run(1);
  std::vector<float> stereo = {0.2f, 0.4f, 0.2f, 0.4f};  // averages to 0.3
  std::vector<float> ones = {1.0f, 1.0f, 1.0f};
  mix.add(7, stereo.data(), 2, 2, kT0 + 5 * kMs);
  mix.add(8, ones.data(), 3, 1, kT0 + 6 * kMs);
  clock.run(6);
  ASSERT_GE(clock.out.size(), 10u);
  std::vector<float> want(10, 0.0f);
  want[5] = 0.3f;
  want[6] = 1.3f;
  want[7] = 1.0f;
  want[8] = 1.0f;
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(clock.out[i], want[i], 1e-6) << i;
  EXPECT_EQ(mix.dropped(), 0u);
}

// Heard times of one stream wobble; within 20 ms they are read as the frame
// after the last, so nothing is doubled or lost. So is a single odd one.
TEST(StreamMixTest, AStreamStaysContiguousThroughWobble) {
  struct Case {
    const char* what;
    int64_t offsetMs;  // the second block's heard time against where it belongs
  };
  for (const Case& c : {Case{"on time", 0}, Case{"3 ms early", -3}, Case{"15 ms late", 15}, Case{"once 80 ms late", 80}}) {
    SCOPED_TRACE(c.what);
    StreamMix mix(kRate, 100);
    Clock clock(mix);
    clock.run(1);
    std::vector<float> a(4, 0.5f), b(4, 0.25f);
    mix.add(1, a.data(), 4, 1, kT0 + 10 * kMs);
    mix.add(1, b.data(), 4, 1, uint64_t(int64_t(kT0 + 14 * kMs) + c.offsetMs * int64_t(kMs)));
    clock.run(20);
    EXPECT_FLOAT_EQ(clock.at(kT0 + 10 * kMs), 0.5f);
    EXPECT_FLOAT_EQ(clock.at(kT0 + 13 * kMs), 0.5f);
    EXPECT_FLOAT_EQ(clock.at(kT0 + 14 * kMs), 0.25f);
    EXPECT_FLOAT_EQ(clock.at(kT0 + 17 * kMs), 0.25f);
    EXPECT_FLOAT_EQ(std::accumulate(clock.out.begin(), clock.out.end(), 0.0f), 4 * 0.5f + 4 * 0.25f);
  }
}

// A disagreement that lasts 100 ms is real: the stream moves.
TEST(StreamMixTest, AStreamFollowsAJumpThatLasts) {
  StreamMix mix(kRate, 200);
  Clock clock(mix);
  clock.run(1);
  std::vector<float> block(10, 0.5f);
  mix.add(1, block.data(), 10, 1, kT0);
  // From here on its times are 50 ms later than the frames it follows.
  for (uint64_t i = 1; i <= 12; ++i) mix.add(1, block.data(), 10, 1, kT0 + (10 * i + 50) * kMs);
  clock.run(40);
  ASSERT_GE(clock.out.size(), 190u);
  // Nine blocks more are taken as contiguous; the tenth moves it by 50 ms.
  for (uint64_t ms : {0, 99}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 0.5f) << ms;
  for (uint64_t ms : {100, 149}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 0.0f) << ms;
  for (uint64_t ms : {150, 179}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 0.5f) << ms;
  EXPECT_FLOAT_EQ(clock.at(kT0 + 180 * kMs), 0.0f);
}

// A stream placed late (its first data came after the mix had gone on)
// whose times then say it belongs earlier moves back without summing two
// copies of itself: the overlap is dropped, and it is on time again.
TEST(StreamMixTest, AStreamMovingBackDropsWhatOverlapsInsteadOfDoublingIt) {
  StreamMix mix(kRate, 200);
  Clock clock(mix);
  clock.run(1);
  std::vector<float> block(10, 0.5f);
  mix.add(1, block.data(), 10, 1, kT0 + 50 * kMs);
  // From here on its times are 50 ms earlier than the frames it follows.
  for (uint64_t i = 1; i <= 15; ++i) mix.add(1, block.data(), 10, 1, kT0 + 10 * i * kMs);
  clock.run(40);
  ASSERT_GE(clock.out.size(), 200u);
  EXPECT_FLOAT_EQ(*std::max_element(clock.out.begin(), clock.out.end()), 0.5f) << "never two copies";
  // Nine blocks more are taken as contiguous (up to 150 ms); then it is back
  // on its own times, and the five blocks that overlap are dropped.
  for (uint64_t ms : {49, 160}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 0.0f) << ms;
  for (uint64_t ms : {50, 139, 140, 159}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 0.5f) << ms;
  EXPECT_EQ(mix.dropped(), 50u);
}

// A device waking from a stall reports latencies half a second off, which
// come right over a second: a stream's times then run ahead of its data
// until they hold. It stays whole and contiguous meanwhile, and moves once
// when they hold (here its first data was placed where the mix stood, 50 ms
// early).
TEST(StreamMixTest, AStreamWhoseTimesAreStillSettlingStaysWholeAndMovesOnceTheyHold) {
  StreamMix mix(kRate, 100);
  Clock clock(mix);
  clock.run(20);
  std::vector<float> block(10, 0.5f);
  const int blocks = 100;
  uint64_t lastHeard = 0;
  for (int i = 0; i < blocks; ++i) {
    uint64_t heard = lastHeard = clock.next - 50 * kMs;  // when the block was really heard
    uint64_t lag = uint64_t(std::max(0, 400 - 10 * i)) * kMs;
    mix.add(1, block.data(), 10, 1, heard - lag);
    clock.run(1);
  }
  clock.run(20);
  EXPECT_EQ(mix.dropped(), 0u);
  EXPECT_FLOAT_EQ(std::accumulate(clock.out.begin(), clock.out.end(), 0.0f), blocks * 10 * 0.5f) << "all of it, once";
  // One gap in it: where it moved to its times.
  auto first = std::find(clock.out.begin(), clock.out.end(), 0.5f);
  auto last = std::find(clock.out.rbegin(), clock.out.rend(), 0.5f).base();
  EXPECT_EQ(std::count(first, last, 0.0f), 50);
  // From there on it is where its times say.
  EXPECT_FLOAT_EQ(clock.at(lastHeard + 9 * kMs), 0.5f);
  EXPECT_FLOAT_EQ(clock.at(lastHeard + 10 * kMs), 0.0f);
}

TEST(StreamMixTest, DataBeforeTheClockIsDroppedAndLateDataComesWhereTheMixStands) {
  StreamMix mix(kRate, 20);
  std::vector<float> ten(10, 1.0f);
  mix.add(3, ten.data(), 10, 1, kT0);
  EXPECT_EQ(mix.dropped(), 10u) << "no clock yet";
  Clock clock(mix);
  clock.run(4);  // handed out up to kT0 + 20 ms
  ASSERT_EQ(clock.out.size(), 20u);
  mix.add(4, ten.data(), 10, 1, kT0 + 15 * kMs);  // 5 ms late
  std::vector<float> more(5, 0.5f);
  mix.add(4, more.data(), 5, 1, kT0 + 25 * kMs);  // and on from there
  EXPECT_EQ(mix.dropped(), 10u);
  EXPECT_EQ(mix.lateFrames(), 5u);
  clock.run(2);
  std::vector<float> want(20, 0.0f);
  std::fill(want.begin(), want.begin() + 10, 1.0f);
  std::fill(want.begin() + 10, want.begin() + 15, 0.5f);
  EXPECT_EQ(std::vector<float>(clock.out.begin() + 20, clock.out.end()), want);
}

// The monitor of a new or waking device delivers less than the device
// played, and its times jump forward: the frames in between are still
// handed out, with what the streams added there, unless the jump goes
// beyond what the mix holds.
TEST(StreamMixTest, AClockJumpForwardHandsOutWhatLayInBetweenAndOneBackNeverRepeatsTime) {
  StreamMix mix(kRate, 20);
  Clock clock(mix);
  clock.run(3);
  std::vector<float> ones(5, 1.0f);
  mix.add(1, ones.data(), 5, 1, kT0 + 12 * kMs);
  mix.add(2, ones.data(), 5, 1, kT0 + 300 * kMs);
  clock.take(mix.tick(10, kT0 + 430 * kMs));
  ASSERT_EQ(clock.out.size(), 420u) << "everything up to the delay before the clock";
  for (uint64_t ms : {12, 16, 300, 304}) EXPECT_FLOAT_EQ(clock.at(kT0 + ms * kMs), 1.0f) << ms;
  EXPECT_FLOAT_EQ(std::accumulate(clock.out.begin(), clock.out.end(), 0.0f), 10.0f);

  // Beyond half of what the mix holds (520 ms here), the time skipped is silence.
  mix.add(3, ones.data(), 5, 1, kT0 + 500 * kMs);
  auto jumped = mix.tick(10, kT0 + 1030 * kMs);
  ASSERT_TRUE(jumped);
  EXPECT_EQ(jumped->heardNs, kT0 + 1010 * kMs);
  EXPECT_EQ(jumped->samples, std::vector<float>(10, 0.0f));
  // Back by 100 ms: nothing until the clock is past what was handed out.
  uint64_t clockAt = kT0 + 940 * kMs;
  int silentTicks = 0;
  for (std::optional<StreamMix::Block> b; !(b = mix.tick(10, clockAt)); clockAt += 10 * kMs) ++silentTicks;
  EXPECT_EQ(silentTicks, 10);
}

TEST(StreamMixTest, AClockOfSmallTicksGivesWholeBlocks) {
  StreamMix mix(kRate, 20, 10);
  std::vector<size_t> sizes;
  uint64_t at = kT0;
  for (uint32_t frames : {3u, 3u, 3u, 3u, 3u, 3u, 3u, 3u, 3u, 3u, 7u, 3u, 3u, 3u}) {
    if (auto b = mix.tick(frames, at)) sizes.push_back(b->samples.size());
    at += frames * kMs;
  }
  // Due at 30 ms: 10; at 37: 7 more, held; at 40: 10.
  EXPECT_EQ(sizes, (std::vector<size_t>{10, 10}));
}

}  // namespace
}  // namespace lumeno
