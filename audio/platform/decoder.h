// The FFmpeg demuxer and decoder under the reader and the audio file: the
// first audio track of a file as decoded frames, with everything the decoder
// hands over before time 0 (encoder priming behind an edit list) cut off,
// and in MPEG-4 files everything past the end of the last sample's duration
// (the padding of the encoder's last frame). A damaged packet that does not
// decode comes out as silence of its own duration, so that what follows
// keeps its place on the timeline; so does a packet whose time stamp is
// damaged, which goes right after the packet before it.
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
  // None when the file cannot be opened, has no audio track or no decoder,
  // or announces a rate no audio is recorded at (below 8 kHz, above 384 kHz).
  static std::unique_ptr<Decoder> open(const std::filesystem::path& file);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  enum class Result { frame, end, error };
  // The next decoded frame, or a frame of silence in place of packets that
  // did not decode; its samples from `skip` (those before lie before time 0)
  // to `skip + count` (those after lie past the track's end) are the audio.
  // At end the decoder has been drained.
  Result next(AVFrame*& frame, int& skip, int& count);
  const std::string& error() const { return error_; }
  // Seconds of silence handed out so far in place of damaged packets.
  double replacedSeconds() const { return replacedSeconds_; }

  AVFormatContext* format() const { return format_; }
  AVStream* stream() const { return format_->streams[streamIndex_]; }
  AVCodecContext* codec() const { return codec_; }

 private:
  Decoder() = default;
  // Cuts a frame starting at t (stream time base) to the track: false when
  // none of it is audio.
  bool cut(AVFrame* f, int64_t t, int& skip, int& count);
  // Makes silence_ the next piece (at most a second) of the silence owed for
  // damaged packets, up to `until`, in the format of the last decoded frame.
  // False when there is none to make.
  bool makeSilence(int64_t until);
  // Notes that the packet at pts, lasting duration (0: unknown), did not decode.
  void lose(int64_t pts, int64_t duration);

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

  // Damage: where the next frame should start (stream time base; none before
  // the first packet), where the timeline that packets which did not decode
  // since the last frame spanned ends (none without such packets; while the
  // last one's duration is unknown, it ends where the next packet starts),
  // and a frame that waits behind the silence put in their place.
  int64_t nextStart_ = AV_NOPTS_VALUE;
  int64_t lostUntil_ = AV_NOPTS_VALUE;
  bool lostOpenEnd_ = false;
  int64_t lostFrom_ = AV_NOPTS_VALUE;  // where the silence for them starts
  int64_t lostUnits_ = 0;              // how many packets did not decode
  int64_t sentPts_ = AV_NOPTS_VALUE, sentDuration_ = 0;  // the packet sent last
  int64_t expectedPts_ = AV_NOPTS_VALUE;  // where the last packet with a duration ended
  bool retimed_ = false;                  // a packet's damaged time stamp was replaced
  bool held_ = false;
  AVFrame* silence_ = nullptr;
  AVFrame* shape_ = nullptr;  // the last decoded frame's format, without data
  double replacedSeconds_ = 0;
};

// The error text of an FFmpeg status.
std::string averrorText(int code);

// Silences the FFmpeg libraries' own log output (once per process).
void quietMediaLibraries();

// Opens a file's container and finds its first audio stream: index or -1.
// None when it cannot be opened, or when its sample tables are damaged so
// that the demuxer would spend memory and time out of all proportion.
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
