#include "audio/platform/decoder.h"

#include <algorithm>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace lumeno {

std::string averrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void quietMediaLibraries() {
  // The libraries' own messages would mix into the program's log.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

AVFormatContext* openContainer(const std::filesystem::path& file, int& audioStream) {
  quietMediaLibraries();
  audioStream = -1;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return nullptr;
  if (avformat_find_stream_info(format, nullptr) < 0) {
    avformat_close_input(&format);
    return nullptr;
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      audioStream = int(i);
      break;
    }
  }
  return format;
}

int64_t presentationEnd(const AVFormatContext* format, const AVStream* stream, int64_t packetEnd) {
  bool mpeg4 = format->iformat && std::strncmp(format->iformat->name, "mov,", 4) == 0;
  if (!mpeg4 || stream->start_time == AV_NOPTS_VALUE || stream->duration == AV_NOPTS_VALUE || stream->duration <= 0)
    return packetEnd;
  int64_t trackEnd = stream->start_time + stream->duration;
  return packetEnd == AV_NOPTS_VALUE ? trackEnd : std::min(packetEnd, trackEnd);
}

std::unique_ptr<Decoder> Decoder::open(const std::filesystem::path& file) {
  std::unique_ptr<Decoder> d(new Decoder());
  d->format_ = openContainer(file, d->streamIndex_);
  if (!d->format_ || d->streamIndex_ < 0) return nullptr;
  AVStream* st = d->stream();
  for (unsigned i = 0; i < d->format_->nb_streams; ++i)
    if (int(i) != d->streamIndex_) d->format_->streams[i]->discard = AVDISCARD_ALL;
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return nullptr;
  d->codec_ = avcodec_alloc_context3(codec);
  if (!d->codec_ || avcodec_parameters_to_context(d->codec_, st->codecpar) < 0) return nullptr;
  d->codec_->pkt_timebase = st->time_base;
  if (avcodec_open2(d->codec_, codec, nullptr) < 0) return nullptr;
  d->packet_ = av_packet_alloc();
  d->frame_ = av_frame_alloc();
  if (!d->packet_ || !d->frame_) return nullptr;
  return d;
}

Decoder::~Decoder() {
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&codec_);
  if (format_) avformat_close_input(&format_);
}

Decoder::Result Decoder::next(AVFrame*& frame, int& skip, int& count) {
  for (;;) {
    if (done_) return Result::end;
    int rc = avcodec_receive_frame(codec_, frame_);
    if (rc == 0) {
      int64_t t = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
      skip = 0;
      int stop = frame_->nb_samples;
      if (t != AV_NOPTS_VALUE && frame_->sample_rate > 0) {
        AVRational rate{1, frame_->sample_rate};
        int64_t start = av_rescale_q(t, stream()->time_base, rate);
        if (start < 0) skip = int(std::min<int64_t>(-start, frame_->nb_samples));
        // A frame is decoded from packets already read, so the end known
        // now lies at or after its own packet's end. Samples are cut only
        // where the track ends before its packets do: the padding after the
        // last sample's end.
        int64_t end = presentationEnd(format_, stream(), packetEnd_);
        if (end != packetEnd_ && end != AV_NOPTS_VALUE) {
          int64_t left = av_rescale_q(end, stream()->time_base, rate) - start;
          stop = int(std::clamp<int64_t>(left, 0, frame_->nb_samples));
        }
      }
      if (skip >= stop) continue;
      count = stop - skip;
      frame = frame_;
      return Result::frame;
    }
    if (rc == AVERROR_EOF) {
      done_ = true;
      return Result::end;
    }
    if (rc == AVERROR_INVALIDDATA) continue;  // a damaged packet: go on with the next
    if (rc != AVERROR(EAGAIN)) {
      error_ = averrorText(rc);
      return Result::error;
    }
    if (draining_) {
      done_ = true;
      return Result::end;
    }
    rc = av_read_frame(format_, packet_);
    if (rc < 0) {
      // The end of the data: a file whose writer was killed ends after its
      // last complete fragment, which is a clean end too.
      if (rc != AVERROR_EOF && format_->pb && format_->pb->error < 0 && !avio_feof(format_->pb)) {
        error_ = averrorText(rc);
        return Result::error;
      }
      draining_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    if (packet_->stream_index == streamIndex_) {
      if (packet_->pts == AV_NOPTS_VALUE || packet_->duration <= 0)
        packetEnd_ = AV_NOPTS_VALUE;
      else
        packetEnd_ = std::max(packetEnd_ == AV_NOPTS_VALUE ? INT64_MIN : packetEnd_, packet_->pts + packet_->duration);
      rc = avcodec_send_packet(codec_, packet_);
      // A damaged packet is skipped; the decoder goes on with the next one.
      if (rc < 0 && rc != AVERROR_INVALIDDATA && rc != AVERROR(EAGAIN)) {
        av_packet_unref(packet_);
        error_ = averrorText(rc);
        return Result::error;
      }
    }
    av_packet_unref(packet_);
  }
}

}  // namespace lumeno
