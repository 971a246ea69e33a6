// speech-file LOCALE FILE [--live] [--break]: live transcription of an audio
// file, its "speech" events on standard output as a recording would send
// them.
//
// Plain, the file is fed in blocks of 16000 frames stamped with their place
// in the file. With --live it goes through a Track in capture-sized pieces,
// so that the transcription gets the track's 16 kHz stream exactly as while
// recording; --break then puts 100 ms of silence at time zero of the
// analyser's timeline 20 s into the file (audio that overlaps what the
// analyser has), and waits 2 s for the stop and restart that follow.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "audio/base/events.h"
#include "audio/base/globals.h"
#include "audio/cli/commands.h"
#include "audio/platform/audio_file.h"
#include "audio/platform/recogniser.h"
#include "audio/speech/live_speech.h"
#include "audio/track/pcm.h"
#include "audio/track/track.h"

namespace lumeno {

namespace {

void feedPlain(LiveSpeech& speech, AudioFile& file) {
  const AudioFormat& format = file.processingFormat();
  double ms = 0;
  for (;;) {
    auto block = PcmBuffer::make(format, 16000);
    if (!block || !file.read(*block) || block->frameLength() == 0) return;
    std::optional<PcmBuffer> converted;
    if (!(format.sampleRate == 16000 && format.channels == 1)) {
      // A converter of its own for every block: no resampling state carries over.
      if (auto converter = Converter::make(format, mono16)) converted = convert(*converter, *block);
    }
    speech.feed(converted ? *converted : *block, ms);
    ms += double(block->frameLength()) / format.sampleRate * 1000.0;
  }
}

void feedLive(const std::shared_ptr<LiveSpeech>& speech, AudioFile& file, const std::string& path, bool withBreak) {
  auto track = Track::onFile("them", std::filesystem::temp_directory_path() / "speech-file-live.m4a");
  track->stream = false;
  track->onPcm16 = [speech](const PcmBuffer& buffer, double ms) { speech->feed(buffer, ms); };

  auto whole = PcmBuffer::make(file.processingFormat(), uint32_t(std::max<int64_t>(file.length(), 1)));
  auto converter = Converter::make(file.processingFormat(), mono48);
  std::optional<PcmBuffer> audio;
  if (whole && file.read(*whole) && converter) audio = convert(*converter, *whole);
  if (!audio || audio->frameLength() == 0) fail("can't read " + path);

  const uint32_t total = audio->frameLength();
  bool broke = false;
  for (uint32_t offset = 0; offset < total; offset += 512) {
    uint32_t n = std::min<uint32_t>(512, total - offset);
    auto piece = PcmBuffer::make(mono48, n);
    if (!piece) break;
    piece->setFrameLength(n);
    std::memcpy(piece->floatData(0), audio->floatData(0) + offset, n * sizeof(float));
    track->append(*piece);
    if (withBreak && !broke && offset < 960000 && offset + n > 959999) {
      broke = true;
      auto silence = PcmBuffer::make(mono16, 1600);
      silence->setFrameLength(1600);
      std::fill_n(silence->floatData(0), 1600, 0.0f);
      speech->testOverlap(*silence);
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
  }
}

}  // namespace

void speechFileTask(const std::string& locale, const std::string& file, Semaphore& done) {
  bool live = hasFlag("--live"), withBreak = hasFlag("--break");
  std::thread([locale, file, live, withBreak, &done] {
    std::vector<Locale> installed;
    for (const auto& id : installedSpeechModels()) installed.push_back(Locale::fromIdentifier(id));
    auto matched = speechLocale(locale, installed);
    if (!matched) fail(locale + " is not installed");
    auto speech = std::make_shared<LiveSpeech>("them", *matched);
    if (!speech->start()) fail("speech did not start");
    auto audio = AudioFile::openForReading(file);
    if (!audio) fail("can't read " + file);
    if (live)
      feedLive(speech, *audio, file, withBreak);
    else
      feedPlain(*speech, *audio);
    speech->finish();
    done.signal();
  }).detach();
}

}  // namespace lumeno
