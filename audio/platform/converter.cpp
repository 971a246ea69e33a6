#include "audio/platform/converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <vector>

namespace lumeno {

namespace {

AVSampleFormat sampleFormat(const AudioFormat& f) {
  return f.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
}

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

std::unique_ptr<Converter> Converter::make(const AudioFormat& from, const AudioFormat& to) {
  if (from.sample != SampleType::float32 || to.sample != SampleType::float32) return nullptr;
  if (!(from.sampleRate > 0) || !(to.sampleRate > 0) || from.channels == 0 || to.channels == 0) return nullptr;
  AVChannelLayout in, out;
  av_channel_layout_default(&in, int(from.channels));
  av_channel_layout_default(&out, int(to.channels));
  SwrContext* swr = nullptr;
  int rc = swr_alloc_set_opts2(&swr, &out, sampleFormat(to), int(to.sampleRate), &in, sampleFormat(from),
                               int(from.sampleRate), 0, nullptr);
  if (rc < 0 || !swr) return nullptr;
  if (to.channels == 1 && from.channels > 1) {
    // A plain average of all channels, as the down-mix of the capture sources does.
    std::vector<double> matrix(from.channels, 1.0 / from.channels);
    if (swr_set_matrix(swr, matrix.data(), int(from.channels)) < 0) {
      swr_free(&swr);
      return nullptr;
    }
  }
  if (swr_init(swr) < 0) {
    swr_free(&swr);
    return nullptr;
  }
  return std::unique_ptr<Converter>(new Converter(from, to, swr));
}

Converter::Converter(const AudioFormat& from, const AudioFormat& to, SwrContext* swr)
    : from_(from), to_(to), swr_(swr) {}

Converter::~Converter() { swr_free(&swr_); }

bool Converter::convert(const PcmBuffer& input, PcmBuffer& output, std::string* error) {
  if (!(input.format() == from_)) {
    if (error) *error = "input format does not match the converter";
    return false;
  }
  if (!(output.format() == to_)) {
    if (error) *error = "output format does not match the converter";
    return false;
  }
  std::vector<const uint8_t*> in(input.planeCount());
  for (uint32_t p = 0; p < input.planeCount(); ++p) in[p] = reinterpret_cast<const uint8_t*>(input.floatData(p));
  std::vector<uint8_t*> out(output.planeCount());
  for (uint32_t p = 0; p < output.planeCount(); ++p) out[p] = reinterpret_cast<uint8_t*>(output.floatData(p));
  int n = swr_convert(swr_, out.data(), int(output.frameCapacity()), in.data(), int(input.frameLength()));
  if (n < 0) {
    if (error) *error = averror(n);
    return false;
  }
  output.setFrameLength(uint32_t(n));
  return true;
}

bool Converter::primeWithSilence() {
  if (from_.sampleRate == to_.sampleRate) return true;  // nothing is withheld
  // The default filter looks half its 32 taps ahead, counted at the lower of
  // the two rates: that much input in silence, rounded up.
  auto lead = int(std::ceil(16.0 * std::max(1.0, from_.sampleRate / to_.sampleRate)));
  return swr_inject_silence(swr_, lead) >= 0;
}

bool Converter::drain(PcmBuffer& output, std::string* error) {
  if (!(output.format() == to_)) {
    if (error) *error = "output format does not match the converter";
    return false;
  }
  std::vector<uint8_t*> out(output.planeCount());
  for (uint32_t p = 0; p < output.planeCount(); ++p) out[p] = reinterpret_cast<uint8_t*>(output.floatData(p));
  int n = swr_convert(swr_, out.data(), int(output.frameCapacity()), nullptr, 0);
  if (n < 0) {
    if (error) *error = averror(n);
    return false;
  }
  output.setFrameLength(uint32_t(n));
  return true;
}

}  // namespace lumeno
