// PCM audio formats and buffers, the unit every capture source, converter,
// track and decoder hands around.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lumeno {

enum class SampleType { float32, int16 };

struct AudioFormat {
  double sampleRate = 0;
  uint32_t channels = 0;
  bool interleaved = false;
  SampleType sample = SampleType::float32;

  bool operator==(const AudioFormat&) const = default;
};

// A buffer of frames in one format: planar formats keep one plane per
// channel, interleaved ones a single plane with `channels` samples per frame.
class PcmBuffer {
 public:
  // None when the format cannot hold audio (rate <= 0 or no channels).
  static std::optional<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  double sampleRate() const { return format_.sampleRate; }
  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  // Clamped to the capacity.
  void setFrameLength(uint32_t frames) { length_ = frames < capacity_ ? frames : capacity_; }

  uint32_t planeCount() const { return format_.interleaved ? 1 : format_.channels; }
  // Samples between two frames within a plane.
  uint32_t stride() const { return format_.interleaved ? format_.channels : 1; }
  // Float samples of a plane, or null for integer formats or a plane out of range.
  float* floatData(uint32_t plane);
  const float* floatData(uint32_t plane) const;
  int16_t* int16Data(uint32_t plane);
  const int16_t* int16Data(uint32_t plane) const;

 private:
  PcmBuffer(const AudioFormat& format, uint32_t capacity);

  AudioFormat format_;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  std::vector<float> floats_;  // planes one after another
  std::vector<int16_t> ints_;
};

}  // namespace lumeno
