// Fuzz target: part file names and part metadata. The first line of the
// input is a file name, the rest the content of a part metadata file. Names
// read as a part give that part back through the name the recorder writes;
// metadata gives a number or nothing; a folder holding both lists its parts
// without failing.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "audio/folder/parts.h"
#include "tests/fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumeno;
  using fuzz::check;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t eol = input.find('\n');
  std::string name(input.substr(0, eol));
  std::string_view content = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);

  if (auto n = metadataPartOf(name)) check(*n >= 1 && partMetadataFile("", *n).string() == name);
  for (const char* source : trackNames)
    if (auto n = partNumberOf(name, source)) check(*n >= 1);

  static const std::filesystem::path dir = fuzz::scratchFolder() / "folder";
  std::error_code ec;
  // A fresh folder for every input: nothing carries over from the last one.
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directory(dir, ec);
  std::ofstream(dir / "part.1.json", std::ios::binary) << content;
  std::ofstream(dir / "me.1.m4a");
  // A name with a slash or NUL is not a name in a folder.
  bool plain = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
               name.find('\0') == std::string::npos && name.size() < 256;
  if (plain) std::ofstream(dir / name, std::ios::binary) << content;

  (void)partStartMs(dir / "part.1.json");
  for (const char* source : trackNames) {
    auto parts = partsOf(source, dir);
    for (size_t i = 1; i < parts.size(); ++i) check(parts[i - 1].part <= parts[i].part);
  }
  check(nextFreePart(dir) >= 2);
  return 0;
}
