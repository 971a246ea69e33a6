// Fuzz target: the encoded-file reader and the audio file on any bytes. The
// input is written to a file and decoded to its end; whatever comes out is
// 48 kHz mono and the reader ends completed or failed.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "audio/platform/audio_file.h"
#include "audio/platform/reader.h"
#include "tests/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumeno;
  using fuzz::check;
  static const std::filesystem::path file = fuzz::scratchFolder() / "input.m4a";
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), std::streamsize(size));

  if (auto reader = AssetReader::make(file); reader && reader->startReading()) {
    while (auto buffer = reader->copyNextSampleBuffer()) check(buffer->format().sampleRate == 48000);
    check(reader->status() == ReaderStatus::completed || reader->status() == ReaderStatus::failed);
    check(reader->replacedMs() >= 0);
  }
  if (auto audio = AudioFile::openForReading(file)) {
    auto buffer = PcmBuffer::make(audio->processingFormat(), 4800);
    check(bool(buffer));
    while (audio->read(*buffer) && buffer->frameLength() > 0) {
    }
    check(audio->replacedMs() >= 0);
  }
  return 0;
}
