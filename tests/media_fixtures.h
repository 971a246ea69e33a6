// Media fixtures shared by the unit and end-to-end tests: temporary folders,
// files made with the project's own Track, decoding them back, and the
// measurements the checks make on decoded samples.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "audio/base/globals.h"
#include "audio/platform/decoder.h"
#include "audio/platform/dispatch.h"
#include "audio/platform/reader.h"
#include "audio/track/track.h"

namespace lumeno::test {

// A fresh temporary folder, removed with everything in it on destruction.
class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumeno-folder-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }
  void mkdir(const std::string& name) const { std::filesystem::create_directories(path_ / name); }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file under folder with its content, by relative path.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) files[std::filesystem::relative(it->path(), folder).string()] = readFile(it->path());
  }
  return files;
}

// Writes frames 48 kHz frames, frame i being sample(i), through a Track
// (HE-AAC, the recorder's own format); true when the writer completed and
// took every frame.
template <typename Sample>
inline bool writeAudio(const std::filesystem::path& file, int64_t frames, Sample sample) {
  auto track = Track::onFile("fixture", file);
  track->openWriter();
  auto buffer = PcmBuffer::make(mono48, 4800);
  if (!buffer) return false;
  for (int64_t done = 0; done < frames;) {
    uint32_t n = uint32_t(std::min<int64_t>(4800, frames - done));
    buffer->setFrameLength(n);
    float* out = buffer->floatData(0);
    for (uint32_t i = 0; i < n; ++i) out[i] = sample(done + i);
    track->write(*buffer);
    done += n;
  }
  Group group;
  track->finish(group);
  group.wait();
  return track->writerCompleted() && track->pts == frames;
}

// Writes seconds of a sine tone through a Track; true when the writer completed.
inline bool writeTone(const std::filesystem::path& file, double seconds, double frequency, float amplitude = 0.5f) {
  return writeAudio(file, int64_t(seconds * 48000), [&](int64_t i) {
    return amplitude * float(std::sin(2 * std::numbers::pi * frequency * double(i) / 48000));
  });
}

// The whole file decoded to 48 kHz mono; empty when it cannot be read. The
// reader's status at the end goes to *status when given.
inline std::vector<float> decodeAll(const std::filesystem::path& file, ReaderStatus* status = nullptr) {
  std::vector<float> samples;
  auto reader = AssetReader::make(file);
  if (!reader || !reader->startReading()) return samples;
  while (auto buffer = reader->copyNextSampleBuffer())
    samples.insert(samples.end(), buffer->floatData(0), buffer->floatData(0) + buffer->frameLength());
  if (status) *status = reader->status();
  return samples;
}

inline double seconds(const std::vector<float>& samples) { return double(samples.size()) / 48000; }

// An access unit of an encoded file: where its bytes are, and its place on
// the timeline in the stream's time base (48 kHz frames for the tracks' files).
struct AccessUnit {
  int64_t pos = 0;
  int size = 0;
  int64_t pts = 0, duration = 0;
};

inline std::vector<AccessUnit> accessUnits(const std::filesystem::path& file) {
  std::vector<AccessUnit> units;
  int index = -1;
  AVFormatContext* format = openContainer(file, index);
  if (!format) return units;
  AVPacket* packet = av_packet_alloc();
  while (packet && av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == index) units.push_back({packet->pos, packet->size, packet->pts, packet->duration});
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  return units;
}

// The index of the unit whose audio holds frame f (the last one when none does).
inline size_t unitAt(const std::vector<AccessUnit>& units, int64_t f) {
  for (size_t i = 0; i < units.size(); ++i)
    if (units[i].pts <= f && f < units[i].pts + units[i].duration) return i;
  return units.empty() ? 0 : units.size() - 1;
}

// Overwrites the bytes of those units of file with `fill`, or with noise when
// fill is 0, as a bad sector or a bit-rotted copy would.
inline void damageUnits(const std::filesystem::path& file, const std::vector<AccessUnit>& units,
                        const std::vector<size_t>& which, char fill) {
  std::string bytes = readFile(file);
  uint32_t noise = 12345;
  for (size_t u : which)
    for (int i = 0; i < units[u].size; ++i) {
      noise = noise * 1103515245u + 12345u;
      bytes[size_t(units[u].pos + i)] = fill ? fill : char(noise >> 16);
    }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// The frame of the largest magnitude in [from, to).
inline size_t peakBetween(const std::vector<float>& samples, size_t from, size_t to) {
  size_t peak = from;
  for (size_t i = from; i < std::min(to, samples.size()); ++i)
    if (std::fabs(samples[i]) > std::fabs(samples[peak])) peak = i;
  return peak;
}

// RMS of the samples; 0 for none.
inline double rms(std::span<const float> samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (float s : samples) sum += double(s) * s;
  return std::sqrt(sum / double(samples.size()));
}

// The frequency of a tone at rate, from its zero crossings; 0 for fewer than
// two samples.
inline double toneHz(std::span<const float> samples, double rate) {
  if (samples.size() < 2) return 0;
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i)
    if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  return crossings / 2.0 / (double(samples.size()) / rate);
}

// The 48 kHz samples between two times in seconds.
inline std::span<const float> between(const std::vector<float>& samples, double from, double to) {
  size_t a = size_t(from * 48000), b = std::min(samples.size(), size_t(to * 48000));
  if (a >= b) return {};
  return std::span<const float>(samples).subspan(a, b - a);
}

// RMS of the samples between two times in seconds.
inline double rmsBetween(const std::vector<float>& samples, double from, double to) {
  return rms(between(samples, from, to));
}

// The frequency of a tone between two times, from its zero crossings.
inline double toneBetween(const std::vector<float>& samples, double from, double to) {
  return toneHz(between(samples, from, to), 48000);
}

// The RMS level of the part of the samples between two times (seconds) that
// is a sine of that frequency (one bin of a Goertzel filter).
inline double toneLevel(const std::vector<float>& samples, double hz, double from, double to) {
  auto span = between(samples, from, to);
  if (span.empty()) return 0;
  double w = 2 * std::numbers::pi * hz / 48000, coeff = 2 * std::cos(w), s1 = 0, s2 = 0;
  for (float x : span) {
    double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return std::sqrt(std::max(0.0, power)) * 2 / double(span.size()) / std::sqrt(2.0);
}

// The level of a tone where it plays: the median of toneLevel over the 50 ms
// blocks between the two times. A player starved by a busy machine leaves
// holes in its own sound, which would lower a plain toneLevel.
inline double steadyToneLevel(const std::vector<float>& samples, double hz, double from, double to) {
  std::vector<double> levels;
  for (double at = from; at + 0.05 <= to + 1e-9; at += 0.05) levels.push_back(toneLevel(samples, hz, at, at + 0.05));
  if (levels.empty()) return 0;
  auto mid = levels.begin() + levels.size() / 2;
  std::nth_element(levels.begin(), mid, levels.end());
  return *mid;
}

}  // namespace lumeno::test
