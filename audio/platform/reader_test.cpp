// The reader on damaged files: an access unit that does not decode is
// silence of its own length, so the audio after it keeps its place, and the
// reader says how much it replaced.
#include "audio/platform/reader.h"

#include <gtest/gtest.h>

#include "audio/platform/audio_file.h"
#include "tests/media_fixtures.h"

namespace lumeno {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kClick = 96000;  // 2 s

TEST(Reader, DamagedUnitsBecomeSilenceOfTheirLength) {
  test::Folder folder;
  fs::path clean = folder / "clean.m4a";
  ASSERT_TRUE(test::writeAudio(clean, 3 * 48000, [](int64_t i) {
    return i == kClick ? 0.9f : 0.1f * float(std::sin(double(i) * 0.05));
  }));
  const auto reference = test::decodeAll(clean);
  ASSERT_EQ(reference.size(), 3u * 48000);
  const size_t click = test::peakBetween(reference, 0, reference.size());
  const auto units = test::accessUnits(clean);
  ASSERT_GT(units.size(), 60u);

  struct Case {
    const char* name;
    std::vector<size_t> units;
    char fill;  // 0: random bytes
  };
  const size_t first = test::unitAt(units, 0), middle = test::unitAt(units, 48000), last = units.size() - 1;
  const Case cases[] = {
      {"one unit of 0xFF", {middle}, char(0xFF)},
      {"one unit of zeros", {middle}, 0x00},
      {"one unit of noise", {middle}, 0},
      {"two units in a row", {middle, middle + 1}, char(0xFF)},
      {"the first unit of audio", {first}, char(0xFF)},
      {"the last unit", {last}, char(0xFF)},
      {"every unit", {}, char(0xFF)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<size_t> damaged = c.units;
    if (damaged.empty())
      for (size_t i = 0; i < units.size(); ++i) damaged.push_back(i);
    fs::path file = folder / "damaged.m4a";
    fs::copy_file(clean, file, fs::copy_options::overwrite_existing);
    test::damageUnits(file, units, damaged, c.fill);

    auto reader = AssetReader::make(file);
    ASSERT_TRUE(reader && reader->startReading());
    std::vector<float> samples;
    while (auto buffer = reader->copyNextSampleBuffer())
      samples.insert(samples.end(), buffer->floatData(0), buffer->floatData(0) + buffer->frameLength());
    EXPECT_EQ(reader->status(), ReaderStatus::completed);
    EXPECT_EQ(samples.size(), reference.size()) << "the timeline keeps its length";

    // What the damaged units held of the audio (from frame 0 to the end) is
    // silence, and that much is reported.
    int64_t replaced = 0;
    for (size_t u : damaged) {
      int64_t from = std::max<int64_t>(0, units[u].pts), to = std::min<int64_t>(3 * 48000, units[u].pts + units[u].duration);
      replaced += std::max<int64_t>(0, to - from);
      if (to > from && size_t(to) <= samples.size()) {
        EXPECT_EQ(test::rms(std::span<const float>(samples).subspan(size_t(from), size_t(to - from))), 0.0) << u;
      }
    }
    EXPECT_NEAR(reader->replacedMs(), double(replaced) / 48, 0.01);
    if (c.units.size() && c.units[0] != test::unitAt(units, kClick) && samples.size() == reference.size()) {
      EXPECT_NEAR(double(test::peakBetween(samples, 0, samples.size())), double(click), 2) << "the click keeps its place";
    }

    // The audio file under the probes reads the same timeline.
    auto audio = AudioFile::openForReading(file);
    ASSERT_TRUE(audio);
    auto buffer = PcmBuffer::make(audio->processingFormat(), 48000);
    int64_t frames = 0;
    while (audio->read(*buffer) && buffer->frameLength() > 0) frames += buffer->frameLength();
    EXPECT_EQ(frames, int64_t(reference.size()));
    EXPECT_NEAR(audio->replacedMs(), double(replaced) / 48, 0.01);
  }

  auto reader = AssetReader::make(clean);
  ASSERT_TRUE(reader && reader->startReading());
  while (reader->copyNextSampleBuffer()) {
  }
  EXPECT_EQ(reader->replacedMs(), 0.0) << "nothing replaced in a sound file";
}

// A fragment's base time with a flipped bit: the fragment's audio stays
// where it was, and so does everything after it. Left alone, a base time
// before the start had the whole fragment discarded as priming and the rest
// of the file moved up by its 5 s; one days later put it there.
TEST(Reader, ADamagedFragmentTimeMovesNothing) {
  test::Folder folder;
  const fs::path clean = folder / "clean.m4a";
  const int64_t click = 12 * 48000;  // in the third fragment
  ASSERT_TRUE(test::writeAudio(clean, 14 * 48000, [&](int64_t i) {
    return i == click || i == 7 * 48000 ? 0.9f : 0.05f * float(std::sin(double(i) * 0.05));
  }));
  const auto reference = test::decodeAll(clean);
  const std::string bytes = test::readFile(clean);
  const size_t second = bytes.find("tfdt", bytes.find("tfdt") + 4);
  ASSERT_NE(second, std::string::npos);
  ASSERT_EQ(bytes[second + 4], 1) << "a 64-bit base time";

  struct Case {
    const char* what;
    size_t byte;  // of the base time, from its most significant
    uint8_t bit;
  };
  for (const Case& c : {Case{"the sign bit", 0, 0x80}, Case{"a bit worth 12 hours", 4, 0x80}, Case{"a bit worth 1.4 s", 5, 0x01}}) {
    SCOPED_TRACE(c.what);
    std::string damaged = bytes;
    damaged[second + 8 + c.byte] = char(uint8_t(damaged[second + 8 + c.byte]) ^ c.bit);
    folder.write("damaged.m4a", damaged);
    const auto samples = test::decodeAll(folder / "damaged.m4a");
    // A base time far off also sets the track's end, so the padding of the
    // last frame may stay: at most a frame more.
    EXPECT_NEAR(double(samples.size()), double(reference.size()), 2048);
    for (int64_t at : {int64_t(7 * 48000), click})
      EXPECT_NEAR(double(test::peakBetween(samples, size_t(at - 24000), size_t(at + 24000))), double(at), 2);
  }
}

// A file the fuzzer made from one of the writer's: its sample table claims
// minutes of audio behind packets that do not decode. The silence put in their
// place stays within a second per packet instead of filling those minutes.
// (Their times jump too, so they are placed one after the other, from before
// time 0: what comes out may be nothing at all.)
TEST(Reader, DamageNeverBecomesMoreThanASecondOfSilencePerUnit) {
  const fs::path file = fs::path(LUMENO_SOURCE_DIR) / "audio/platform/testdata/damaged_sample_table.m4a";
  auto reader = AssetReader::make(file);
  ASSERT_TRUE(reader && reader->startReading());
  size_t frames = 0;
  while (auto buffer = reader->copyNextSampleBuffer()) frames += buffer->frameLength();
  EXPECT_EQ(reader->status(), ReaderStatus::completed);
  EXPECT_LT(double(frames) / 48000, 10.0) << "the claimed minutes are not made up";
  EXPECT_LE(reader->replacedMs(), double(frames) / 48);
}

// Files the fuzzer made whose times are out of every range (a start time at
// the lowest int64): read to an end, completed or failed, without making up
// minutes of audio.
TEST(Reader, FilesWithTimesOutOfRangeEndCleanly) {
  for (const char* name : {"start_time_at_minimum.m4a"}) {
    SCOPED_TRACE(name);
    auto reader = AssetReader::make(fs::path(LUMENO_SOURCE_DIR) / "audio/platform/testdata" / name);
    if (!reader) continue;  // refusing such a file is fine too
    ASSERT_TRUE(reader->startReading());
    size_t frames = 0;
    while (auto buffer = reader->copyNextSampleBuffer()) frames += buffer->frameLength();
    EXPECT_TRUE(reader->status() == ReaderStatus::completed || reader->status() == ReaderStatus::failed);
    EXPECT_LT(double(frames) / 48000, 10.0);
  }
}

// A file the fuzzer made that another demuxer takes for 1 Hz audio: 400
// bytes that came out as ten minutes at 48 kHz. No audio is recorded at such
// a rate; the reader refuses it.
TEST(Reader, RatesNoAudioIsRecordedAtAreRefused) {
  EXPECT_EQ(AssetReader::make(fs::path(LUMENO_SOURCE_DIR) / "audio/platform/testdata/one_hertz_sample_rate.m4a"), nullptr);
}

}  // namespace
}  // namespace lumeno
