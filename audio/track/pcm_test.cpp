#include "audio/track/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/stderr_capture.h"

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

TEST(Mono, OfRawInterleavedFramesAsOfABuffer) {
  PcmBuffer input = stereo(true, {1.0f, 0.5f, -1.0f}, {0.0f, 0.5f, 1.0f});
  for (bool firstOnly : {false, true}) {
    SCOPED_TRACE(firstOnly);
    auto raw = mono(input.floatData(0), 3, 48000, 2, firstOnly);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->format(), (AudioFormat{48000, 1, false, SampleType::float32}));
    EXPECT_EQ(samples(*raw), samples(*mono(input, firstOnly)));
  }
  EXPECT_FALSE(mono(input.floatData(0), 0, 48000, 2, false));
  EXPECT_FALSE(mono(input.floatData(0), 3, 48000, 0, false));
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

AudioFormat mono(double rate) { return {rate, 1, false, SampleType::float32}; }

PcmBuffer sine(double rate, uint32_t frames, uint32_t offset) {
  auto b = PcmBuffer::make(mono(rate), frames);
  b->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) b->floatData(0)[i] = float(std::sin(2 * M_PI * 440 * (i + offset) / rate));
  return *b;
}

TEST(Convert, AllocatesInputTimesRatioPlus256) {
  auto converter = Converter::make(mono(48000), mono(16000));
  auto out = convert(*converter, sine(48000, 480, 0));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->frameCapacity(), 416u);
  EXPECT_EQ(out->format(), mono(16000));
}

TEST(Convert, IntoABufferKeepsOneWithRoomAndReplacesOneWithout) {
  auto converter = Converter::make(mono(48000), mono(16000));
  std::optional<PcmBuffer> out;
  ASSERT_TRUE(convert(*converter, sine(48000, 4800, 0), out));
  EXPECT_EQ(out->frameCapacity(), 1856u);
  const float* kept = out->floatData(0);
  ASSERT_TRUE(convert(*converter, sine(48000, 480, 4800), out));
  EXPECT_EQ(out->floatData(0), kept);
  EXPECT_GT(out->frameLength(), 0u);
  ASSERT_TRUE(convert(*converter, sine(48000, 9600, 5280), out));
  EXPECT_EQ(out->frameCapacity(), 3456u);
}

TEST(Convert, KeepsFilterStateAcrossCallsWithoutSeams) {
  // The same signal converted whole and in 100 pieces of 441 frames.
  auto whole = Converter::make(mono(44100), mono(48000));
  auto pieces = Converter::make(mono(44100), mono(48000));
  auto once = convert(*whole, sine(44100, 44100, 0));
  ASSERT_TRUE(once);
  std::vector<float> joined;
  for (uint32_t k = 0; k < 100; ++k) {
    auto out = convert(*pieces, sine(44100, 441, k * 441));
    ASSERT_TRUE(out);
    joined.insert(joined.end(), out->floatData(0), out->floatData(0) + out->frameLength());
  }
  ASSERT_NEAR(double(joined.size()), double(once->frameLength()), 2);
  size_t n = std::min<size_t>(joined.size(), once->frameLength());
  EXPECT_GT(n, 47900u);  // never drained: only the filter's delay is still inside
  for (size_t i = 0; i < n; ++i) ASSERT_NEAR(joined[i], once->floatData(0)[i], 1e-4) << i;
}

TEST(Convert, WrongInputFormatLogsAndGivesNone) {
  auto converter = Converter::make(mono(48000), mono(16000));
  auto stereo = PcmBuffer::make({48000, 2, false, SampleType::float32}, 480);
  stereo->setFrameLength(480);
  test::StderrCapture err;
  auto out = convert(*converter, *stereo);
  EXPECT_FALSE(out);
  EXPECT_EQ(err.text(), "convert failed: input format does not match the converter\n");
}

}  // namespace
}  // namespace lumeno
