// The encoded-file reader: a file's properties (the asset) and its first
// audio track decoded to 48 kHz mono float (FFmpeg demuxer and decoder, then
// libswresample). Samples the decoder hands over before time 0 (encoder
// priming) are dropped, so frame f of the file is frame f decoded; damaged
// audio that does not decode is silence of the same length.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "audio/platform/pcm_buffer.h"

namespace lumeno {

// What a format description tells about an audio track's playback format.
struct StreamDescription {
  double sampleRate = 0;          // Hz
  uint32_t formatID = 0;          // formatMPEG4AAC_HE, formatMPEG4AAC, ... (writer.h); 0 when unknown
  uint32_t channelsPerFrame = 0;  // for AAC: the audio specific config's channel configuration
};

// A media file's properties.
struct Asset {
  double durationSeconds = NAN;  // NaN when the file cannot be opened
  bool hasAudioTrack = false;
  // The first audio track's playback format; none without one.
  std::optional<StreamDescription> formatDescription;
  // The first audio track's media data size over its duration, bits per second; 0 when unknown.
  float estimatedDataRate = 0;
};

// Never fails: a file that is no media file gives NaN and no audio track.
Asset openAsset(const std::filesystem::path& file);

enum class ReaderStatus { unknown, reading, completed, failed, cancelled };

// Decodes the first audio track of a file into mono48 buffers.
class AssetReader {
 public:
  // None when the file cannot be opened, has no audio track or no decoder.
  static std::unique_ptr<AssetReader> make(const std::filesystem::path& file);
  ~AssetReader();
  AssetReader(const AssetReader&) = delete;
  AssetReader& operator=(const AssetReader&) = delete;

  // Status becomes reading; false with errorDescription() when it cannot.
  bool startReading();
  // The next decoded mono48 buffer (at least one frame), or none when no
  // buffer is left: then status() is completed at a clean end, else failed.
  std::optional<PcmBuffer> copyNextSampleBuffer();
  ReaderStatus status() const { return status_; }
  std::string errorDescription() const { return error_; }
  // Milliseconds of silence handed out so far in place of damaged audio
  // that did not decode (the audio after it keeps its place).
  double replacedMs() const;

 private:
  AssetReader();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  ReaderStatus status_ = ReaderStatus::unknown;
  std::string error_;
};

}  // namespace lumeno
