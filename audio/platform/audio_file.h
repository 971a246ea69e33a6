// A plain audio file read in its own rate and channels (FFmpeg demuxer and
// decoder), for the probes and the speech-file test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "audio/platform/pcm_buffer.h"

namespace lumeno {

class AudioFile {
 public:
  // None when the file cannot be opened or has no decodable audio track.
  static std::unique_ptr<AudioFile> openForReading(const std::filesystem::path& file);
  ~AudioFile();
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  // 32-bit float, planar, the file's sample rate and channel count.
  const AudioFormat& processingFormat() const { return format_; }
  // Frames in the file, from the container.
  int64_t length() const { return length_; }
  // Frames read so far.
  int64_t framePosition() const { return position_; }
  // Milliseconds of silence read so far in place of damaged audio that did
  // not decode.
  double replacedMs() const;

  // Reads up to frameCount frames (at most the buffer's capacity) into a
  // buffer of the processing format and sets its frame length: 0 at the
  // end. False on a decode error or a buffer of another format.
  bool read(PcmBuffer& buffer, uint32_t frameCount);
  // As above, up to the buffer's capacity.
  bool read(PcmBuffer& buffer) { return read(buffer, buffer.frameCapacity()); }

 private:
  AudioFile();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  AudioFormat format_;
  int64_t length_ = 0;
  int64_t position_ = 0;
};

}  // namespace lumeno
