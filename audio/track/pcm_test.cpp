#include "audio/track/pcm.h"

#include <gtest/gtest.h>

namespace lumeno {
namespace {

PcmBuffer stereo(bool interleaved, const std::vector<float>& left, const std::vector<float>& right) {
  auto buffer = PcmBuffer::make({48000, 2, interleaved, SampleType::float32}, uint32_t(left.size()));
  buffer->setFrameLength(uint32_t(left.size()));
  for (size_t i = 0; i < left.size(); ++i) {
    if (interleaved) {
      buffer->floatData(0)[2 * i] = left[i];
      buffer->floatData(0)[2 * i + 1] = right[i];
    } else {
      buffer->floatData(0)[i] = left[i];
      buffer->floatData(1)[i] = right[i];
    }
  }
  return *buffer;
}

std::vector<float> samples(const PcmBuffer& b) {
  return std::vector<float>(b.floatData(0), b.floatData(0) + b.frameLength());
}

TEST(Mono, AveragesOrTakesTheFirstChannelInBothLayouts) {
  std::vector<float> left{1.0f, 0.5f, -1.0f}, right{0.0f, 0.5f, 1.0f};
  for (bool interleaved : {true, false}) {
    SCOPED_TRACE(interleaved ? "interleaved" : "planar");
    PcmBuffer input = stereo(interleaved, left, right);
    auto mixed = mono(input, false);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(samples(*mixed), (std::vector<float>{0.5f, 0.5f, 0.0f}));
    EXPECT_EQ(mixed->format(), (AudioFormat{48000, 1, false, SampleType::float32}));
    auto first = mono(input, true);
    ASSERT_TRUE(first);
    EXPECT_EQ(samples(*first), left);
  }
}

TEST(Mono, KeepsOneChannelAndRefusesEmptyOrIntegerBuffers) {
  auto one = PcmBuffer::make({44100, 1, false, SampleType::float32}, 4);
  one->setFrameLength(4);
  for (int i = 0; i < 4; ++i) one->floatData(0)[i] = 0.25f * float(i);
  auto out = mono(*one, false);
  ASSERT_TRUE(out);
  EXPECT_EQ(samples(*out), samples(*one));
  EXPECT_EQ(out->sampleRate(), 44100);

  auto empty = PcmBuffer::make({48000, 2, true, SampleType::float32}, 16);
  EXPECT_FALSE(mono(*empty, false));
  auto ints = PcmBuffer::make({48000, 1, false, SampleType::int16}, 16);
  ints->setFrameLength(16);
  EXPECT_FALSE(mono(*ints, false));
}

TEST(Rounded, RoundsHalvesAwayFromZero) {
  struct Case { double x; int places; double want; };
  for (auto c : std::vector<Case>{{0.0625, 3, 0.063}, {-0.0625, 3, -0.063}, {2.5, 0, 3}, {-2.5, 0, -3}, {0.12345, 2, 0.12}}) {
    EXPECT_DOUBLE_EQ(rounded(c.x, c.places), c.want) << c.x;
  }
}

}  // namespace
}  // namespace lumeno
