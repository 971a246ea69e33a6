// The encoded-file writer: HE-AAC in a fragmented MPEG-4 audio file.
//
// A writer is made for one file, gets one audio input with its output
// settings, starts writing, takes 48 kHz mono float buffers and runs of
// silence at consecutive frame positions, and finishes asynchronously. The
// Track drives it from its one serial context; the real writer encodes,
// muxes and syncs on a thread of its own, where the completion of
// finishWriting() also runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "audio/platform/pcm_buffer.h"

namespace lumeno {

// Four-character format codes, as unsigned 32-bit numbers.
inline constexpr uint32_t formatMPEG4AAC = 0x61616320;     // 'aac ' (AAC-LC), 1633772320
inline constexpr uint32_t formatMPEG4AAC_HE = 0x61616368;  // 'aach' (HE-AAC), 1633772392
inline constexpr uint32_t formatMPEG4AAC_HE_V2 = 0x61616370;  // 'aacp' (HE-AAC v2)
inline constexpr uint32_t formatLinearPCM = 0x6c70636d;    // 'lpcm'

enum class WriterStatus { unknown, writing, completed, failed, cancelled };

// The four output settings of the audio input.
struct OutputSettings {
  uint32_t formatID = 0;  // formatMPEG4AAC_HE for the tracks
  int sampleRate = 0;     // encoder rate in Hz
  uint32_t channels = 0;
  int bitRate = 0;        // bits per second
};

// The writer's single audio input, called from the context that drives the
// writer.
class WriterInput {
 public:
  virtual ~WriterInput() = default;
  // Whether append() would take a buffer now.
  virtual bool isReadyForMoreMediaData() const = 0;
  // Takes a mono48 buffer whose first frame is presented at 48 kHz frame
  // `pts`. Frames must follow each other without gaps (pts == frames taken so
  // far). False when refused: not writing (an encoder or file error fails
  // the writer), wrong format, gap, or not ready. The caller may reuse the
  // buffer as soon as append() returns.
  virtual bool append(const PcmBuffer& buffer, int64_t pts) = 0;
  // Takes `frames` frames of digital silence at `pts`, as append() of zero
  // buffers would, and returns how many it took (0 when refused). This one
  // appends zero buffers of at most 4,800 frames while the input is ready;
  // the real writer queues the whole run as a count instead.
  virtual int64_t appendSilence(int64_t frames, int64_t pts);
  // No more buffers will come.
  virtual void markAsFinished() = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Seconds of audio per movie fragment; set before startWriting().
  virtual void setMovieFragmentInterval(double seconds) = 0;
  virtual double movieFragmentInterval() const = 0;
  // Whether the encoder accepts these settings (asked before addInput).
  virtual bool canApply(const OutputSettings& settings) = 0;
  // Adds the audio input with these settings; null when it cannot be added.
  // The writer owns the input.
  virtual WriterInput* addInput(const OutputSettings& settings) = 0;
  // Writes the file header; status becomes writing. False with errorDescription().
  virtual bool startWriting() = 0;
  // Encodes what is still queued, flushes the encoder and closes the file off
  // the caller's thread, then calls completion there, as its last action.
  // Status ends completed or failed. Called once.
  virtual void finishWriting(std::function<void()> completion) = 0;
  // Abandons the file (status cancelled), dropping what is still queued; the
  // caller deletes it.
  virtual void cancelWriting() = 0;
  // Readable from any thread.
  virtual WriterStatus status() const = 0;
  // Empty when there is no error.
  virtual std::string errorDescription() const = 0;
};

// Makes a writer for a file; null when the file cannot be created.
using WriterFactory = std::function<std::unique_ptr<Writer>(const std::filesystem::path& file)>;

// The real writer: FDK AAC encoder into FFmpeg's .m4a muxer ("ipod"),
// fragmented (empty moov, one moof+mdat per fragment interval of audio,
// each synced to disk), encoder priming compensated by an edit list so that
// frame f appended is frame f decoded, and the padding of the encoder's last
// frame cut by the duration of the last sample, so that a file of N frames
// appended decodes to N frames.
//
// Its input only queues: append() copies the buffer and appendSilence()
// records a count, so an hour of silence costs the caller one call. One
// encoder thread per writer, started by startWriting(), encodes, muxes and
// syncs. The input stops being ready while a minute of audio waits to be
// encoded, which holds a faster-than-real-time feeder back.
std::unique_ptr<Writer> makeFileWriter(const std::filesystem::path& file);

}  // namespace lumeno
