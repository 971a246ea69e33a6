#include "audio/platform/decoder.h"

#include <algorithm>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "audio/platform/sample_tables.h"

namespace lumeno {

namespace {

// a + b, held at the ends of int64 instead of overflowing: a damaged file's
// times can be anything.
int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

int64_t saturatingSub(int64_t a, int64_t b) {
  int64_t difference;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? INT64_MAX : INT64_MIN;
}

// Rates that audio is recorded at. A damaged or foreign file can announce
// 1 Hz, and each of its samples then becomes 48,000 on the way out: minutes
// of audio from a few hundred bytes.
bool plausibleRate(int rate) { return rate >= 8000 && rate <= 384000; }

}  // namespace

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
  if (implausibleSampleTables(file)) return nullptr;
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
  int64_t trackEnd = saturatingAdd(stream->start_time, stream->duration);
  return packetEnd == AV_NOPTS_VALUE ? trackEnd : std::min(packetEnd, trackEnd);
}

std::unique_ptr<Decoder> Decoder::open(const std::filesystem::path& file) {
  std::unique_ptr<Decoder> d(new Decoder());
  d->format_ = openContainer(file, d->streamIndex_);
  if (!d->format_ || d->streamIndex_ < 0) return nullptr;
  AVStream* st = d->stream();
  if (!plausibleRate(st->codecpar->sample_rate)) return nullptr;
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
  d->silence_ = av_frame_alloc();
  d->shape_ = av_frame_alloc();
  if (!d->packet_ || !d->frame_ || !d->silence_ || !d->shape_) return nullptr;
  // Until a frame decodes, silence takes the format the stream announces.
  d->shape_->format = d->codec_->sample_fmt;
  d->shape_->sample_rate = d->codec_->sample_rate > 0 ? d->codec_->sample_rate : st->codecpar->sample_rate;
  if (av_channel_layout_copy(&d->shape_->ch_layout, &d->codec_->ch_layout) < 0) return nullptr;
  return d;
}

Decoder::~Decoder() {
  av_frame_free(&shape_);
  av_frame_free(&silence_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&codec_);
  if (format_) avformat_close_input(&format_);
}

bool Decoder::cut(AVFrame* f, int64_t t, int& skip, int& count) {
  skip = 0;
  int stop = f->nb_samples;
  if (t != AV_NOPTS_VALUE && f->sample_rate > 0) {
    AVRational rate{1, f->sample_rate};
    int64_t start = av_rescale_q(t, stream()->time_base, rate);
    // (A damaged file's start can be INT64_MIN, which has no negation.)
    if (start < 0) skip = start <= -int64_t(f->nb_samples) ? f->nb_samples : int(-start);
    // A frame is decoded from packets already read, so the end known
    // now lies at or after its own packet's end. Samples are cut only
    // where the track ends before its packets do: the padding after the
    // last sample's end.
    int64_t end = presentationEnd(format_, stream(), packetEnd_);
    if (end != packetEnd_ && end != AV_NOPTS_VALUE) {
      int64_t left = saturatingSub(av_rescale_q(end, stream()->time_base, rate), start);
      stop = int(std::clamp<int64_t>(left, 0, f->nb_samples));
    }
  }
  if (skip >= stop) return false;
  count = stop - skip;
  return true;
}

void Decoder::lose(int64_t pts, int64_t duration) {
  if (pts == AV_NOPTS_VALUE) return;
  int64_t end = duration > 0 ? saturatingAdd(pts, duration) : pts;
  lostUntil_ = lostUntil_ == AV_NOPTS_VALUE ? end : std::max(lostUntil_, end);
  lostOpenEnd_ = duration <= 0;
  if (lostUnits_++ == 0) lostFrom_ = nextStart_;
}

bool Decoder::makeSilence(int64_t until) {
  if (lostUntil_ == AV_NOPTS_VALUE || nextStart_ == AV_NOPTS_VALUE || !shape_ || shape_->sample_rate <= 0) return false;
  // Never beyond what the damaged packets spanned: a jump past that is the
  // stream's own, not damage.
  until = std::min(until, lostUntil_);
  // Nor beyond a second per damaged packet: an access unit is far shorter,
  // and a damaged sample table must not turn into hours of silence.
  const AVRational tb = stream()->time_base, rate{1, shape_->sample_rate};
  until = std::min(until, saturatingAdd(lostFrom_, av_rescale_q(lostUnits_, AVRational{1, 1}, tb)));
  if (until <= nextStart_) return false;
  int64_t samples = std::min<int64_t>(av_rescale_q(saturatingSub(until, nextStart_), tb, rate), shape_->sample_rate);
  if (samples < 1) return false;
  av_frame_unref(silence_);
  silence_->format = shape_->format;
  silence_->sample_rate = shape_->sample_rate;
  silence_->nb_samples = int(samples);
  if (av_channel_layout_copy(&silence_->ch_layout, &shape_->ch_layout) < 0 || av_frame_get_buffer(silence_, 0) < 0)
    return false;
  av_samples_set_silence(silence_->extended_data, 0, int(samples), silence_->ch_layout.nb_channels,
                         AVSampleFormat(silence_->format));
  silence_->pts = nextStart_;
  nextStart_ += std::max<int64_t>(1, av_rescale_q(samples, rate, tb));
  return true;
}

Decoder::Result Decoder::next(AVFrame*& frame, int& skip, int& count) {
  for (;;) {
    if (done_) return Result::end;
    int rc = 0;
    if (held_)
      held_ = false;  // the frame behind the silence
    else
      rc = avcodec_receive_frame(codec_, frame_);
    if (rc == 0 && !plausibleRate(frame_->sample_rate)) {
      error_ = "a sample rate of " + std::to_string(frame_->sample_rate) + " Hz";
      return Result::error;
    }
    if (rc == 0) {
      int64_t t = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
      if (frame_->sample_rate > 0) {
        av_frame_unref(shape_);
        shape_->format = frame_->format;
        shape_->sample_rate = frame_->sample_rate;
        av_channel_layout_copy(&shape_->ch_layout, &frame_->ch_layout);
      }
      // Packets before this frame did not decode: their time is silence.
      if (t != AV_NOPTS_VALUE && makeSilence(t)) {
        held_ = true;
        if (!cut(silence_, silence_->pts, skip, count)) continue;
        replacedSeconds_ += double(count) / silence_->sample_rate;
        frame = silence_;
        return Result::frame;
      }
      lostUntil_ = AV_NOPTS_VALUE;
      lostOpenEnd_ = false;
      lostUnits_ = 0;
      if (t != AV_NOPTS_VALUE && frame_->sample_rate > 0)
        nextStart_ = saturatingAdd(t, av_rescale_q(frame_->nb_samples, AVRational{1, frame_->sample_rate}, stream()->time_base));
      if (!cut(frame_, t, skip, count)) continue;
      frame = frame_;
      return Result::frame;
    }
    if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && draining_)) {
      // Damaged packets at the end: silence up to where the track ends.
      int64_t end = presentationEnd(format_, stream(), packetEnd_);
      if (lostOpenEnd_ && end != AV_NOPTS_VALUE) {
        lostUntil_ = std::max(lostUntil_, end);
        lostOpenEnd_ = false;
      }
      if (end == AV_NOPTS_VALUE) end = lostUntil_;
      if (end != AV_NOPTS_VALUE && makeSilence(end)) {
        if (!cut(silence_, silence_->pts, skip, count)) continue;
        replacedSeconds_ += double(count) / silence_->sample_rate;
        frame = silence_;
        return Result::frame;
      }
      done_ = true;
      return Result::end;
    }
    if (rc == AVERROR_INVALIDDATA) {  // a damaged packet: go on with the next
      lose(sentPts_, sentDuration_);
      continue;
    }
    if (rc != AVERROR(EAGAIN)) {
      error_ = averrorText(rc);
      return Result::error;
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
      // A track's packets follow each other without gaps. One that starts
      // more than a second away from where the last one ended has a damaged
      // time stamp: a fragment's base time with a flipped bit puts a whole
      // fragment days away, or before the start, where the demuxer marks it
      // to be discarded as priming and everything after it would move up.
      // It goes where it belongs instead. The demuxer then takes the packets
      // after it for overlapping those far-off times and marks them to be
      // discarded; once a time was damaged, that mark is not followed.
      if (packet_->pts != AV_NOPTS_VALUE && expectedPts_ != AV_NOPTS_VALUE) {
        const int64_t second = av_rescale_q(1, AVRational{1, 1}, stream()->time_base);
        if (packet_->pts < saturatingSub(expectedPts_, second) || packet_->pts > saturatingAdd(expectedPts_, second)) {
          packet_->pts = packet_->dts = expectedPts_;
          retimed_ = true;
        }
        if (retimed_ && packet_->pts >= 0) packet_->flags &= ~AV_PKT_FLAG_DISCARD;
      }
      if (packet_->pts != AV_NOPTS_VALUE && packet_->duration > 0)
        expectedPts_ = saturatingAdd(packet_->pts, packet_->duration);
      if (packet_->pts == AV_NOPTS_VALUE || packet_->duration <= 0)
        packetEnd_ = AV_NOPTS_VALUE;
      else
        packetEnd_ = std::max(packetEnd_ == AV_NOPTS_VALUE ? INT64_MIN : packetEnd_, saturatingAdd(packet_->pts, packet_->duration));
      if (nextStart_ == AV_NOPTS_VALUE) nextStart_ = packet_->pts;
      // A damaged packet of unknown duration ends where this one starts.
      if (lostOpenEnd_ && packet_->pts != AV_NOPTS_VALUE) {
        lostUntil_ = std::max(lostUntil_, packet_->pts);
        lostOpenEnd_ = false;
      }
      sentPts_ = packet_->pts;
      sentDuration_ = packet_->duration;
      rc = avcodec_send_packet(codec_, packet_);
      // A packet that does not decode is damage, whatever the decoder calls
      // it; only a lack of memory is an error of the reader.
      if (rc == AVERROR(ENOMEM)) {
        av_packet_unref(packet_);
        error_ = averrorText(rc);
        return Result::error;
      }
      if (rc < 0 && rc != AVERROR(EAGAIN)) lose(sentPts_, sentDuration_);
    }
    av_packet_unref(packet_);
  }
}

}  // namespace lumeno
