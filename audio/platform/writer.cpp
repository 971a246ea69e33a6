// FDK AAC encoder feeding FFmpeg's fragmented .m4a muxer.
//
// Encoding runs inline on the caller's thread: append() converts to 16-bit,
// hands whole encoder frames to FDK and passes every access unit to the
// muxer, which keeps the current fragment in memory. Whenever the audio
// written reaches the next multiple of the fragment interval, the fragment
// goes out and the file is synced, so a process killed at any moment leaves
// a file that decodes up to its last fragment.
//
// Priming: FDK's first access unit starts nDelay frames before the input's
// frame 0. Packets carry pts = n x frameLength - nDelay, from which the
// muxer writes an edit list; the reader drops what decodes before time 0.
//
// Padding: the encoder fills its last frame with silence, and the flush at
// the end hands out access units that lie wholly past the input. The edit
// list cannot cut them, as the moov goes out before the length is known, so
// the sample durations do: every packet lasts at most up to the end of the
// input, the unit that holds the end lasts exactly up to it, and units past
// it are not written. The fragment's trun then ends at the input's end and
// the reader stops there, so a file of N frames decodes to N frames.
#include "audio/platform/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <fdk-aac/aacenc_lib.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "audio/platform/converter.h"
#include "audio/platform/decoder.h"

namespace lumeno {

namespace {

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

int audioObjectType(uint32_t formatID) {
  switch (formatID) {
    case formatMPEG4AAC: return 2;
    case formatMPEG4AAC_HE: return 5;
    case formatMPEG4AAC_HE_V2: return 29;
    default: return 0;
  }
}

// An open FDK encoder with the settings applied; null when FDK refuses them.
HANDLE_AACENCODER openEncoder(const OutputSettings& s, AACENC_InfoStruct* info) {
  int aot = audioObjectType(s.formatID);
  if (aot == 0 || s.channels < 1 || s.channels > 2 || s.sampleRate <= 0 || s.bitRate <= 0) return nullptr;
  HANDLE_AACENCODER h = nullptr;
  if (aacEncOpen(&h, 0, s.channels) != AACENC_OK) return nullptr;
  bool ok = aacEncoder_SetParam(h, AACENC_AOT, UINT(aot)) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_SAMPLERATE, UINT(s.sampleRate)) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_CHANNELMODE, s.channels == 1 ? MODE_1 : MODE_2) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_CHANNELORDER, 1) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_BITRATE, UINT(s.bitRate)) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_TRANSMUX, TT_MP4_RAW) == AACENC_OK &&
            aacEncoder_SetParam(h, AACENC_SIGNALING_MODE, 2) == AACENC_OK &&  // explicit hierarchical
            aacEncEncode(h, nullptr, nullptr, nullptr, nullptr) == AACENC_OK &&
            aacEncInfo(h, info) == AACENC_OK && info->frameLength > 0;
  if (!ok) {
    aacEncClose(&h);
    return nullptr;
  }
  return h;
}

class FileWriter;

class FileInput : public WriterInput {
 public:
  explicit FileInput(FileWriter& writer) : writer_(writer) {}
  bool isReadyForMoreMediaData() const override;
  bool append(const PcmBuffer& buffer, int64_t pts) override;
  void markAsFinished() override { finished_ = true; }
  bool finished() const { return finished_; }

 private:
  FileWriter& writer_;
  bool finished_ = false;
};

class FileWriter : public Writer {
 public:
  explicit FileWriter(std::filesystem::path file) : file_(std::move(file)) {}
  ~FileWriter() override {
    if (finisher_.joinable()) finisher_.join();
    closeAll();
  }

  void setMovieFragmentInterval(double seconds) override { fragmentSeconds_ = seconds; }
  double movieFragmentInterval() const override { return fragmentSeconds_; }

  bool canApply(const OutputSettings& settings) override {
    AACENC_InfoStruct info{};
    HANDLE_AACENCODER h = openEncoder(settings, &info);
    if (!h) return false;
    aacEncClose(&h);
    return true;
  }

  WriterInput* addInput(const OutputSettings& settings) override {
    if (input_ || status() != WriterStatus::unknown) return nullptr;
    encoder_ = openEncoder(settings, &info_);
    if (!encoder_) return nullptr;
    settings_ = settings;
    if (settings.sampleRate != 48000) {
      AudioFormat rate{double(settings.sampleRate), 1, false, SampleType::float32};
      resampler_ = Converter::make({48000, 1, false, SampleType::float32}, rate);
      if (!resampler_) {
        aacEncClose(&encoder_);
        return nullptr;
      }
    }
    input_ = std::make_unique<FileInput>(*this);
    return input_.get();
  }

  bool startWriting() override;
  void finishWriting(std::function<void()> completion) override;
  void cancelWriting() override;

  WriterStatus status() const override { return status_.load(); }
  std::string errorDescription() const override {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return error_;
  }

  // The input's append.
  bool append(const PcmBuffer& buffer, int64_t pts);

 private:
  void setFailed(const std::string& error) {
    {
      std::lock_guard<std::mutex> lock(errorMutex_);
      error_ = error;
    }
    status_.store(WriterStatus::failed);
  }
  // Encodes the staged samples as one frame (or flushes with none left when
  // endOfStream) and writes every access unit FDK hands out.
  bool encodeStaged(bool endOfStream);
  // Converts encoder-rate float samples to 16-bit and encodes every whole frame.
  bool stage(const float* samples, uint32_t n);
  bool writePacket(const uint8_t* data, int size);
  // Hands what the muxer buffered to the file; false (and failed) on an I/O error.
  bool flushIo();
  bool flushFragment();
  bool finishFile();
  void closeAll();
  static int writeBytes(void* opaque, uint8_t* data, int size);
  static int64_t seekBytes(void* opaque, int64_t offset, int whence);

  std::filesystem::path file_;
  double fragmentSeconds_ = 0;
  OutputSettings settings_;
  HANDLE_AACENCODER encoder_ = nullptr;
  AACENC_InfoStruct info_{};
  std::unique_ptr<Converter> resampler_;
  std::optional<PcmBuffer> resampled_;  // the resampler's output, reused from one append to the next
  std::unique_ptr<FileInput> input_;
  int fd_ = -1;
  AVFormatContext* mux_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::vector<INT_PCM> staged_;
  std::vector<uint8_t> unit_;
  int64_t framesTaken_ = 0;  // 48 kHz frames appended
  int64_t samplesIn_ = 0;    // encoder-rate samples handed to the encoder: where the audio ends
  int64_t packets_ = 0;
  int64_t nextFragmentEnd_ = 0;  // encoder-rate samples at which the next fragment goes out
  bool moovWritten_ = false;
  std::atomic<WriterStatus> status_{WriterStatus::unknown};
  mutable std::mutex errorMutex_;
  std::string error_;
  std::thread finisher_;
};

bool FileInput::isReadyForMoreMediaData() const {
  return !finished_ && writer_.status() == WriterStatus::writing;
}

bool FileInput::append(const PcmBuffer& buffer, int64_t pts) {
  if (finished_) return false;
  return writer_.append(buffer, pts);
}

int FileWriter::writeBytes(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<FileWriter*>(opaque);
  int left = size;
  while (left > 0) {
    ssize_t n = ::write(self->fd_, data, size_t(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    data += n;
    left -= int(n);
  }
  return size;
}

int64_t FileWriter::seekBytes(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<FileWriter*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st;
    return fstat(self->fd_, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
  }
  off_t r = lseek(self->fd_, offset, whence & ~AVSEEK_FORCE);
  return r < 0 ? AVERROR(errno) : int64_t(r);
}

bool FileWriter::startWriting() {
  if (status() != WriterStatus::unknown || !input_) {
    setFailed("no audio input");
    return false;
  }
  // Never replaces an existing file: what is recorded stays.
  fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    setFailed(std::strerror(errno));
    return false;
  }
  quietMediaLibraries();
  int rc = avformat_alloc_output_context2(&mux_, nullptr, "ipod", file_.c_str());
  if (rc < 0 || !mux_) {
    setFailed(averror(rc));
    return false;
  }
  const int bufferSize = 64 * 1024;
  auto* buffer = static_cast<uint8_t*>(av_malloc(bufferSize));
  io_ = avio_alloc_context(buffer, bufferSize, 1, this, nullptr, &FileWriter::writeBytes, &FileWriter::seekBytes);
  if (!io_) {
    av_free(buffer);
    setFailed("out of memory");
    return false;
  }
  mux_->pb = io_;
  mux_->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(mux_, nullptr);
  packet_ = av_packet_alloc();
  if (!stream || !packet_) {
    setFailed("out of memory");
    return false;
  }
  stream->time_base = AVRational{1, settings_.sampleRate};
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_AAC;
  par->sample_rate = settings_.sampleRate;
  av_channel_layout_default(&par->ch_layout, int(settings_.channels));
  par->bit_rate = settings_.bitRate;
  par->frame_size = int(info_.frameLength);
  par->extradata = static_cast<uint8_t*>(av_mallocz(info_.confSize + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!par->extradata) {
    setFailed("out of memory");
    return false;
  }
  std::memcpy(par->extradata, info_.confBuf, info_.confSize);
  par->extradata_size = int(info_.confSize);

  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof+delay_moov", 0);
  rc = avformat_write_header(mux_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    setFailed(averror(rc));
    return false;
  }
  staged_.reserve(info_.frameLength);
  unit_.resize(8192);
  double interval = fragmentSeconds_ > 0 ? fragmentSeconds_ : 5.0;
  fragmentSeconds_ = interval;
  nextFragmentEnd_ = int64_t(std::llround(interval * settings_.sampleRate));
  status_.store(WriterStatus::writing);
  return true;
}

bool FileWriter::append(const PcmBuffer& buffer, int64_t pts) {
  if (status() != WriterStatus::writing) return false;
  if (!(buffer.format() == AudioFormat{48000, 1, false, SampleType::float32})) return false;
  if (pts != framesTaken_) return false;
  const PcmBuffer* source = &buffer;
  if (resampler_) {
    uint32_t capacity = uint32_t(double(buffer.frameLength()) * settings_.sampleRate / 48000.0) + 256;
    if (!resampled_ || resampled_->frameCapacity() < capacity)
      resampled_ = PcmBuffer::make(resampler_->outputFormat(), capacity);
    std::string error;
    if (!resampled_ || !resampler_->convert(buffer, *resampled_, &error)) {
      setFailed("resampling failed: " + error);
      return false;
    }
    source = &*resampled_;
  }
  if (!stage(source->floatData(0), source->frameLength())) return false;
  framesTaken_ += buffer.frameLength();
  return true;
}

bool FileWriter::stage(const float* samples, uint32_t n) {
  const uint32_t frame = info_.frameLength;
  for (uint32_t i = 0; i < n; ++i) {
    float v = samples[i] * 32768.0f;
    v = v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v);
    staged_.push_back(INT_PCM(std::lrint(v)));
    ++samplesIn_;
    if (staged_.size() >= frame && !encodeStaged(false)) return false;
  }
  return true;
}

bool FileWriter::encodeStaged(bool endOfStream) {
  for (;;) {
    AACENC_BufDesc in{}, out{};
    AACENC_InArgs inArgs{};
    AACENC_OutArgs outArgs{};
    void* inPtr = staged_.data();
    INT inId = IN_AUDIO_DATA, inSize = INT(staged_.size() * sizeof(INT_PCM)), inElem = sizeof(INT_PCM);
    void* outPtr = unit_.data();
    INT outId = OUT_BITSTREAM_DATA, outSize = INT(unit_.size()), outElem = 1;
    in.numBufs = 1;
    in.bufs = &inPtr;
    in.bufferIdentifiers = &inId;
    in.bufSizes = &inSize;
    in.bufElSizes = &inElem;
    out.numBufs = 1;
    out.bufs = &outPtr;
    out.bufferIdentifiers = &outId;
    out.bufSizes = &outSize;
    out.bufElSizes = &outElem;
    inArgs.numInSamples = endOfStream && staged_.empty() ? -1 : INT(staged_.size());
    AACENC_ERROR err = aacEncEncode(encoder_, &in, &out, &inArgs, &outArgs);
    if (err == AACENC_ENCODE_EOF) return true;
    if (err != AACENC_OK) {
      setFailed("encoder error " + std::to_string(int(err)));
      return false;
    }
    int used = outArgs.numInSamples;
    if (used > 0) staged_.erase(staged_.begin(), staged_.begin() + std::min<size_t>(size_t(used), staged_.size()));
    if (outArgs.numOutBytes > 0 && !writePacket(unit_.data(), outArgs.numOutBytes)) return false;
    if (!endOfStream) {
      if (staged_.empty() || outArgs.numOutBytes == 0) return true;
    } else if (outArgs.numOutBytes == 0 && used == 0 && !staged_.empty()) {
      // FDK keeps a partial frame until more input comes; end the stream now.
      inArgs.numInSamples = -1;
      staged_.clear();
    }
  }
}

bool FileWriter::writePacket(const uint8_t* data, int size) {
  const int64_t frame = int64_t(info_.frameLength);
  const int64_t pts = packets_ * frame - int64_t(info_.nDelay);
  // While audio comes in, the encoder's output lags its input by the delay,
  // so every unit lasts a whole frame; only the flush at the end reaches
  // past the input: there the unit holding the end is cut to it, and units
  // of padding alone are left out.
  const int64_t duration = std::min(frame, samplesIn_ - pts);
  if (duration <= 0) {
    ++packets_;
    return true;
  }
  if (av_new_packet(packet_, size) < 0) {
    setFailed("out of memory");
    return false;
  }
  std::memcpy(packet_->data, data, size_t(size));
  packet_->pts = packet_->dts = pts;
  packet_->duration = duration;
  packet_->stream_index = 0;
  packet_->flags |= AV_PKT_FLAG_KEY;
  int rc = av_write_frame(mux_, packet_);
  av_packet_unref(packet_);
  if (rc < 0) {
    setFailed(averror(rc));
    return false;
  }
  ++packets_;
  const int64_t written = packets_ * frame - int64_t(info_.nDelay);
  if (written < nextFragmentEnd_) return true;
  while (written >= nextFragmentEnd_) nextFragmentEnd_ += int64_t(std::llround(fragmentSeconds_ * settings_.sampleRate));
  return flushFragment();
}

bool FileWriter::flushIo() {
  avio_flush(io_);
  if (io_->error < 0) {
    setFailed(averror(io_->error));
    return false;
  }
  return true;
}

bool FileWriter::flushFragment() {
  // With delay_moov the first flush writes only the moov; the fragment itself
  // needs a second one.
  int rc = av_write_frame(mux_, nullptr);
  if (rc >= 0 && !moovWritten_) rc = av_write_frame(mux_, nullptr);
  moovWritten_ = true;
  if (rc < 0) {
    setFailed(averror(rc));
    return false;
  }
  if (!flushIo()) return false;
  if (fdatasync(fd_) != 0 && errno != EINVAL) {
    setFailed(std::strerror(errno));
    return false;
  }
  return true;
}

bool FileWriter::finishFile() {
  // What the resampler still holds is the end of the input, not to be lost.
  if (resampler_) {
    auto tail = PcmBuffer::make(resampler_->outputFormat(), 1024);
    std::string error;
    for (;;) {
      if (!tail || !resampler_->drain(*tail, &error)) {
        setFailed("resampling failed: " + error);
        return false;
      }
      if (tail->frameLength() == 0) break;
      if (!stage(tail->floatData(0), tail->frameLength())) return false;
    }
  }
  if (!encodeStaged(true)) return false;
  int rc = av_write_trailer(mux_);
  if (rc < 0) {
    setFailed(averror(rc));
    return false;
  }
  if (!flushIo()) return false;
  if (fsync(fd_) != 0 && errno != EINVAL) {
    setFailed(std::strerror(errno));
    return false;
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    setFailed(std::strerror(errno));
    return false;
  }
  return true;
}

void FileWriter::finishWriting(std::function<void()> completion) {
  if (finisher_.joinable() || status() != WriterStatus::writing) {
    if (status() == WriterStatus::writing) setFailed("already finishing");
    std::thread([completion = std::move(completion)] { if (completion) completion(); }).detach();
    return;
  }
  finisher_ = std::thread([this, completion = std::move(completion)] {
    if (finishFile()) status_.store(WriterStatus::completed);
    if (completion) completion();
  });
}

void FileWriter::cancelWriting() {
  if (finisher_.joinable()) return;  // finishing already owns the file
  WriterStatus s = status();
  if (s == WriterStatus::completed || s == WriterStatus::failed) return;
  status_.store(WriterStatus::cancelled);
  closeAll();
}

void FileWriter::closeAll() {
  if (mux_) {
    avformat_free_context(mux_);
    mux_ = nullptr;
  }
  if (io_) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  av_packet_free(&packet_);
  if (encoder_) aacEncClose(&encoder_);
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace

std::unique_ptr<Writer> makeFileWriter(const std::filesystem::path& file) {
  // Like the platform writer: refuses an existing file or a missing folder.
  std::error_code ec;
  if (file.empty() || std::filesystem::exists(file, ec)) return nullptr;
  auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
  if (!std::filesystem::is_directory(folder, ec) || access(folder.c_str(), W_OK) != 0) return nullptr;
  return std::make_unique<FileWriter>(file);
}

}  // namespace lumeno
