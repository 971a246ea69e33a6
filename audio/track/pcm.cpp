#include "audio/track/pcm.h"

#include <cmath>
#include <string>

#include "audio/base/events.h"

namespace lumeno {

namespace {

// dst[i] = the average of the first n of the stride samples of frame i.
void mixInterleaved(const float* src, uint32_t frames, uint32_t stride, uint32_t n, float* dst) {
  for (uint32_t i = 0; i < frames; ++i) {
    float sum = 0;
    for (uint32_t j = 0; j < n; ++j) sum += src[size_t(i) * stride + j];
    dst[i] = sum / float(n);
  }
}

}  // namespace

std::optional<PcmBuffer> mono(const float* samples, uint32_t frames, double rate, uint32_t channels,
                              bool firstOnly) {
  if (frames == 0 || channels == 0) return std::nullopt;
  auto out = PcmBuffer::make({rate, 1, false, SampleType::float32}, frames);
  if (!out) return std::nullopt;
  out->setFrameLength(frames);
  mixInterleaved(samples, frames, channels, firstOnly ? 1 : channels, out->floatData(0));
  return out;
}

std::optional<PcmBuffer> mono(const PcmBuffer& buffer, bool firstOnly) {
  uint32_t frames = buffer.frameLength();
  if (frames == 0 || buffer.format().sample != SampleType::float32) return std::nullopt;
  auto out = PcmBuffer::make({buffer.sampleRate(), 1, false, SampleType::float32}, frames);
  if (!out) return std::nullopt;
  out->setFrameLength(frames);

  uint32_t channels = buffer.format().channels;
  uint32_t n = firstOnly ? 1 : (channels < 1 ? 1 : channels);
  bool interleaved = buffer.format().interleaved && channels > 1;
  float* dst = out->floatData(0);
  if (interleaved) {
    mixInterleaved(buffer.floatData(0), frames, buffer.stride(), n, dst);
  } else {
    for (uint32_t i = 0; i < frames; ++i) dst[i] = 0;
    for (uint32_t j = 0; j < n; ++j) {
      const float* src = buffer.floatData(j);
      for (uint32_t i = 0; i < frames; ++i) dst[i] += src[i];
    }
    if (n > 1)
      for (uint32_t i = 0; i < frames; ++i) dst[i] /= float(n);
  }
  return out;
}

bool convert(Converter& converter, const PcmBuffer& buffer, std::optional<PcmBuffer>& out) {
  const AudioFormat& to = converter.outputFormat();
  double ratio = to.sampleRate / converter.inputFormat().sampleRate;
  uint32_t capacity = uint32_t(double(buffer.frameLength()) * ratio) + 256;
  if (!out || !(out->format() == to) || out->frameCapacity() < capacity) out = PcmBuffer::make(to, capacity);
  if (!out) return false;
  std::string error;
  if (!converter.convert(buffer, *out, &error)) {
    log("convert failed: " + error);
    return false;
  }
  return true;
}

std::optional<PcmBuffer> convert(Converter& converter, const PcmBuffer& buffer) {
  std::optional<PcmBuffer> out;
  if (!convert(converter, buffer, out)) return std::nullopt;
  return out;
}

double rounded(double x, int places) {
  double scale = std::pow(10.0, places);
  return std::round(x * scale) / scale;
}

}  // namespace lumeno
