// PCM helpers shared by the capture sources, tracks and decoders.
#pragma once

#include <optional>

#include "audio/platform/converter.h"
#include "audio/platform/pcm_buffer.h"

namespace lumeno {

// A new 32-bit float, 1-channel, planar buffer at the input's rate with the
// same frame count: channel 0 when firstOnly, else the plain average of all
// channels. None for an empty or non-float input. The input is not changed.
std::optional<PcmBuffer> mono(const PcmBuffer& buffer, bool firstOnly);
// The same for frames interleaved float frames of channels samples each at
// rate, as a capture stream delivers them, without copying them into a
// buffer first. None for no frames or no channels.
std::optional<PcmBuffer> mono(const float* samples, uint32_t frames, double rate, uint32_t channels,
                              bool firstOnly);

// Runs one buffer through a long-lived converter: a new buffer in the
// converter's output format with capacity frames x output rate / input rate
// + 256, holding what came out (possibly 0 frames). The converter is never
// told the stream ended, so its filter state carries into the next call.
// None, with "convert failed: " + description logged, on a converter error.
std::optional<PcmBuffer> convert(Converter& converter, const PcmBuffer& buffer);
// The same into out, which is kept when it already has the output format
// and that capacity or more, so that a stream of buffers reuses one; false
// (logged as above) on a converter error.
bool convert(Converter& converter, const PcmBuffer& buffer, std::optional<PcmBuffer>& out);

// x rounded to `places` decimals, halves away from zero.
double rounded(double x, int places);

}  // namespace lumeno
