// The FFmpeg demuxer and decoder under the reader and the audio file: the
// first audio track of a file as decoded frames, with everything the decoder
// hands over before time 0 (encoder priming behind an edit list) cut off,
// and in MPEG-4 files everything past the end of the last sample's duration
// (the padding of the encoder's last frame).
// Private to the platform folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace lumeno {

class Decoder {
 public:
  // None when the file cannot be opened, has no audio track or no decoder.
  static std::unique_ptr<Decoder> open(const std::filesystem::path& file);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  enum class Result { frame, end, error };
  // The next decoded frame; its samples from `skip` (those before lie before
  // time 0) to `skip + count` (those after lie past the track's end) are
  // the audio. At end the decoder has been drained.
  Result next(AVFrame*& frame, int& skip, int& count);
  const std::string& error() const { return error_; }

  AVFormatContext* format() const { return format_; }
  AVStream* stream() const { return format_->streams[streamIndex_]; }
  AVCodecContext* codec() const { return codec_; }

 private:
  Decoder() = default;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int streamIndex_ = -1;
  // The end of the packets read so far, in the stream's time base; none
  // while the latest packet has no duration.
  int64_t packetEnd_ = AV_NOPTS_VALUE;
  bool draining_ = false;
  bool done_ = false;
  std::string error_;
};

// The error text of an FFmpeg status.
std::string averrorText(int code);

// Silences the FFmpeg libraries' own log output (once per process).
void quietMediaLibraries();

// Opens a file's container and finds its first audio stream: index or -1.
AVFormatContext* openContainer(const std::filesystem::path& file, int& audioStream);

// Where the audio of a stream ends, in its time base, given the end of its
// packets read so far (pts + duration; none when unknown). In MPEG-4 files
// the track's sample durations mark the end: the demuxer's packet durations
// are whole codec frames, so the last packet would also cover the encoder's
// padding; the track ends no later than its start plus its duration (which
// grows as fragments are read). Other containers end with their packets.
// None when unknown.
int64_t presentationEnd(const AVFormatContext* format, const AVStream* stream, int64_t packetEnd);

}  // namespace lumeno
