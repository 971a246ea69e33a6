// PCM helpers shared by the capture sources, tracks and decoders.
#pragma once

#include <optional>

#include "audio/platform/pcm_buffer.h"

namespace lumeno {

// A new 32-bit float, 1-channel, planar buffer at the input's rate with the
// same frame count: channel 0 when firstOnly, else the plain average of all
// channels. None for an empty or non-float input. The input is not changed.
std::optional<PcmBuffer> mono(const PcmBuffer& buffer, bool firstOnly);

// x rounded to `places` decimals, halves away from zero.
double rounded(double x, int places);

}  // namespace lumeno
