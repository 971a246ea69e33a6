#include "audio/platform/reader.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "audio/platform/decoder.h"
#include "audio/platform/writer.h"

namespace lumeno {

namespace {

// The audio object type and channel configuration of an AAC audio specific config.
struct AudioSpecificConfig {
  int objectType = 0;
  int channelConfiguration = -1;
};

AudioSpecificConfig parseConfig(const uint8_t* data, int size) {
  AudioSpecificConfig c;
  int64_t bit = 0, total = int64_t(size) * 8;
  auto bits = [&](int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++bit) {
      if (bit >= total) return uint32_t(0);
      v = (v << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
  };
  if (size < 2) return c;
  int aot = int(bits(5));
  if (aot == 31) aot = 32 + int(bits(6));
  if (bits(4) == 15) bits(24);
  c.objectType = aot;
  c.channelConfiguration = int(bits(4));
  return c;
}

uint32_t fourCC(const char* s) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
         uint32_t(uint8_t(s[3]));
}

StreamDescription describe(const AVCodecParameters* par) {
  StreamDescription d;
  d.sampleRate = par->sample_rate;
  d.channelsPerFrame = uint32_t(std::max(0, par->ch_layout.nb_channels));
  switch (par->codec_id) {
    case AV_CODEC_ID_AAC: {
      AudioSpecificConfig asc = parseConfig(par->extradata, par->extradata_size);
      if (asc.objectType == 5 || par->profile == FF_PROFILE_AAC_HE)
        d.formatID = formatMPEG4AAC_HE;
      else if (asc.objectType == 29 || par->profile == FF_PROFILE_AAC_HE_V2)
        d.formatID = formatMPEG4AAC_HE_V2;
      else
        d.formatID = formatMPEG4AAC;
      if (asc.channelConfiguration > 0) d.channelsPerFrame = uint32_t(asc.channelConfiguration);
      break;
    }
    case AV_CODEC_ID_MP3: d.formatID = fourCC(".mp3"); break;
    case AV_CODEC_ID_FLAC: d.formatID = fourCC("flac"); break;
    case AV_CODEC_ID_ALAC: d.formatID = fourCC("alac"); break;
    case AV_CODEC_ID_OPUS: d.formatID = fourCC("opus"); break;
    default: {
      const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
      if (desc && std::string_view(desc->name).substr(0, 4) == "pcm_") d.formatID = formatLinearPCM;
    }
  }
  return d;
}

}  // namespace

Asset openAsset(const std::filesystem::path& file) {
  Asset asset;
  int index = -1;
  AVFormatContext* format = openContainer(file, index);
  if (!format) return asset;
  if (index < 0) {
    asset.durationSeconds = format->duration != AV_NOPTS_VALUE ? double(format->duration) / AV_TIME_BASE : 0;
    avformat_close_input(&format);
    return asset;
  }
  AVStream* st = format->streams[index];
  asset.hasAudioTrack = true;
  asset.formatDescription = describe(st->codecpar);
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (int(i) != index) format->streams[i]->discard = AVDISCARD_ALL;

  // The audio track's end and media data size come from its packets, after
  // the edit list, and its sample durations: the duration is what decodes,
  // priming and padding excluded.
  AVPacket* packet = av_packet_alloc();
  int64_t end = AV_NOPTS_VALUE, bytes = 0;
  while (packet && av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == index) {
      bytes += packet->size;
      if (packet->pts != AV_NOPTS_VALUE) end = std::max(end == AV_NOPTS_VALUE ? INT64_MIN : end, packet->pts + packet->duration);
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  end = presentationEnd(format, st, end);
  if (end != AV_NOPTS_VALUE)
    asset.durationSeconds = std::max<double>(0, double(end) * av_q2d(st->time_base));
  else if (format->duration != AV_NOPTS_VALUE)
    asset.durationSeconds = double(format->duration) / AV_TIME_BASE;
  else
    asset.durationSeconds = 0;
  if (asset.durationSeconds > 0) asset.estimatedDataRate = float(double(bytes) * 8.0 / asset.durationSeconds);
  avformat_close_input(&format);
  return asset;
}

struct AssetReader::Impl {
  std::unique_ptr<Decoder> decoder;
  SwrContext* swr = nullptr;
  AVSampleFormat inFormat = AV_SAMPLE_FMT_NONE;
  int inRate = 0;
  int inChannels = 0;
  bool flushed = false;
  ~Impl() { swr_free(&swr); }

  bool makeResampler(const AVFrame* f) {
    swr_free(&swr);
    AVChannelLayout out;
    av_channel_layout_default(&out, 1);
    AVChannelLayout in;
    av_channel_layout_default(&in, f->ch_layout.nb_channels);
    if (swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLTP, 48000, &in, AVSampleFormat(f->format), f->sample_rate,
                            0, nullptr) < 0)
      return false;
    if (in.nb_channels > 1) {
      std::vector<double> matrix(size_t(in.nb_channels), 1.0 / in.nb_channels);
      if (swr_set_matrix(swr, matrix.data(), in.nb_channels) < 0) return false;
    }
    if (swr_init(swr) < 0) return false;
    inFormat = AVSampleFormat(f->format);
    inRate = f->sample_rate;
    inChannels = f->ch_layout.nb_channels;
    return true;
  }
};

AssetReader::AssetReader() : impl_(std::make_unique<Impl>()) {}
AssetReader::~AssetReader() = default;

std::unique_ptr<AssetReader> AssetReader::make(const std::filesystem::path& file) {
  auto decoder = Decoder::open(file);
  if (!decoder) return nullptr;
  std::unique_ptr<AssetReader> reader(new AssetReader());
  reader->impl_->decoder = std::move(decoder);
  return reader;
}

double AssetReader::replacedMs() const { return impl_->decoder->replacedSeconds() * 1000.0; }

bool AssetReader::startReading() {
  if (status_ != ReaderStatus::unknown) {
    error_ = "reading already started";
    return false;
  }
  status_ = ReaderStatus::reading;
  return true;
}

std::optional<PcmBuffer> AssetReader::copyNextSampleBuffer() {
  if (status_ != ReaderStatus::reading) return std::nullopt;
  Impl& m = *impl_;
  for (;;) {
    AVFrame* frame = nullptr;
    int skip = 0, count = 0;
    Decoder::Result r = m.flushed ? Decoder::Result::end : m.decoder->next(frame, skip, count);
    if (r == Decoder::Result::error) {
      status_ = ReaderStatus::failed;
      error_ = m.decoder->error();
      return std::nullopt;
    }
    if (r == Decoder::Result::end) {
      // What is left inside the resampler's filter comes out last.
      if (!m.swr || m.flushed) {
        status_ = ReaderStatus::completed;
        return std::nullopt;
      }
      m.flushed = true;
      int capacity = swr_get_out_samples(m.swr, 0) + 16;
      auto out = PcmBuffer::make({48000, 1, false, SampleType::float32}, uint32_t(std::max(capacity, 16)));
      if (!out) {
        status_ = ReaderStatus::failed;
        return std::nullopt;
      }
      uint8_t* dst = reinterpret_cast<uint8_t*>(out->floatData(0));
      int n = swr_convert(m.swr, &dst, int(out->frameCapacity()), nullptr, 0);
      if (n > 0) {
        out->setFrameLength(uint32_t(n));
        return out;
      }
      status_ = ReaderStatus::completed;
      return std::nullopt;
    }
    if (!m.swr || frame->format != m.inFormat || frame->sample_rate != m.inRate ||
        frame->ch_layout.nb_channels != m.inChannels) {
      if (!m.makeResampler(frame)) {
        status_ = ReaderStatus::failed;
        error_ = "unsupported audio format";
        return std::nullopt;
      }
    }
    int bytes = av_get_bytes_per_sample(AVSampleFormat(frame->format));
    bool planar = av_sample_fmt_is_planar(AVSampleFormat(frame->format));
    std::vector<const uint8_t*> in(size_t(planar ? frame->ch_layout.nb_channels : 1));
    for (size_t p = 0; p < in.size(); ++p)
      in[p] = frame->extended_data[p] + size_t(skip) * bytes * (planar ? 1 : frame->ch_layout.nb_channels);
    int capacity = swr_get_out_samples(m.swr, count);
    auto out = PcmBuffer::make({48000, 1, false, SampleType::float32}, uint32_t(std::max(capacity, 1)));
    if (!out) {
      status_ = ReaderStatus::failed;
      return std::nullopt;
    }
    uint8_t* dst = reinterpret_cast<uint8_t*>(out->floatData(0));
    int n = swr_convert(m.swr, &dst, int(out->frameCapacity()), in.data(), count);
    if (n < 0) {
      status_ = ReaderStatus::failed;
      error_ = averrorText(n);
      return std::nullopt;
    }
    if (n == 0) continue;
    out->setFrameLength(uint32_t(n));
    return out;
  }
}

}  // namespace lumeno
