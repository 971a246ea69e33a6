// writer-probe and decode, run as the real executable, with the files
// checked by decoding them and by ffprobe.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/media_fixtures.h"
#include "tests/process.h"

namespace lumeno::test {
namespace {

namespace fs = std::filesystem;

const std::string badFixture = "writer-probe requires new output and a short readable fixture\n";

// A 16-bit PCM WAV file; sample(frame, channel) in -1...1.
void writeWav(const std::string& path, int rate, int channels, int64_t frames,
              const std::function<double(int64_t, int)>& sample) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  uint32_t bytes = uint32_t(frames * channels * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(uint16_t(channels));
  u32(uint32_t(rate));
  u32(uint32_t(rate * channels * 2));
  u16(uint16_t(channels * 2));
  u16(16);
  out.write("data", 4);
  u32(bytes);
  std::vector<int16_t> data(size_t(frames * channels));
  for (int64_t f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) data[size_t(f * channels + c)] = int16_t(std::lround(sample(f, c) * 32000));
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size() * 2));
}

double tone(int64_t f, int rate) { return 0.4 * std::sin(2 * M_PI * 330 * double(f) / rate); }

ProcessOptions testMode() {
  ProcessOptions o;
  o.setEnv["LUMENO_AUDIO_TEST"] = "1";
  return o;
}

std::vector<std::string> probe(const TempDir& tmp, const std::string& me, const std::string& them) {
  return {LUMENO_AUDIO_BIN, "writer-probe", "--dir", tmp / "out", "--me", me, "--them", them};
}

// decode FILE: the 16 kHz samples.
std::vector<float> decode(const std::string& file) {
  auto r = runProcess({LUMENO_AUDIO_BIN, "decode", file});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<float> s(r.out.size() / 4);
  std::memcpy(s.data(), r.out.data(), s.size() * 4);
  return s;
}

// ffprobe's "key=value" lines for the given -show_entries of file.
std::string ffprobe(const std::string& file, const std::string& entries) {
  return runProcess({"/usr/bin/ffprobe", "-v", "error", "-show_entries", entries, "-of", "default=noprint_wrappers=1",
                     file})
      .out;
}

TEST(WriterProbe, FinishLeavesTwoClosedHeAacFilesOfTheRightLength) {
  TempDir tmp;
  // me: 2 s at 48 kHz mono; them: 2.5 s at 44.1 kHz stereo, read in 4,410-frame passes.
  writeWav(tmp / "me.wav", 48000, 1, 96000, [](int64_t f, int) { return tone(f, 48000); });
  writeWav(tmp / "them.wav", 44100, 2, 110250, [](int64_t f, int c) { return c ? 0.0 : tone(f, 44100); });
  auto started = std::chrono::steady_clock::now();
  Child child(probe(tmp, tmp / "me.wav", tmp / "them.wav"), testMode());
  auto line = child.readLine(std::chrono::seconds(20));
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "{\"fragmentMs\":5000,\"inputMs\":2500,\"t\":\"writer-fed\"}");
  // 25 passes with 100 ms sleeps: the fixture went in at real-time pace.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2400));
  child.write("finish\n");
  auto r = child.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  for (auto [name, seconds] : {std::pair{"me", 2.0}, std::pair{"them", 2.5}}) {
    SCOPED_TRACE(name);
    std::string file = tmp / "out" + "/" + name + ".m4a";
    std::string info = ffprobe(file, "format_tags=major_brand:stream=codec_name,profile,sample_rate,bit_rate");
    EXPECT_NE(info.find("codec_name=aac"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=HE-AAC"), std::string::npos) << info;
    EXPECT_NE(info.find("sample_rate=48000"), std::string::npos) << info;
    EXPECT_NE(info.find("TAG:major_brand=M4A"), std::string::npos) << info;
    auto rate = info.find("bit_rate=");
    ASSERT_NE(rate, std::string::npos);
    EXPECT_NEAR(std::stod(info.substr(rate + 9)), 16000, 4000);
    // The file decodes to what went in. The converters are never drained:
    // the decode probe's 48 to 16 kHz one keeps 16 frames in its filter, and
    // for "them" the track's 44.1 to 48 kHz one some 6 more (at 16 kHz), so
    // the 16 kHz stream is short by those, and never longer.
    auto samples = decode(file);
    EXPECT_GE(double(samples.size()), seconds * 16000 - 24);
    EXPECT_LE(double(samples.size()), seconds * 16000);
  }
  // The container itself ends at the last frame written: the track starts
  // with the encoder's priming before time 0 and lasts up to the end of the
  // 96,000 frames of "me", not to the end of the encoder's last frame.
  auto range = ffprobe(tmp / "out/me.m4a", "stream=start_pts,duration_ts");
  auto start = range.find("start_pts="), duration = range.find("duration_ts=");
  ASSERT_NE(start, std::string::npos) << range;
  ASSERT_NE(duration, std::string::npos) << range;
  EXPECT_EQ(std::stoll(range.substr(start + 10)) + std::stoll(range.substr(duration + 12)), 96000) << range;
}

TEST(WriterProbe, KilledWriterLeavesFileReadableUpToItsLastFragment) {
  TempDir tmp;
  // 11 s with a click at 7 s: fragments end at 5 s and 10 s, the last second is lost.
  writeWav(tmp / "me.wav", 48000, 1, 11 * 48000, [](int64_t f, int) { return f == 7 * 48000 ? 0.9 : 0.0; });
  writeWav(tmp / "them.wav", 48000, 1, 4800, [](int64_t f, int) { return tone(f, 48000); });
  Child child(probe(tmp, tmp / "me.wav", tmp / "them.wav"), testMode());
  ASSERT_TRUE(child.readLine(std::chrono::seconds(30)));
  child.kill(SIGKILL);
  child.wait();
  auto samples = decode(tmp / "out/me.m4a");
  EXPECT_GE(samples.size(), 10u * 16000 - 20);
  EXPECT_LT(samples.size(), 10u * 16000 + 2048 / 3);
  EXPECT_NEAR(double(peakBetween(samples, 0, samples.size())), 7.0 * 16000, 3);
}

TEST(WriterProbe, AnyOtherAnswerExitsWithoutClosingTheFiles) {
  TempDir tmp;
  writeWav(tmp / "a.wav", 48000, 1, 4800, [](int64_t f, int) { return tone(f, 48000); });
  for (std::optional<std::string> answer : {std::optional<std::string>("stop\n"), std::optional<std::string>()}) {
    fs::remove_all(tmp / "out");
    ProcessOptions o = testMode();
    o.input = answer ? *answer : "";
    auto r = runProcess(probe(tmp, tmp / "a.wav", tmp / "a.wav"), o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"fragmentMs\":5000,\"inputMs\":100,\"t\":\"writer-fed\"}\n");
    // Nothing reached a fragment: the open file holds no complete audio.
    EXPECT_TRUE(fs::exists(tmp / "out/me.m4a"));
    EXPECT_EQ(runProcess({LUMENO_AUDIO_BIN, "decode", tmp / "out/me.m4a"}).out, "");
  }
}

TEST(WriterProbe, RefusesLongFixturesExistingOutputAndUnreadableFiles) {
  TempDir tmp;
  writeWav(tmp / "60.0.wav", 8000, 1, 480000, [](int64_t, int) { return 0.0; });
  writeWav(tmp / "60.1.wav", 8000, 1, 480800, [](int64_t, int) { return 0.0; });
  writeWav(tmp / "short.wav", 48000, 1, 4800, [](int64_t f, int) { return tone(f, 48000); });
  std::ofstream(tmp / "junk.wav") << "not audio";

  {  // 60.0 s is accepted: it is being fed when it is stopped.
    Child child(probe(tmp, tmp / "60.0.wav", tmp / "short.wav"), testMode());
    EXPECT_FALSE(child.readLine(std::chrono::milliseconds(1500)));
    child.kill(SIGKILL);
    auto r = child.wait();
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.err, "");
  }
  for (const char* fixture : {"60.1.wav", "junk.wav", "missing.wav"}) {
    SCOPED_TRACE(fixture);
    fs::remove_all(tmp / "out");
    auto r = runProcess(probe(tmp, tmp / "short.wav", tmp / fixture), testMode());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, badFixture);
  }

  // A second run on the same folder refuses and leaves the first files alone.
  fs::remove_all(tmp / "out");
  ProcessOptions o = testMode();
  o.input = "finish\n";
  ASSERT_EQ(runProcess(probe(tmp, tmp / "short.wav", tmp / "short.wav"), o).status, 0);
  auto size = fs::file_size(tmp / "out/me.m4a");
  auto r = runProcess(probe(tmp, tmp / "short.wav", tmp / "short.wav"), o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, badFixture);
  EXPECT_EQ(fs::file_size(tmp / "out/me.m4a"), size);
}

TEST(WriterProbe, AFolderWhoseStatusCannotBeReadIsOneMessageAndStatus1) {
  TempDir tmp;
  writeWav(tmp / "short.wav", 48000, 1, 4800, [](int64_t f, int) { return tone(f, 48000); });
  std::ofstream(tmp / "file") << "a file, not a folder";
  fs::create_directory_symlink(tmp / "loop", tmp / "loop");
  // A folder that exists, but whose files' names are longer than a path may be.
  std::string deep = tmp.path();
  while (deep.size() < 4090) deep += "/" + std::string(std::min<size_t>(200, 4089 - deep.size()), 'd');
  fs::create_directories(deep);
  struct Case {
    const char* name;
    std::string dir;
    std::string err;
  };
  const std::string longName = tmp / std::string(300, 'x');
  const Case cases[] = {
      {"a name too long", longName, "writer-probe can't create " + longName + "\n"},
      {"a folder under a file", tmp / "file/out", "writer-probe can't create " + tmp / "file/out" + "\n"},
      {"a symbolic link loop", tmp / "loop/out", "writer-probe can't create " + tmp / "loop/out" + "\n"},
      {"an output name too long", deep, badFixture},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = runProcess({LUMENO_AUDIO_BIN, "writer-probe", "--dir", c.dir, "--me", tmp / "short.wav", "--them",
                         tmp / "short.wav"},
                        testMode());
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Decode, StereoFileGives1600SamplesPer100Ms) {
  TempDir tmp;
  writeWav(tmp / "s.wav", 48000, 2, 3 * 48000, [](int64_t f, int c) { return c ? -tone(f, 48000) * 0.5 : tone(f, 48000); });
  auto samples = decode(tmp / "s.wav");
  EXPECT_NEAR(double(samples.size()), 3 * 16000, 32);
  // The channels are averaged: (x - x/2) / 2 = x/4, a peak of about 0.1.
  float peak = 0;
  for (float v : samples) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 0.1, 0.01);
}

TEST(Decode, UnreadableFileIsReportedByName) {
  TempDir tmp;
  for (std::string file : {tmp / "missing.m4a", tmp / "junk"}) {
    if (file.ends_with("junk")) std::ofstream(file) << "junk";
    auto r = runProcess({LUMENO_AUDIO_BIN, "decode", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "can't read " + file + "\n");
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace lumeno::test
