#include "audio/track/track.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/platform/audio_file.h"
#include "audio/platform/reader.h"
#include "tests/media_fixtures.h"
#include "tests/stderr_capture.h"

namespace lumeno {
namespace {

namespace fs = std::filesystem;

using test::StderrCapture;

PcmBuffer buffer(double rate, uint32_t frames, const std::function<float(uint32_t)>& sample = nullptr) {
  auto b = PcmBuffer::make({rate, 1, false, SampleType::float32}, frames);
  b->setFrameLength(frames);
  if (sample)
    for (uint32_t i = 0; i < frames; ++i) b->floatData(0)[i] = sample(i);
  return *b;
}

// A writer that takes everything in memory and can refuse on demand: the
// refusals the real encoder cannot be made to give.
struct FakeWriterControl {
  std::vector<int> refusedRates;
  bool failStart = false;
  bool neverReady = false;
  int busyAfter = -1;  // appends after which it is never ready again; -1: none
  std::vector<int> triedRates;
  std::vector<uint32_t> appended;
};

class FakeWriter : public Writer, public WriterInput {
 public:
  explicit FakeWriter(FakeWriterControl& c) : c_(c) {}
  void setMovieFragmentInterval(double s) override { interval_ = s; }
  double movieFragmentInterval() const override { return interval_; }
  bool canApply(const OutputSettings& s) override {
    c_.triedRates.push_back(s.sampleRate);
    return std::find(c_.refusedRates.begin(), c_.refusedRates.end(), s.sampleRate) == c_.refusedRates.end();
  }
  WriterInput* addInput(const OutputSettings&) override { return this; }
  bool startWriting() override {
    if (c_.failStart) return false;
    status_ = WriterStatus::writing;
    return true;
  }
  void finishWriting(std::function<void()> completion) override {
    status_ = WriterStatus::completed;
    completion();
  }
  void cancelWriting() override { status_ = WriterStatus::cancelled; }
  WriterStatus status() const override { return status_; }
  std::string errorDescription() const override { return c_.failStart ? "refused" : ""; }
  bool isReadyForMoreMediaData() const override {
    return !c_.neverReady && (c_.busyAfter < 0 || int(c_.appended.size()) < c_.busyAfter);
  }
  bool append(const PcmBuffer& b, int64_t) override {
    c_.appended.push_back(b.frameLength());
    return true;
  }
  void markAsFinished() override {}

 private:
  FakeWriterControl& c_;
  double interval_ = 0;
  WriterStatus status_ = WriterStatus::unknown;
};

WriterFactory fake(FakeWriterControl& c) {
  return [&c](const fs::path&) { return std::make_unique<FakeWriter>(c); };
}

TEST(TrackLevel, MapsRmsOntoTheMeterScale) {
  struct Case {
    const char* what;
    uint32_t frames;
    std::function<float(uint32_t)> sample;
    double level;
  };
  const Case cases[] = {
      {"no samples", 0, nullptr, 0},
      {"digital silence", 1600, [](uint32_t) { return 0.0f; }, 0},
      {"constant magnitude 1", 1600, [](uint32_t i) { return i % 2 ? 1.0f : -1.0f; }, 1},
      {"full-scale sine", 1600, [](uint32_t i) { return float(std::sin(2 * M_PI * 400 * i / 16000.0)); }, 0.95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Track track("me", "/nonexistent/me.m4a", true);
    track.stream = false;
    if (c.frames) track.append(buffer(16000, c.frames, c.sample), 0.0);
    EXPECT_DOUBLE_EQ(track.level(), c.level);
    EXPECT_EQ(track.level(), 0);  // the accumulators were reset
  }
}

// Appends 100 ms buffers at 48 kHz with the given heard times.
struct Timeline {
  FakeWriterControl control;
  Track track{"them", "/nonexistent/them.m4a", true, fake(control)};
  std::vector<double> starts;  // onPcm16 start times
  Timeline() {
    track.stream = false;
    track.openWriter();
    track.onPcm16 = [this](const PcmBuffer&, double ms) { starts.push_back(ms); };
  }
  void append(std::optional<double> heardMs, double rate = 48000) {
    track.append(buffer(rate, uint32_t(rate / 10), [](uint32_t i) { return 0.5f * float(std::sin(i * 0.06)); }), heardMs);
  }
};

TEST(TrackAppend, HeardTimeGapOver250MsReanchorsAndWritesSilence) {
  for (double gap : {300.0, 250.0}) {
    SCOPED_TRACE(gap);
    Timeline t;
    t.append(0);
    t.append(100);
    t.track.pending.push_back(0.5f);  // a sample left over from the stream
    int64_t before = t.track.pts;
    t.append(200 + gap);
    if (gap > 250) {
      EXPECT_EQ(t.track.baseMs, 200 + gap);
      EXPECT_EQ(t.track.pts - before, int64_t(gap * 48) + 4800);  // the silence, then the buffer
      EXPECT_EQ(t.starts.back(), 200 + gap);
    } else {
      EXPECT_EQ(t.track.baseMs, 0);
      EXPECT_EQ(t.track.pts - before, 4800);
      EXPECT_NEAR(t.starts.back(), 200.0 + 1.0 / 16, 1.0);
    }
  }
}

TEST(TrackAppend, FirstBufferHeardBeforeZeroAnchorsAtZero) {
  Timeline t;
  t.append(-50);
  EXPECT_EQ(t.track.baseMs, 0);
  EXPECT_EQ(t.track.pts, 4800);
  EXPECT_EQ(t.control.appended, (std::vector<uint32_t>{4800}));
}

TEST(TrackAppend, RateChangeMakesNewConvertersWithoutReanchoring) {
  Timeline t;
  t.append(0, 44100);
  Converter* old16 = t.track.conv16.get();
  EXPECT_EQ(t.track.srcRate, 44100);
  t.append(100, 44100);
  EXPECT_EQ(t.track.conv16.get(), old16);  // same rate: converters kept
  int64_t before = t.track.pts;
  t.append(200, 48000);
  EXPECT_EQ(t.track.srcRate, 48000);
  EXPECT_EQ(t.track.conv48->inputFormat().sampleRate, 48000);
  EXPECT_EQ(t.track.conv16->inputFormat().sampleRate, 48000);
  EXPECT_EQ(t.track.baseMs, 0);
  EXPECT_EQ(t.track.pts - before, 4800);  // no silence in between
}

TEST(TrackAppend, WithoutHeardTimeAnchorsAtArrivalButNeverBeforeTheFileEnd) {
  {
    // Program time 0 lies 10 s back, so the arrival time is positive.
    uint64_t saved = startedHost;
    startedHost -= uint64_t(10e9);
    Timeline t;
    t.append(std::nullopt);
    startedHost = saved;
    double arrival = nowMs() + 10000 - 100;
    EXPECT_NEAR(*t.track.baseMs, arrival, 50);
    EXPECT_NEAR(double(t.track.pts), (arrival + 100) * 48, 50 * 48);
  }
  {
    Timeline t;
    int64_t ahead = int64_t((nowMs() + 60000) * 48);
    t.track.padTo(ahead);
    t.track.resync();
    t.control.appended.clear();
    t.append(std::nullopt);
    EXPECT_DOUBLE_EQ(*t.track.baseMs, double(ahead) / 48);
    EXPECT_EQ(t.control.appended, (std::vector<uint32_t>{4800}));  // right after the file's end
  }
}

TEST(TrackAppend, StreamOffStillFeedsOnPcm16AndLevels) {
  Timeline t;
  for (int i = 0; i < 20; ++i) t.append(100.0 * i);
  EXPECT_EQ(t.starts.size(), 20u);
  EXPECT_LT(t.track.pending.size(), 1600u);
  EXPECT_GT(t.track.sentSince, 0);  // chunks were taken off, just not sent
  EXPECT_GT(t.track.level(), 0.8);
}

TEST(TrackEmit, ZeroOrUnanchoredDoesNothing) {
  Track track("me", "/nonexistent/me.m4a", true);
  track.pending = {1, 2, 3};
  track.emit(2);  // not anchored
  EXPECT_EQ(track.pending.size(), 3u);
  track.baseMs = 0;
  track.emit(0);
  EXPECT_EQ(track.pending.size(), 3u);
  track.stream = false;
  track.emit(2);
  EXPECT_EQ(track.pending, (std::vector<float>{3}));
  EXPECT_EQ(track.sentSince, 2);
}

TEST(TrackWriter, PadsInBuffersOfAtMost4800Frames) {
  FakeWriterControl control;
  Track track("me", "/nonexistent/me.m4a", true, fake(control));
  track.openWriter();
  track.padTo(10000);
  EXPECT_EQ(control.appended, (std::vector<uint32_t>{4800, 4800, 400}));
  EXPECT_EQ(track.pts, 10000);
}

TEST(TrackWriter, FallsBackTo32kHzAndReportsRefusals) {
  struct Case {
    const char* what;
    std::vector<int> refused;
    bool failStart;
    bool opened;
    std::string log;
  };
  const Case cases[] = {
      {"48 kHz accepted", {}, false, true, ""},
      {"48 kHz refused", {48000}, false, true, ""},
      {"both refused", {48000, 32000}, false, false, "can't start HE-AAC audio for /nonexistent/me.m4a\n"},
      {"start fails", {}, true, false,
       "can't start HE-AAC at 48000: refused\ncan't start HE-AAC at 32000: refused\n"
       "can't start HE-AAC audio for /nonexistent/me.m4a\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeWriterControl control;
    control.refusedRates = c.refused;
    control.failStart = c.failStart;
    Track track("me", "/nonexistent/me.m4a", true, fake(control));
    StderrCapture err;
    track.openWriter();
    EXPECT_EQ(err.text(), c.log);
    EXPECT_EQ(bool(track.writer), c.opened);
    EXPECT_EQ(control.triedRates.back(), c.refused.size() == 1 ? 32000 : (c.opened ? 48000 : 32000));
  }
}

TEST(TrackWriter, WithoutAFileTheTrackKeepsStreamingAtPts0) {
  FakeWriterControl control;
  control.refusedRates = {48000, 32000};
  Timeline t;
  Track track("them", "/nonexistent/them.m4a", true, fake(control));
  track.stream = false;
  {
    StderrCapture err;
    track.openWriter();
  }
  int fed = 0;
  track.onPcm16 = [&](const PcmBuffer&, double) { ++fed; };
  track.append(buffer(48000, 4800), 1000.0);  // anchors at 1000 ms: padding ends after one try
  track.append(buffer(48000, 4800), 1100.0);
  track.padTo(1000000);
  EXPECT_EQ(track.pts, 0);
  EXPECT_EQ(fed, 2);
  Group group;
  track.finish(group);
  EXPECT_TRUE(group.wait(0.0));
  EXPECT_FALSE(track.writerCompleted());
}

TEST(TrackWriter, BusyWriterDropsTheBufferAfterOneSecond) {
  struct Case {
    const char* what;
    bool neverReady;
    int busyAfter;
    int64_t target;
    std::vector<uint32_t> appended;
    std::string log;
  };
  const Case cases[] = {
      // One attempt only, for the whole run: pts does not move.
      {"never ready", true, -1, 9600, {}, "me: writer busy, dropped 9600 samples\n"},
      // pts grows by what was taken before the writer turned busy.
      {"busy part-way", false, 2, 20000, {4800, 4800}, "me: writer busy, dropped 10400 samples\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeWriterControl control;
    Track track("me", "/nonexistent/me.m4a", true, fake(control));
    track.openWriter();
    control.neverReady = c.neverReady;
    control.busyAfter = c.busyAfter;
    StderrCapture err;
    track.padTo(c.target);
    EXPECT_EQ(err.text(), c.log);
    EXPECT_EQ(control.appended, c.appended);
    int64_t taken = 0;
    for (uint32_t n : c.appended) taken += n;
    EXPECT_EQ(track.pts, taken);
  }
}

TEST(TrackFile, TrackThatNeverGotAudioLeavesNoFile) {
  test::Folder dir;
  auto track = Track::onFile("me", dir.path() / "me.m4a");
  track->openWriter();
  ASSERT_TRUE(track->writer);
  EXPECT_TRUE(fs::exists(dir.path() / "me.m4a"));
  Group group;
  track->finish(group);
  EXPECT_TRUE(group.wait(0.0));  // never entered
  EXPECT_FALSE(fs::exists(dir.path() / "me.m4a"));
}

TEST(TrackFile, CancelDeletesTheFile) {
  test::Folder dir;
  auto track = Track::onFile("me", dir.path() / "me.m4a");
  track->openWriter();
  track->padTo(48000);
  track->cancel();
  EXPECT_FALSE(fs::exists(dir.path() / "me.m4a"));
  EXPECT_FALSE(track->writerCompleted());
}

TEST(TrackFile, FileNamesByPartAndFreshness) {
  test::Folder dir;
  auto first = Track::inDir("me", dir.path(), 0);
  auto later = Track::inDir("them", dir.path(), 3);
  EXPECT_EQ(first->url, dir.path() / "me.m4a");
  EXPECT_TRUE(first->fresh);
  EXPECT_EQ(later->url, dir.path() / "them.3.m4a");
  EXPECT_FALSE(later->fresh);
  EXPECT_TRUE(Track::onFile("x", dir.path() / "x.m4a")->fresh);

  // A fresh track replaces an old file; a later part never overwrites one.
  std::ofstream(dir.path() / "me.m4a") << "old";
  std::ofstream(dir.path() / "them.3.m4a") << "old";
  first->openWriter();
  EXPECT_TRUE(first->writer);
  StderrCapture err;
  later->openWriter();
  EXPECT_FALSE(later->writer);
  EXPECT_EQ(err.text(), "can't write " + (dir.path() / "them.3.m4a").string() + "\n");
  first->cancel();
}

// Quiet pseudo-random noise with a 0.9 click at frame `click`; called for
// frames in order, as the seed moves on with every call.
struct NoiseWithClick {
  int64_t click;
  uint32_t seed;
  float operator()(int64_t frame) {
    seed = seed * 1664525u + 1013904223u;
    return frame == click ? 0.9f : float(int32_t(seed >> 8) % 2000) * 1e-5f;
  }
};

// Cancelling while the writer's thread still has a minute of work queued
// neither waits for it nor leaves a file.
TEST(TrackFile, CancelWithWorkStillQueuedLeavesNoFile) {
  test::Folder dir;
  auto track = Track::onFile("me", dir.path() / "me.m4a");
  track->openWriter();
  auto noisy = [] { return buffer(48000, 4800, [](uint32_t i) { return 0.3f * float(std::sin(i * 0.05)); }); };
  for (int i = 0; i < 200; ++i) track->write(noisy());
  track->padTo(track->pts + int64_t(3600) * 48000);
  track->write(noisy());
  track->cancel();
  EXPECT_FALSE(fs::exists(dir.path() / "me.m4a"));
  EXPECT_EQ(track->writer->status(), WriterStatus::cancelled);
  int64_t pts = track->pts;
  track->write(noisy());
  EXPECT_EQ(track->pts, pts);
}

// Counts the top-level boxes of an MPEG-4 file by type.
std::vector<std::string> topLevelBoxes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> boxes;
  for (;;) {
    unsigned char head[8];
    if (!in.read(reinterpret_cast<char*>(head), 8)) break;
    uint64_t size = uint64_t(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
    boxes.emplace_back(reinterpret_cast<char*>(head + 4), 4);
    if (size < 8) break;
    in.seekg(std::streamoff(size - 8), std::ios::cur);
  }
  return boxes;
}

TEST(TrackFile, WrittenFileIsFragmentedHeAacAlignedToTheFrame) {
  test::Folder dir;
  fs::path file = dir.path() / "them.m4a";
  auto track = Track::onFile("them", file);
  track->stream = false;
  track->openWriter();
  ASSERT_TRUE(track->writer);
  EXPECT_EQ(track->writer->movieFragmentInterval(), 5.0);
  // 12 s of quiet noise with a click at frame 240,000, in 10 ms buffers.
  const int64_t total = 12 * 48000, click = 240000;
  NoiseWithClick noise{click, 1};
  for (int64_t at = 0; at < total; at += 480)
    track->append(buffer(48000, 480, [&](uint32_t i) { return noise(at + i); }), double(at) / 48.0);
  EXPECT_EQ(track->pts, total);
  Group group;
  track->finish(group);
  ASSERT_TRUE(group.wait(10.0));
  EXPECT_TRUE(track->writerCompleted());

  Asset asset = openAsset(file);
  ASSERT_TRUE(asset.hasAudioTrack);
  ASSERT_TRUE(asset.formatDescription);
  EXPECT_EQ(asset.formatDescription->formatID, 1633772392u);
  EXPECT_EQ(asset.formatDescription->channelsPerFrame, 1u);
  EXPECT_EQ(asset.formatDescription->sampleRate, 48000);
  EXPECT_NEAR(asset.estimatedDataRate, 16000, 2500);
  EXPECT_DOUBLE_EQ(asset.durationSeconds, 12.0);

  // Empty moov, then one fragment per 5 s of audio.
  auto boxes = topLevelBoxes(file);
  ASSERT_GE(boxes.size(), 3u);
  EXPECT_EQ(boxes[0], "ftyp");
  EXPECT_EQ(boxes[1], "moov");
  EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 3);

  ReaderStatus status = ReaderStatus::unknown;
  std::vector<float> decoded = test::decodeAll(file, &status);
  EXPECT_EQ(status, ReaderStatus::completed);
  EXPECT_EQ(int64_t(decoded.size()), total);
  EXPECT_NEAR(double(test::peakBetween(decoded, 0, decoded.size())), double(click), 8);
}

TEST(TrackFile, RefusedFortyEightKilohertzWrites32kHz) {
  test::Folder dir;
  fs::path file = dir.path() / "me.m4a";
  WriterFactory refuse48 = [](const fs::path& f) -> std::unique_ptr<Writer> {
    struct Refusing : Writer {
      std::unique_ptr<Writer> real;
      void setMovieFragmentInterval(double s) override { real->setMovieFragmentInterval(s); }
      double movieFragmentInterval() const override { return real->movieFragmentInterval(); }
      bool canApply(const OutputSettings& s) override { return s.sampleRate != 48000 && real->canApply(s); }
      WriterInput* addInput(const OutputSettings& s) override { return real->addInput(s); }
      bool startWriting() override { return real->startWriting(); }
      void finishWriting(std::function<void()> c) override { real->finishWriting(std::move(c)); }
      void cancelWriting() override { real->cancelWriting(); }
      WriterStatus status() const override { return real->status(); }
      std::string errorDescription() const override { return real->errorDescription(); }
    };
    auto w = std::make_unique<Refusing>();
    w->real = makeFileWriter(f);
    if (!w->real) return nullptr;
    return w;
  };
  auto track = Track::onFile("me", file, refuse48);
  track->stream = false;
  track->openWriter();
  ASSERT_TRUE(track->writer);
  for (int i = 0; i < 30; ++i) track->append(buffer(48000, 4800, [](uint32_t j) { return 0.3f * float(std::sin(j * 0.05)); }), i * 100.0);
  Group group;
  track->finish(group);
  group.wait();
  ASSERT_TRUE(track->writerCompleted());
  Asset asset = openAsset(file);
  ASSERT_TRUE(asset.formatDescription);
  EXPECT_EQ(asset.formatDescription->formatID, 1633772392u);
  EXPECT_EQ(asset.formatDescription->sampleRate, 32000);
  // 48 kHz to 32 kHz and back: both resamplers round the length, to within a frame or two.
  EXPECT_NEAR(asset.durationSeconds, 3.0, 2.0 / 48000);
  ReaderStatus status = ReaderStatus::unknown;
  size_t frames = test::decodeAll(file, &status).size();
  EXPECT_EQ(status, ReaderStatus::completed);
  EXPECT_NEAR(double(frames), 3.0 * 48000, 2);
}

// The encoder pads its last frame and flushes whole frames past the input;
// none of that may decode: a file of pts frames decodes to pts frames, for
// any length against the 2,048-frame encoder frame and the 5 s fragments,
// and its last frame written is its last frame decoded.
TEST(TrackFile, DecodesToExactlyTheFramesWritten) {
  for (int64_t total : {int64_t(1), int64_t(2047), int64_t(2048), int64_t(48000), int64_t(72000), int64_t(240001),
                        int64_t(245059), int64_t(600000)}) {
    SCOPED_TRACE(total);
    test::Folder dir;
    fs::path file = dir.path() / "me.m4a";
    auto track = Track::onFile("me", file);
    track->stream = false;
    track->openWriter();
    ASSERT_TRUE(track->writer);
    // Quiet noise with a click on the last frame, in buffers of 1,000 frames.
    NoiseWithClick noise{total - 1, 7};
    for (int64_t at = 0; at < total; at += 1000) {
      uint32_t n = uint32_t(std::min<int64_t>(1000, total - at));
      track->write(buffer(48000, n, [&](uint32_t i) { return noise(at + i); }));
    }
    ASSERT_EQ(track->pts, total);
    Group group;
    track->finish(group);
    ASSERT_TRUE(group.wait(10.0));
    ASSERT_TRUE(track->writerCompleted());

    EXPECT_DOUBLE_EQ(openAsset(file).durationSeconds, double(total) / 48000);
    auto audio = AudioFile::openForReading(file);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->length(), total);

    ReaderStatus status = ReaderStatus::unknown;
    std::vector<float> decoded = test::decodeAll(file, &status);
    EXPECT_EQ(status, ReaderStatus::completed);
    ASSERT_EQ(int64_t(decoded.size()), total);
    if (total >= 2048) {
      EXPECT_NEAR(double(test::peakBetween(decoded, 0, decoded.size())), double(total - 1), 8);
    }
  }
}

// A resume after a long pause pads the track with silence: ten minutes of it
// between two stretches of noise decode to every frame, with a click just
// before the pause and one just after it at their frames and silence in
// between, away from the codec's reach into it.
TEST(TrackFile, LongPauseDecodesToSilenceWithTheAudioAroundItInPlace) {
  test::Folder dir;
  fs::path file = dir.path() / "me.m4a";
  auto track = Track::onFile("me", file);
  track->stream = false;
  track->openWriter();
  ASSERT_TRUE(track->writer);
  const int64_t before = 3 * 48000 + 123, pause = int64_t(10) * 60 * 48000, after = 2 * 48000 + 77;
  const int64_t resume = before + pause, total = resume + after;
  const int64_t clicks[] = {before - 700, resume + 1000};
  NoiseWithClick noise[] = {{clicks[0], 11}, {clicks[1], 13}};
  // Odd buffer sizes, so that neither run starts on an encoder frame.
  auto feed = [&](int64_t from, int64_t to, NoiseWithClick& n) {
    for (int64_t at = from; at < to; at += 997) {
      uint32_t frames = uint32_t(std::min<int64_t>(997, to - at));
      track->write(buffer(48000, frames, [&](uint32_t i) { return n(at + i); }));
    }
  };
  feed(0, before, noise[0]);
  track->padTo(resume);
  ASSERT_EQ(track->pts, resume);
  feed(resume, total, noise[1]);
  ASSERT_EQ(track->pts, total);
  Group group;
  track->finish(group);
  group.wait();
  ASSERT_TRUE(track->writerCompleted());

  // Decoded in a stream: ten minutes are too many samples to keep.
  const int64_t reach = 4096;  // two encoder frames
  auto reader = AssetReader::make(file);
  ASSERT_TRUE(reader && reader->startReading());
  int64_t frame = 0, peak[2] = {-1, -1};
  float peakLevel[2] = {0, 0}, silenceLevel = 0;
  while (auto b = reader->copyNextSampleBuffer()) {
    for (uint32_t i = 0; i < b->frameLength(); ++i, ++frame) {
      float v = std::fabs(b->floatData(0)[i]);
      if (frame >= before + reach && frame < resume - reach) {
        silenceLevel = std::max(silenceLevel, v);
      } else {
        int side = frame < before + reach ? 0 : 1;
        if (v > peakLevel[side]) {
          peakLevel[side] = v;
          peak[side] = frame;
        }
      }
    }
  }
  EXPECT_EQ(reader->status(), ReaderStatus::completed);
  EXPECT_EQ(frame, total);
  EXPECT_NEAR(double(peak[0]), double(clicks[0]), 8);
  EXPECT_NEAR(double(peak[1]), double(clicks[1]), 8);
  EXPECT_LT(silenceLevel, 1e-4f);  // below -80 dBFS: what the codec makes of digital silence
}

}  // namespace
}  // namespace lumeno
