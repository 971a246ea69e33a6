// The FFmpeg demuxer and decoder under the reader and the audio file: the
// first audio track of a file as decoded frames, with everything the decoder
// hands over before time 0 (encoder priming behind an edit list) cut off.
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
  // The next decoded frame; `skip` is the number of its leading samples that
  // lie before time 0. At end the decoder has been drained.
  Result next(AVFrame*& frame, int& skip);
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

}  // namespace lumeno
