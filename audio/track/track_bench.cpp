// Throughput of the append path against the FDK encoder alone, and of the
// reader, as multiples of real time (the "x_realtime" counter).
#include <benchmark/benchmark.h>

#include <fdk-aac/aacenc_lib.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "audio/base/globals.h"
#include "audio/cli/start_up.h"
#include "audio/platform/reader.h"
#include "audio/track/track.h"

namespace lumeno {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t bufferFrames = 4800;  // 100 ms, as the microphone delivers
constexpr int seconds = 60;

PcmBuffer speechLike(uint32_t offset) {
  auto b = PcmBuffer::make(mono48, bufferFrames);
  b->setFrameLength(bufferFrames);
  for (uint32_t i = 0; i < bufferFrames; ++i) {
    double t = double(offset + i) / 48000;
    b->floatData(0)[i] = float(0.3 * std::sin(2 * M_PI * 220 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) +
                               0.05 * std::sin(2 * M_PI * 3100 * t));
  }
  return *b;
}

fs::path benchFile(const char* name) { return fs::temp_directory_path() / name; }

void report(benchmark::State& state) {
  state.counters["x_realtime"] =
      benchmark::Counter(double(seconds) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// One minute of 48 kHz mono through Track::append, encoding included.
void appendPath(benchmark::State& state, bool heard) {
  std::vector<PcmBuffer> buffers;
  for (uint32_t at = 0; at < 48000 * seconds; at += bufferFrames) buffers.push_back(speechLike(at));
  for (auto _ : state) {
    auto track = Track::onFile("me", benchFile("lumeno_bench_track.m4a"));
    track->stream = false;
    track->openWriter();
    // Program time 0 is now, so the arrival anchor pads no silence ahead.
    startedHost = hostNow();
    double ms = 0;
    for (const PcmBuffer& b : buffers) {
      if (heard)
        track->append(b, ms);
      else
        track->append(b);
      ms += 100;
    }
    Group group;
    track->finish(group);
    group.wait();
  }
  report(state);
}

void BM_AppendWithHeardTime(benchmark::State& state) { appendPath(state, true); }
void BM_AppendWithoutHeardTime(benchmark::State& state) { appendPath(state, false); }

// The same minute through the FDK encoder alone, with the track's settings.
void BM_EncoderAlone(benchmark::State& state) {
  std::vector<INT_PCM> pcm(size_t(48000) * seconds);
  for (uint32_t at = 0; at < pcm.size(); at += bufferFrames) {
    PcmBuffer b = speechLike(at);
    for (uint32_t i = 0; i < bufferFrames; ++i) pcm[at + i] = INT_PCM(std::lrint(b.floatData(0)[i] * 32767));
  }
  std::vector<uint8_t> out(8192);
  for (auto _ : state) {
    HANDLE_AACENCODER h = nullptr;
    aacEncOpen(&h, 0, 1);
    aacEncoder_SetParam(h, AACENC_AOT, 5);
    aacEncoder_SetParam(h, AACENC_SAMPLERATE, 48000);
    aacEncoder_SetParam(h, AACENC_CHANNELMODE, MODE_1);
    aacEncoder_SetParam(h, AACENC_BITRATE, 16000);
    aacEncoder_SetParam(h, AACENC_TRANSMUX, TT_MP4_RAW);
    aacEncoder_SetParam(h, AACENC_SIGNALING_MODE, 2);
    aacEncEncode(h, nullptr, nullptr, nullptr, nullptr);
    AACENC_InfoStruct info{};
    aacEncInfo(h, &info);
    size_t bytes = 0;
    for (size_t at = 0; at + info.frameLength <= pcm.size(); at += info.frameLength) {
      void* inPtr = pcm.data() + at;
      void* outPtr = out.data();
      INT inId = IN_AUDIO_DATA, inSize = INT(info.frameLength * sizeof(INT_PCM)), inEl = sizeof(INT_PCM);
      INT outId = OUT_BITSTREAM_DATA, outSize = INT(out.size()), outEl = 1;
      AACENC_BufDesc in{1, &inPtr, &inId, &inSize, &inEl}, ob{1, &outPtr, &outId, &outSize, &outEl};
      AACENC_InArgs ia{};
      AACENC_OutArgs oa{};
      ia.numInSamples = INT(info.frameLength);
      aacEncEncode(h, &in, &ob, &ia, &oa);
      bytes += size_t(oa.numOutBytes);
    }
    benchmark::DoNotOptimize(bytes);
    aacEncClose(&h);
  }
  report(state);
}

// Decoding one minute of a track's file to 48 kHz mono.
void BM_ReaderDecode(benchmark::State& state) {
  fs::path file = benchFile("lumeno_bench_reader.m4a");
  {
    auto track = Track::onFile("me", file);
    track->stream = false;
    track->openWriter();
    for (uint32_t at = 0; at < 48000 * seconds; at += bufferFrames) track->append(speechLike(at), at / 48.0);
    Group group;
    track->finish(group);
    group.wait();
  }
  for (auto _ : state) {
    auto reader = AssetReader::make(file);
    reader->startReading();
    int64_t frames = 0;
    while (auto b = reader->copyNextSampleBuffer()) frames += b->frameLength();
    benchmark::DoNotOptimize(frames);
  }
  fs::remove(file);
  report(state);
}

BENCHMARK(BM_EncoderAlone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppendWithHeardTime)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppendWithoutHeardTime)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace lumeno

int main(int argc, char** argv) {
  lumeno::startUp(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
