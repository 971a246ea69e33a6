#include "audio/platform/writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <vector>

#include "tests/media_fixtures.h"

namespace lumeno {
namespace {

namespace fs = std::filesystem;

const AudioFormat mono48k{48000, 1, false, SampleType::float32};

// Quiet pseudo-random noise, the same for a frame however the audio is cut
// into buffers, with a 0.9 click at frame `click`.
float noiseAt(int64_t frame, int64_t click) {
  if (frame == click) return 0.9f;
  uint32_t h = uint32_t(frame) * 2654435761u;
  h ^= h >> 15;
  return float(int32_t(h % 2000) - 1000) * 1e-5f;
}

// A real writer on file, started with the track's settings at rate.
struct Started {
  std::unique_ptr<Writer> writer;
  WriterInput* input = nullptr;
  int64_t pts = 0;

  Started(const fs::path& file, int rate) : writer(makeFileWriter(file)) {
    if (!writer) return;
    writer->setMovieFragmentInterval(5.0);
    input = writer->addInput({formatMPEG4AAC_HE, rate, 1, 16000});
    if (input && !writer->startWriting()) input = nullptr;
  }
  // Audio frames [pts, pts + n) of noiseAt(), in one buffer, once the input is ready.
  bool audio(uint32_t n, int64_t click = -1) {
    auto b = PcmBuffer::make(mono48k, n);
    b->setFrameLength(n);
    for (uint32_t i = 0; i < n; ++i) b->floatData(0)[i] = noiseAt(pts + i, click);
    while (!input->isReadyForMoreMediaData() && writer->status() == WriterStatus::writing) usleep(5000);
    if (!input->append(*b, pts)) return false;
    pts += n;
    return true;
  }
  // n frames of silence as zero buffers through append(), as a writer
  // without a count of its own takes them.
  bool zeros(int64_t n) {
    int64_t taken = input->WriterInput::appendSilence(n, pts);
    pts += taken;
    return taken == n;
  }
  bool silence(int64_t n) {
    int64_t taken = input->appendSilence(n, pts);
    pts += taken;
    return taken == n;
  }
  // finishWriting(), waiting for its completion; true when completed.
  bool finish() {
    input->markAsFinished();
    Group group;
    group.enter();
    writer->finishWriting([&group] { group.leave(); });
    group.wait();
    return writer->status() == WriterStatus::completed;
  }
};

// A run of audio (with a click at `click` frames into the run when >= 0) or
// of silence.
struct Piece {
  bool silence;
  int64_t frames;
  int64_t click = -1;
};

// Silence taken as a count encodes exactly as zero buffers do: same length,
// same samples, the audio around it in place, at either encoder rate and at
// any size against the 2,048-frame encoder frame and the 5 s fragments.
TEST(WriterSilence, RunsDecodeExactlyAsZeroBuffers) {
  struct Case {
    const char* what;
    int rate;
    std::vector<Piece> pieces;
  };
  const Case cases[] = {
      {"silence only, odd length", 48000, {{true, 100001}}},
      {"audio and silence at odd sizes",
       48000,
       {{false, 1237}, {true, 3001}, {false, 999, 500}, {true, 1}, {false, 4801}, {true, 7}}},
      {"silence first, then a click on the first frame after it", 48000, {{true, 7 * 48000 + 13}, {false, 3000, 0}}},
      {"runs back to back across a fragment end", 48000,
       {{false, 2047}, {true, 240000}, {true, 17}, {false, 2049, 2048}}},
      {"a run longer than the encoder thread takes at once", 48000,
       {{false, 48000, 47999}, {true, 3 * 48000 + 1}, {false, 4800, 1}}},
      {"32 kHz encoder, resampled silence", 32000, {{false, 4801, 2400}, {true, 100003}, {false, 9600, 4800}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::Folder dir;
    std::vector<float> decoded[2];
    int64_t total = 0, click = -1;
    for (int asCount : {0, 1}) {
      fs::path file = dir / (asCount ? "count.m4a" : "zeros.m4a");
      Started w(file, c.rate);
      ASSERT_TRUE(w.input);
      for (const Piece& p : c.pieces) {
        if (p.click >= 0) click = w.pts + p.click;
        bool taken = p.silence ? (asCount ? w.silence(p.frames) : w.zeros(p.frames))
                               : w.audio(uint32_t(p.frames), p.click >= 0 ? w.pts + p.click : -1);
        ASSERT_TRUE(taken);
      }
      total = w.pts;
      ASSERT_TRUE(w.finish()) << w.writer->errorDescription();
      ReaderStatus status = ReaderStatus::unknown;
      decoded[asCount] = test::decodeAll(file, &status);
      EXPECT_EQ(status, ReaderStatus::completed);
    }
    if (c.rate == 48000) {
      EXPECT_EQ(int64_t(decoded[1].size()), total);
    } else {  // 48 to 32 kHz and back: both resamplers round the length
      EXPECT_NEAR(double(decoded[1].size()), double(total), 2);
    }
    EXPECT_TRUE(decoded[1] == decoded[0]);
    if (click >= 0) {
      EXPECT_NEAR(double(test::peakBetween(decoded[1], 0, decoded[1].size())), double(click), 8);
    }
  }
}

// Queued work is dropped, not encoded, when the writer is cancelled or
// destroyed unfinished; neither waits for it.
TEST(WriterThread, CancelOrDestroyDropsQueuedWork) {
  const int64_t hour = 3600 * 48000;
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelWriting" : "destroyed");
    test::Folder dir;
    fs::path file = dir / "me.m4a";
    {
      Started w(file, 48000);
      ASSERT_TRUE(w.input);
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(w.audio(4800));
      ASSERT_TRUE(w.silence(hour));
      ASSERT_TRUE(w.audio(4800));
      if (cancel) {
        w.writer->cancelWriting();
        EXPECT_EQ(w.writer->status(), WriterStatus::cancelled);
        EXPECT_FALSE(w.input->isReadyForMoreMediaData());
        EXPECT_FALSE(w.audio(4800));
        EXPECT_EQ(w.input->appendSilence(4800, w.pts), 0);
        Group group;
        group.enter();
        w.writer->finishWriting([&group] { group.leave(); });  // still completes, with nothing to finish
        group.wait();
        EXPECT_EQ(w.writer->status(), WriterStatus::cancelled);
      }
    }
    // What the thread had written before it stopped, nowhere near the hour.
    EXPECT_LT(test::decodeAll(file).size(), size_t(hour));
  }
}

// Stands in for a full disk: files of this process cannot grow beyond
// `bytes` while it lives, and writing past that fails instead of raising
// SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedSignal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedSignal_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*savedSignal_)(int) = nullptr;
};

// A write error meets the encoder thread, not the caller: the writer fails
// with the error's text, and what comes after is refused. The file keeps its
// whole fragments and nothing of the torn one.
TEST(WriterThread, FileErrorOnTheThreadFailsLaterAppends) {
  test::Folder dir;
  fs::path file = dir / "me.m4a";
  FileSizeLimit limit(16 * 1024);  // the first 5 s fragment fits, the second does not
  Started w(file, 48000);
  ASSERT_TRUE(w.input);
  // 30 s of audio go in before the thread reaches the second fragment's end.
  for (int i = 0; i < 300 && w.writer->status() == WriterStatus::writing; ++i) w.audio(4800);
  for (int i = 0; i < 60000 && w.writer->status() == WriterStatus::writing; ++i) usleep(1000);
  EXPECT_EQ(w.writer->status(), WriterStatus::failed);
  EXPECT_EQ(w.writer->errorDescription(), "File too large");
  EXPECT_FALSE(w.input->isReadyForMoreMediaData());
  EXPECT_FALSE(w.audio(4800));
  EXPECT_EQ(w.input->appendSilence(4800, w.pts), 0);
  EXPECT_FALSE(w.finish());
  EXPECT_EQ(w.writer->status(), WriterStatus::failed);

  // The file ends where its last top-level box does.
  std::string bytes = test::readFile(file);
  size_t at = 0;
  while (at + 8 <= bytes.size()) {
    auto* b = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    uint32_t size = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    if (size < 8) break;
    at += size;
  }
  EXPECT_EQ(at, bytes.size()) << "no box is cut short";
  ReaderStatus status = ReaderStatus::unknown;
  auto samples = test::decodeAll(file, &status);
  EXPECT_EQ(status, ReaderStatus::completed);
  EXPECT_GE(test::seconds(samples), 5.0) << "the first fragment is kept";
}

}  // namespace
}  // namespace lumeno
