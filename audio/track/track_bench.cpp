// Throughput of the append path against the FDK encoder alone, and of the
// reader, as multiples of real time (the "x_realtime" counter); and what a
// long pad costs the caller and the writer's encoder thread.
#include <benchmark/benchmark.h>
#include <time.h>

#include <fdk-aac/aacenc_lib.h>

#include <chrono>
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

double cpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// One minute of 48 kHz mono through Track::append, encoding included (on
// the writer's thread, so the CPU time is the process's). "caller_ms" is the
// CPU time the appends took on the caller's thread, per minute of audio.
void appendPath(benchmark::State& state, bool heard) {
  std::vector<PcmBuffer> buffers;
  for (uint32_t at = 0; at < 48000 * seconds; at += bufferFrames) buffers.push_back(speechLike(at));
  double callerCpu = 0;
  for (auto _ : state) {
    auto track = Track::onFile("me", benchFile("lumeno_bench_track.m4a"));
    track->stream = false;
    track->openWriter();
    // Program time 0 is now, so the arrival anchor pads no silence ahead.
    startedHost = hostNow();
    double ms = 0;
    double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (const PcmBuffer& b : buffers) {
      if (heard)
        track->append(b, ms);
      else
        track->append(b);
      ms += 100;
    }
    callerCpu += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
    Group group;
    track->finish(group);
    group.wait();
  }
  report(state);
  state.counters["caller_ms"] = callerCpu * 1000 / double(state.iterations());
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

// A resume after an hour's pause: the time is the wall time padTo() takes on
// the caller's thread. "drain_s" is the wall time from the hand-over to the
// finished file, "drain_cpu_s" the process's CPU time meanwhile, nearly all
// of it the encoder thread's (the caller only waits).
void BM_PadOneHour(benchmark::State& state) {
  const int64_t hour = int64_t(3600) * 48000;
  double drainWall = 0, drainCpu = 0;
  for (auto _ : state) {
    auto track = Track::onFile("me", benchFile("lumeno_bench_pad.m4a"));
    track->stream = false;
    track->openWriter();
    double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    auto start = std::chrono::steady_clock::now();
    track->padTo(hour);
    auto handedOver = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(handedOver - start).count());
    Group group;
    track->finish(group);
    group.wait();
    drainWall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    drainCpu += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    if (!track->writerCompleted() || track->pts != hour) state.SkipWithError("the hour was not written");
  }
  fs::remove(benchFile("lumeno_bench_pad.m4a"));
  state.counters["drain_s"] = drainWall / double(state.iterations());
  state.counters["drain_cpu_s"] = drainCpu / double(state.iterations());
}

BENCHMARK(BM_EncoderAlone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AppendWithHeardTime)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_AppendWithoutHeardTime)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_ReaderDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
// Each iteration encodes an hour; two are enough.
BENCHMARK(BM_PadOneHour)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(2);

}  // namespace
}  // namespace lumeno

int main(int argc, char** argv) {
  lumeno::startUp(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
