#include "audio/platform/pcm_buffer.h"

namespace lumeno {

std::optional<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  if (!(format.sampleRate > 0) || format.channels == 0) return std::nullopt;
  return PcmBuffer(format, frameCapacity);
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t capacity) : format_(format), capacity_(capacity) {
  size_t samples = size_t(capacity) * format.channels;
  if (format.sample == SampleType::float32)
    floats_.assign(samples, 0.0f);
  else
    ints_.assign(samples, 0);
}

float* PcmBuffer::floatData(uint32_t plane) {
  if (format_.sample != SampleType::float32 || plane >= planeCount()) return nullptr;
  return floats_.data() + size_t(plane) * capacity_ * stride();
}

const float* PcmBuffer::floatData(uint32_t plane) const {
  return const_cast<PcmBuffer*>(this)->floatData(plane);
}

int16_t* PcmBuffer::int16Data(uint32_t plane) {
  if (format_.sample != SampleType::int16 || plane >= planeCount()) return nullptr;
  return ints_.data() + size_t(plane) * capacity_ * stride();
}

const int16_t* PcmBuffer::int16Data(uint32_t plane) const {
  return const_cast<PcmBuffer*>(this)->int16Data(plane);
}

}  // namespace lumeno
