// One audio source's encoded file and its timeline, plus its 16 kHz stream
// and level.
//
// A track takes mono float buffers of any rate, keeps its file aligned to the
// program clock by writing silence over gaps (`pts` counts 48 kHz frames
// written; frame f is program time f / 48 ms), encodes 48 kHz mono into the
// file and sends the same audio at 16 kHz as "pcm" events in 100 ms chunks.
//
// A track has no lock: every call and every field access comes from one
// serial context (the recorder's work queue, or a folder tool's one thread).
// The writer encodes and syncs on its own thread, so a write or a long pad
// only queues work there; its completion in finish() runs on that thread
// too, and touches nothing of the track.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/platform/converter.h"
#include "audio/platform/dispatch.h"
#include "audio/platform/pcm_buffer.h"
#include "audio/platform/writer.h"

namespace lumeno {

class Track {
 public:
  // The 16 kHz buffer and the program time (ms) of its first sample.
  using Pcm16Callback = std::function<void(const PcmBuffer& buffer, double startMs)>;

  // The recorder's track of a part: dir / name + ".m4a" for part 0, else
  // dir / name + "." + part + ".m4a"; fresh only for part 0.
  static std::shared_ptr<Track> inDir(const std::string& name, const std::filesystem::path& dir, int64_t partNumber,
                                      WriterFactory writerFactory = makeFileWriter);
  // A track on an explicit file, always fresh (join, compact, the probes).
  static std::shared_ptr<Track> onFile(const std::string& name, const std::filesystem::path& file,
                                       WriterFactory writerFactory = makeFileWriter);

  Track(std::string name, std::filesystem::path url, bool fresh, WriterFactory writerFactory = makeFileWriter);
  Track(const Track&) = delete;
  Track& operator=(const Track&) = delete;

  // Starts the encoded file: HE-AAC mono 16 kbit/s at 48000 Hz, else 32000 Hz.
  // Called once, before the first buffer. On failure it logs and leaves
  // writer and input empty; the stream and levels go on, file writes do nothing.
  void openWriter();
  // The capture path: a mono float buffer at the source rate, with the program
  // time of its first sample when the source knows it.
  void append(const PcmBuffer& buffer, std::optional<double> heardMs = std::nullopt);
  // Appends a mono48 buffer to the file at pts; pts grows by its frame length
  // only when the writer took it. Waits up to 1 s for a busy writer, then
  // logs the buffer as dropped.
  void write(const PcmBuffer& buffer);
  // Hands silence up to target to the writer as a count (see
  // WriterInput::appendSilence), waiting for a busy writer as write() does;
  // pts grows by what the writer took, and padding stops as soon as it
  // takes nothing.
  void padTo(int64_t target);
  // Sends the first n pending samples as one "pcm" event (when stream is set).
  void emit(int64_t n);
  // emit() of everything pending.
  void flushPending();
  // flushPending(), then forget baseMs: the next append re-anchors.
  void resync();
  // The level since the last call in 0...1 (RMS dB mapped from -60...0 dB);
  // resets the accumulators.
  double level();
  // Closes the file; enters group while the writer finishes. A track that
  // never wrote a frame leaves no file.
  void finish(Group& group);
  // Abandons the file and deletes it.
  void cancel();
  // True when a writer exists and its status is completed.
  bool writerCompleted() const;
  // Waits up to 1 s, in 5 ms steps, for the input to be ready; false when it
  // still is not. Needs an input.
  bool waitForWriter();

  const std::string name;
  const std::filesystem::path url;
  std::unique_ptr<Writer> writer;
  WriterInput* input = nullptr;  // owned by writer
  std::unique_ptr<Converter> conv16;
  std::unique_ptr<Converter> conv48;
  double srcRate = 0;  // 0: no valid converters
  std::optional<PcmBuffer> out16, out48;  // the converters' output, reused from one append to the next
  int64_t pts = 0;     // 48 kHz frames written to the file
  std::optional<double> baseMs;
  int64_t sentSince = 0;
  std::vector<float> pending;
  std::optional<double> lastHeardEnd;
  double sumSq = 0;
  int64_t count = 0;
  bool stream = true;
  const bool fresh;
  Pcm16Callback onPcm16;
  const WriterFactory writerFactory;
};

}  // namespace lumeno
