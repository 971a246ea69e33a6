#include "audio/platform/audio_file.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "audio/platform/decoder.h"

namespace lumeno {

struct AudioFile::Impl {
  std::unique_ptr<Decoder> decoder;
  SwrContext* swr = nullptr;  // decoder's sample format to planar float, same rate and channels
  AVSampleFormat inFormat = AV_SAMPLE_FMT_NONE;
  std::vector<std::vector<float>> fifo;  // one per channel
  size_t fifoStart = 0;                  // frames of fifo already read
  bool ended = false;
  ~Impl() { swr_free(&swr); }

  size_t available() const { return fifo.empty() ? 0 : fifo[0].size() - fifoStart; }
};

AudioFile::AudioFile() : impl_(std::make_unique<Impl>()) {}
AudioFile::~AudioFile() = default;

std::unique_ptr<AudioFile> AudioFile::openForReading(const std::filesystem::path& file) {
  auto decoder = Decoder::open(file);
  if (!decoder) return nullptr;
  AVCodecParameters* par = decoder->stream()->codecpar;
  int rate = decoder->codec()->sample_rate > 0 ? decoder->codec()->sample_rate : par->sample_rate;
  int channels = decoder->codec()->ch_layout.nb_channels > 0 ? decoder->codec()->ch_layout.nb_channels
                                                             : par->ch_layout.nb_channels;
  if (rate <= 0 || channels <= 0) return nullptr;

  std::unique_ptr<AudioFile> f(new AudioFile());
  f->format_ = {double(rate), uint32_t(channels), false, SampleType::float32};
  f->impl_->fifo.assign(size_t(channels), {});

  // The length from the container: the end of the last packet after the
  // edit list, cut to the track's sample durations, read from a second pass
  // over the packets (no decoding).
  int index = -1;
  AVFormatContext* scan = openContainer(file, index);
  int64_t end = AV_NOPTS_VALUE;
  if (scan && index >= 0) {
    AVPacket* packet = av_packet_alloc();
    while (packet && av_read_frame(scan, packet) >= 0) {
      if (packet->stream_index == index && packet->pts != AV_NOPTS_VALUE)
        end = std::max(end == AV_NOPTS_VALUE ? INT64_MIN : end, packet->pts + packet->duration);
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    end = presentationEnd(scan, scan->streams[index], end);
    if (end != AV_NOPTS_VALUE)
      f->length_ = std::max<int64_t>(0, av_rescale_q(end, scan->streams[index]->time_base, AVRational{1, rate}));
  }
  if (scan) avformat_close_input(&scan);
  if (end == AV_NOPTS_VALUE && decoder->format()->duration != AV_NOPTS_VALUE)
    f->length_ = int64_t(std::llround(double(decoder->format()->duration) / AV_TIME_BASE * rate));
  f->impl_->decoder = std::move(decoder);
  return f;
}

double AudioFile::replacedMs() const { return impl_->decoder->replacedSeconds() * 1000.0; }

bool AudioFile::read(PcmBuffer& buffer, uint32_t frameCount) {
  if (!(buffer.format() == format_)) return false;
  Impl& m = *impl_;
  uint32_t want = std::min(frameCount, buffer.frameCapacity());
  const int channels = int(format_.channels);
  while (m.available() < want && !m.ended) {
    AVFrame* frame = nullptr;
    int skip = 0, count = 0;
    Decoder::Result r = m.decoder->next(frame, skip, count);
    if (r == Decoder::Result::error) return false;
    if (r == Decoder::Result::end) {
      m.ended = true;
      break;
    }
    if (frame->ch_layout.nb_channels != channels || frame->sample_rate != int(format_.sampleRate))
      return false;  // a stream that changes format midway is not read on
    if (!m.swr || frame->format != m.inFormat) {
      swr_free(&m.swr);
      if (swr_alloc_set_opts2(&m.swr, &frame->ch_layout, AV_SAMPLE_FMT_FLTP, frame->sample_rate, &frame->ch_layout,
                              AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
          swr_init(m.swr) < 0)
        return false;
      m.inFormat = AVSampleFormat(frame->format);
    }
    int bytes = av_get_bytes_per_sample(m.inFormat);
    bool planar = av_sample_fmt_is_planar(m.inFormat);
    std::vector<const uint8_t*> in(size_t(planar ? channels : 1));
    for (size_t p = 0; p < in.size(); ++p)
      in[p] = frame->extended_data[p] + size_t(skip) * bytes * (planar ? 1 : channels);
    // Compact the fifo before it grows.
    if (m.fifoStart > 0) {
      for (auto& plane : m.fifo) plane.erase(plane.begin(), plane.begin() + long(m.fifoStart));
      m.fifoStart = 0;
    }
    size_t old = m.fifo[0].size();
    std::vector<uint8_t*> out(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
      m.fifo[size_t(c)].resize(old + size_t(count));
      out[size_t(c)] = reinterpret_cast<uint8_t*>(m.fifo[size_t(c)].data() + old);
    }
    int n = swr_convert(m.swr, out.data(), count, in.data(), count);
    if (n < 0) return false;
    for (auto& plane : m.fifo) plane.resize(old + size_t(n));
  }
  uint32_t n = uint32_t(std::min<size_t>(want, m.available()));
  for (int c = 0; c < channels; ++c)
    std::copy_n(m.fifo[size_t(c)].data() + m.fifoStart, n, buffer.floatData(uint32_t(c)));
  m.fifoStart += n;
  buffer.setFrameLength(n);
  position_ += n;
  return true;
}

}  // namespace lumeno
