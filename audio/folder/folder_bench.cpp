// Makes a long two-part recording with the project's own Track, for timing
// join and compact (scripts/bench-folder.sh).
//
//   folder-bench DIR MINUTES_PER_PART GAP_SECONDS
//
// Writes me.m4a and them.m4a (part 0), me.1.m4a and them.1.m4a (part 1,
// starting GAP_SECONDS after part 0 ends) and part.1.json. The audio is a
// slowly gliding tone with noise, so that the encoder has real work to do.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <random>
#include <string>

#include "audio/base/globals.h"
#include "audio/cli/start_up.h"
#include "tests/media_fixtures.h"

namespace {

bool writePart(const std::filesystem::path& file, int64_t frames, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  double phase = 0;
  return lumeno::test::writeAudio(file, frames, [&](int64_t frame) {
    double t = double(frame) / 48000;
    phase += 2 * std::numbers::pi * (300 + 200 * std::sin(t / 3)) / 48000;
    return 0.3f * float(std::sin(phase)) + noise(random);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: folder-bench DIR MINUTES_PER_PART GAP_SECONDS\n");
    return 2;
  }
  lumeno::startUp(argc, argv);
  std::filesystem::path dir = argv[1];
  double minutes = std::atof(argv[2]), gap = std::atof(argv[3]);
  std::filesystem::create_directories(dir);
  int64_t frames = int64_t(minutes * 60 * 48000);
  uint32_t seed = 1;
  for (std::string name : {"me", "them"}) {
    for (std::string file : {name + ".m4a", name + ".1.m4a"}) {
      if (!writePart(dir / file, frames, seed++)) {
        std::fprintf(stderr, "folder-bench: could not write %s\n", file.c_str());
        return 1;
      }
    }
  }
  std::ofstream(dir / "part.1.json") << "{\"startMs\": " << (minutes * 60 + gap) * 1000 << "}";
  return 0;
}
