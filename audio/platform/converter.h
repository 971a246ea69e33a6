// The converter: a long-lived sample-rate and channel converter between two
// float formats (libswresample). Its filter state carries from one call to
// the next, so a continuous source has no seams; drain() only at a source's end.
#pragma once

#include <memory>
#include <string>

#include "audio/platform/pcm_buffer.h"

struct SwrContext;

namespace lumeno {

class Converter {
 public:
  // None when either format is not float or cannot be converted.
  static std::unique_ptr<Converter> make(const AudioFormat& from, const AudioFormat& to);
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Feeds all of input's frames and puts as many converted frames as are
  // ready (up to output's capacity) into output, setting its frame length;
  // what does not fit yet stays inside. False with *error when input is not
  // in inputFormat(), output not in outputFormat(), or the resampler fails.
  bool convert(const PcmBuffer& input, PcmBuffer& output, std::string* error);
  // A resampler withholds the last few frames of every call (its filter looks
  // ahead by about 1 ms) until more input comes. This feeds it that much
  // silence up front, so that every call gives out as many frames as the rate
  // ratio makes of what went in: a source that delivers 100 ms at a time gets
  // 100 ms back each time, at the price of output about 1 ms late. Call it
  // before the first convert(). False when the converter refuses.
  bool primeWithSilence();
  // Takes out what the filter still holds at the end of a source (up to
  // output's capacity), setting output's frame length; 0 frames when nothing
  // is left. Only for a source that has ended: later input would follow a seam.
  bool drain(PcmBuffer& output, std::string* error);

 private:
  Converter(const AudioFormat& from, const AudioFormat& to, SwrContext* swr);
  AudioFormat from_, to_;
  SwrContext* swr_;
};

}  // namespace lumeno
