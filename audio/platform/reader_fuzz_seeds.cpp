// Not a fuzz target: writes the reader fuzz target's seeds into a folder.
// Files the tracks' writer makes (a tone, a click on silence, a long pause),
// each also cut short at several points and with bits flipped, as a killed
// writer or a damaged disk would leave them.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "audio/cli/start_up.h"
#include "tests/media_fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: reader_fuzz_seeds FOLDER\n");
    return 1;
  }
  lumeno::startUp(argc, argv);
  namespace fs = std::filesystem;
  fs::path out = argv[1];
  fs::create_directories(out);
  lumeno::test::Folder scratch;
  struct Seed {
    const char* name;
    int64_t frames;
    float (*sample)(int64_t);
  };
  const Seed seeds[] = {
      {"tone", 24000, [](int64_t i) { return 0.5f * float(std::sin(double(i) * 0.0576)); }},
      {"click", 12000, [](int64_t i) { return i == 4800 ? 0.9f : 0.0f; }},
      {"short", 1000, [](int64_t i) { return 0.2f * float(std::sin(double(i) * 0.2)); }},
  };
  for (const auto& seed : seeds) {
    fs::path file = scratch / (std::string(seed.name) + ".m4a");
    if (!lumeno::test::writeAudio(file, seed.frames, seed.sample)) {
      std::fprintf(stderr, "reader_fuzz_seeds: the writer failed on %s\n", seed.name);
      return 1;
    }
    std::string bytes = lumeno::test::readFile(file);
    auto put = [&](const std::string& name, const std::string& content) {
      std::ofstream(out / (std::string(seed.name) + "-" + name), std::ios::binary) << content;
    };
    put("whole", bytes);
    for (int cut : {3, 5, 7, 9}) put("cut" + std::to_string(cut), bytes.substr(0, bytes.size() * size_t(cut) / 10));
    uint32_t noise = 2463534242u;
    for (int flips : {1, 8, 64}) {
      std::string flipped = bytes;
      for (int i = 0; i < flips; ++i) {
        noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
        flipped[noise % flipped.size()] ^= char(1 << (noise >> 29));
      }
      put("flip" + std::to_string(flips), flipped);
    }
  }
  return 0;
}
