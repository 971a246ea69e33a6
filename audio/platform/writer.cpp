// FDK AAC encoder feeding FFmpeg's fragmented .m4a muxer.
//
// Threading: the input is called from the writer's one driving context and
// only queues work, a copy of each buffer or a run of silence as a count, so
// that neither encoding nor a slow disk ever holds that context up. The
// encoder thread started by startWriting() takes the work in order and from
// then on alone touches the encoder, resampler, muxer and file: it converts
// to 16-bit, hands whole encoder frames to FDK and passes every access unit
// to the muxer, which keeps the current fragment in memory. Whenever the
// audio written reaches the next multiple of the fragment interval, the
// fragment goes out and the file is synced, so a process killed at any
// moment leaves a file that decodes up to its last fragment. An error there
// fails the writer, drops what is queued and refuses later appends.
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
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
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

int64_t WriterInput::appendSilence(int64_t frames, int64_t pts) {
  if (frames < 1) return 0;
  auto silence = PcmBuffer::make({48000, 1, false, SampleType::float32}, uint32_t(std::min<int64_t>(frames, 4800)));
  if (!silence) return 0;
  int64_t taken = 0;
  while (taken < frames && isReadyForMoreMediaData()) {
    silence->setFrameLength(uint32_t(std::min<int64_t>(frames - taken, silence->frameCapacity())));
    if (!append(*silence, pts + taken)) break;
    taken += silence->frameLength();
  }
  return taken;
}

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

const AudioFormat inputFormat{48000, 1, false, SampleType::float32};

// Real audio queued for the encoder beyond which the input is not ready: a
// minute at 48 kHz (11 MB of floats). The folder tools feed much faster than
// real time and are held back here, waiting in Track::write; the recorder
// feeds in real time, so it meets the bound only when the disk stalls for
// most of a minute, and silence, queued as a count, never counts toward it.
constexpr int64_t maxQueuedFrames = 60 * 48000;
// Silence the encoder thread takes off the queue at a time, so that a cancel
// does not wait for a long run to be encoded.
constexpr int64_t silenceStep = 48000;
// Encoded buffers kept for the next appends, sparing an allocation each.
constexpr size_t maxSpareBuffers = 16;

class FileWriter;

class FileInput : public WriterInput {
 public:
  explicit FileInput(FileWriter& writer) : writer_(writer) {}
  bool isReadyForMoreMediaData() const override;
  bool append(const PcmBuffer& buffer, int64_t pts) override;
  int64_t appendSilence(int64_t frames, int64_t pts) override;
  void markAsFinished() override { finished_ = true; }

 private:
  FileWriter& writer_;
  bool finished_ = false;
};

// The writer of one file. Every call but status() and errorDescription(),
// and every call of its input, comes from one driving context; after
// startWriting() the encoder, muxer and file belong to the encoder thread
// (run()). The two meet only at the queue, under queueMutex_, and at the
// status and error, readable from any thread.
class FileWriter : public Writer {
 public:
  explicit FileWriter(std::filesystem::path file) : file_(std::move(file)) {}
  ~FileWriter() override {
    stopEncoder();
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
      resampler_ = Converter::make(inputFormat, rate);
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

  // The input's calls, on the driving context.
  bool hasRoom() const;
  bool append(const PcmBuffer& buffer, int64_t pts);
  int64_t appendSilence(int64_t frames, int64_t pts);

 private:
  // One piece of the encoder thread's work: a buffer of audio, or else a
  // run of silence.
  struct Work {
    std::optional<PcmBuffer> audio;
    int64_t silence = 0;
  };

  // Fails the writer, unless it already ended another way: the first end
  // decides, be it on the driving context or the encoder thread.
  void setFailed(const std::string& error) {
    {
      std::lock_guard<std::mutex> lock(errorMutex_);
      error_ = error;
    }
    WriterStatus s = status_.load();
    while ((s == WriterStatus::unknown || s == WriterStatus::writing) &&
           !status_.compare_exchange_weak(s, WriterStatus::failed)) {
    }
  }
  // The encoder thread: takes work in order until told to finish (then
  // finishes the file and calls the completion) or to stop.
  void run();
  // Ends the encoder thread: after it has finished the file when a finish
  // was asked for, else at once, dropping what is queued.
  void stopEncoder();
  // The encoder thread's share of append() and appendSilence().
  bool encode(const PcmBuffer& buffer);
  bool encodeSilence(int64_t frames);
  // Encodes the staged samples as one frame (or flushes with none left when
  // endOfStream) and writes every access unit FDK hands out.
  bool encodeStaged(bool endOfStream);
  // Converts encoder-rate float samples to 16-bit and encodes every whole frame.
  bool stage(const float* samples, uint32_t n);
  // stage() of n zero samples.
  bool stageSilence(int64_t n);
  bool writePacket(const uint8_t* data, int size);
  // Hands what the muxer buffered to the file; false (and failed) on an I/O error.
  bool flushIo();
  bool flushFragment();
  bool finishFile();
  // After a failure: cuts the file back to the end of its last whole
  // fragment, so that a disk that filled up part-way through one leaves no
  // torn box behind (a reader refuses a file whose last box is cut short).
  void keepWholeFragments();
  void closeAll();
  static int writeBytes(void* opaque, uint8_t* data, int size);
  static int64_t seekBytes(void* opaque, int64_t offset, int whence);

  std::filesystem::path file_;
  double fragmentSeconds_ = 0;
  OutputSettings settings_;
  std::unique_ptr<FileInput> input_;
  int64_t framesTaken_ = 0;  // 48 kHz frames appended (driving context)

  // The encoder thread's, once writing.
  HANDLE_AACENCODER encoder_ = nullptr;
  AACENC_InfoStruct info_{};
  std::unique_ptr<Converter> resampler_;
  std::optional<PcmBuffer> resampled_;  // the resampler's output, reused from one buffer to the next
  std::optional<PcmBuffer> zeros_;      // silence for the resampler
  int fd_ = -1;
  AVFormatContext* mux_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::vector<INT_PCM> staged_;
  std::vector<uint8_t> unit_;
  int64_t samplesIn_ = 0;    // encoder-rate samples handed to the encoder: where the audio ends
  int64_t packets_ = 0;
  int64_t nextFragmentEnd_ = 0;  // encoder-rate samples at which the next fragment goes out
  bool moovWritten_ = false;
  off_t wholeEnd_ = 0;  // the file's size after its last whole fragment

  // Shared by the driving context and the encoder thread, under queueMutex_.
  mutable std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<Work> queue_;
  std::vector<PcmBuffer> spare_;   // encoded buffers, for reuse
  int64_t queuedFrames_ = 0;       // real audio queued or being encoded
  bool finishing_ = false;         // finishWriting() was called: drain, then finish
  bool stopping_ = false;          // drop everything and end
  std::function<void()> completion_;

  // The encoder thread runs detached: a process that ends without tearing
  // its writers down (the recorder exits) then leaves no finished thread
  // behind unjoined. Whoever must outlast it waits on its end, which the
  // thread holds until its very last step.
  struct ThreadEnd {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread::id id;  // the encoder thread's, once it runs
  };
  std::shared_ptr<ThreadEnd> threadEnd_;  // set when the thread starts
  std::atomic<WriterStatus> status_{WriterStatus::unknown};
  mutable std::mutex errorMutex_;
  std::string error_;
};

bool FileInput::isReadyForMoreMediaData() const {
  return !finished_ && writer_.status() == WriterStatus::writing && writer_.hasRoom();
}

bool FileInput::append(const PcmBuffer& buffer, int64_t pts) {
  if (finished_) return false;
  return writer_.append(buffer, pts);
}

int64_t FileInput::appendSilence(int64_t frames, int64_t pts) {
  if (finished_) return 0;
  return writer_.appendSilence(frames, pts);
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
  // What was set up above reaches the thread with its start.
  try {
    auto end = std::make_shared<ThreadEnd>();
    threadEnd_ = end;
    std::thread([this, end] {
      {
        std::lock_guard<std::mutex> lock(end->mutex);
        end->id = std::this_thread::get_id();
      }
      run();
      std::lock_guard<std::mutex> lock(end->mutex);
      end->done = true;
      end->ended.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    threadEnd_.reset();
    setFailed(std::string("can't start the encoder thread: ") + e.what());
    return false;
  }
  return true;
}

bool FileWriter::hasRoom() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return queuedFrames_ <= maxQueuedFrames;
}

bool FileWriter::append(const PcmBuffer& buffer, int64_t pts) {
  if (status() != WriterStatus::writing) return false;
  if (!(buffer.format() == inputFormat)) return false;
  if (pts != framesTaken_) return false;
  const uint32_t n = buffer.frameLength();
  if (n == 0) return true;
  std::optional<PcmBuffer> copy;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queuedFrames_ > maxQueuedFrames || finishing_ || stopping_) return false;
    for (auto it = spare_.rbegin(); it != spare_.rend(); ++it) {
      if (it->frameCapacity() >= n) {
        copy = std::move(*it);
        spare_.erase(std::next(it).base());
        break;
      }
    }
  }
  if (!copy) copy = PcmBuffer::make(inputFormat, n);
  if (!copy) return false;
  std::memcpy(copy->floatData(0), buffer.floatData(0), size_t(n) * sizeof(float));
  copy->setFrameLength(n);
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queuedFrames_ += n;
    queue_.push_back(Work{std::move(copy), 0});
  }
  queueChanged_.notify_one();
  framesTaken_ += n;
  return true;
}

int64_t FileWriter::appendSilence(int64_t frames, int64_t pts) {
  if (frames < 1 || status() != WriterStatus::writing || pts != framesTaken_) return 0;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (finishing_ || stopping_) return 0;
    // A run that follows a run is one longer run.
    if (!queue_.empty() && !queue_.back().audio)
      queue_.back().silence += frames;
    else
      queue_.push_back(Work{std::nullopt, frames});
  }
  queueChanged_.notify_one();
  framesTaken_ += frames;
  return frames;
}

void FileWriter::run() {
  for (;;) {
    Work work;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueChanged_.wait(lock, [this] { return stopping_ || finishing_ || !queue_.empty(); });
      if (stopping_) return;
      if (queue_.empty()) break;  // finishing, with everything encoded
      Work& next = queue_.front();
      if (next.audio) {
        work = std::move(next);
        queue_.pop_front();
      } else {
        work.silence = std::min(next.silence, silenceStep);
        next.silence -= work.silence;
        if (next.silence == 0) queue_.pop_front();
      }
    }
    // After a failure the queue is dropped; work taken before it is skipped.
    bool ok = status() == WriterStatus::writing && (work.audio ? encode(*work.audio) : encodeSilence(work.silence));
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (work.audio) {
      queuedFrames_ -= work.audio->frameLength();
      if (spare_.size() < maxSpareBuffers) spare_.push_back(std::move(*work.audio));
    }
    if (!ok) {
      queue_.clear();
      queuedFrames_ = 0;
      keepWholeFragments();
    }
  }
  if (status() == WriterStatus::writing) {
    if (finishFile()) {
      WriterStatus s = WriterStatus::writing;
      status_.compare_exchange_strong(s, WriterStatus::completed);
    } else {
      keepWholeFragments();
    }
  }
  std::function<void()> completion;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    completion = std::move(completion_);
  }
  if (completion) completion();
}

bool FileWriter::encode(const PcmBuffer& buffer) {
  if (!resampler_) return stage(buffer.floatData(0), buffer.frameLength());
  uint32_t capacity = uint32_t(double(buffer.frameLength()) * settings_.sampleRate / 48000.0) + 256;
  if (!resampled_ || resampled_->frameCapacity() < capacity)
    resampled_ = PcmBuffer::make(resampler_->outputFormat(), capacity);
  std::string error;
  if (!resampled_ || !resampler_->convert(buffer, *resampled_, &error)) {
    setFailed("resampling failed: " + error);
    return false;
  }
  return stage(resampled_->floatData(0), resampled_->frameLength());
}

bool FileWriter::encodeSilence(int64_t frames) {
  if (!resampler_) return stageSilence(frames);
  // The resampler's filter carries the audio before into the silence, so
  // silence goes through it like audio.
  if (!zeros_) zeros_ = PcmBuffer::make(inputFormat, 4800);
  if (!zeros_) {
    setFailed("out of memory");
    return false;
  }
  while (frames > 0) {
    zeros_->setFrameLength(uint32_t(std::min<int64_t>(frames, zeros_->frameCapacity())));
    if (!encode(*zeros_)) return false;
    frames -= zeros_->frameLength();
  }
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

bool FileWriter::stageSilence(int64_t n) {
  const size_t frame = info_.frameLength;
  while (n > 0) {
    size_t take = size_t(std::min<int64_t>(n, int64_t(frame - staged_.size())));
    staged_.insert(staged_.end(), take, INT_PCM(0));
    samplesIn_ += int64_t(take);
    n -= int64_t(take);
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
  struct stat st;
  if (fstat(fd_, &st) == 0) wholeEnd_ = st.st_size;
  return true;
}

void FileWriter::keepWholeFragments() {
  if (fd_ < 0 || status() != WriterStatus::failed) return;
  struct stat st;
  if (fstat(fd_, &st) == 0 && st.st_size > wholeEnd_ && ftruncate(fd_, wholeEnd_) == 0) fdatasync(fd_);
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
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (threadEnd_ && !finishing_ && !stopping_) {
      finishing_ = true;
      completion_ = std::move(completion);
      queueChanged_.notify_one();
      return;
    }
  }
  // Nothing to finish (never started, cancelled, or finishing already): the
  // completion still comes off the caller's thread.
  std::thread([completion = std::move(completion)] { if (completion) completion(); }).detach();
}

void FileWriter::cancelWriting() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (finishing_) return;  // finishing already owns the file
  }
  WriterStatus s = status_.load();
  while ((s == WriterStatus::unknown || s == WriterStatus::writing) &&
         !status_.compare_exchange_weak(s, WriterStatus::cancelled)) {
  }
  if (s != WriterStatus::unknown && s != WriterStatus::writing) return;  // it ended first
  stopEncoder();
  closeAll();
}

void FileWriter::stopEncoder() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!finishing_) {
      stopping_ = true;
      queue_.clear();
      queuedFrames_ = 0;
    }
  }
  queueChanged_.notify_one();
  if (!threadEnd_) return;
  std::unique_lock<std::mutex> lock(threadEnd_->mutex);
  // A completion that ends its own writer: the thread touches nothing of it
  // after the completion returns.
  if (threadEnd_->id == std::this_thread::get_id()) return;
  threadEnd_->ended.wait(lock, [this] { return threadEnd_->done; });
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
