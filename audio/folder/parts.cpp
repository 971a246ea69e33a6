#include "audio/folder/parts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "audio/base/globals.h"

namespace lumeno {

namespace {

// The metadata driver writes {"startMs": X}; anything near this size is not ours.
constexpr off_t maxMetadataBytes = 1 << 20;

// The whole content of a regular file, read without blocking on a FIFO or
// device that happens to carry the name.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxMetadataBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
    if (static_cast<off_t>(text.size()) > maxMetadataBytes) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

std::filesystem::path partMetadataFile(const std::filesystem::path& folder, int64_t part) {
  return folder / ("part." + std::to_string(part) + ".json");
}

std::optional<double> partStartMs(const std::filesystem::path& metadataFile) {
  auto text = readSmallRegularFile(metadataFile);
  if (!text) return std::nullopt;
  auto document = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return std::nullopt;
  auto start = document.find("startMs");
  if (start == document.end() || !start->is_number()) return std::nullopt;
  return start->get<double>();
}

std::optional<int64_t> metadataPartOf(const std::string& fileName) {
  if (!fileName.starts_with("part.") || !fileName.ends_with(".json")) return std::nullopt;
  auto number = parseInteger(std::string_view(fileName).substr(5, fileName.size() - 10));
  if (!number || *number < 1 || fileName != partMetadataFile("", *number).string()) return std::nullopt;
  return number;
}

std::optional<int64_t> partNumberOf(const std::string& fileName, const std::string& name) {
  std::vector<std::string_view> pieces;
  std::string_view rest(fileName);
  while (!rest.empty()) {
    size_t dot = rest.find('.');
    std::string_view piece = rest.substr(0, dot);
    if (!piece.empty()) pieces.push_back(piece);
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (pieces.size() != 3 || pieces[0] != name || pieces[2] != "m4a") return std::nullopt;
  auto number = parseInteger(pieces[1]);
  if (!number || *number <= 0) return std::nullopt;
  return number;
}

std::vector<PartEntry> partsOf(const std::string& name, const std::filesystem::path& folder) {
  std::vector<PartEntry> entries;
  std::error_code ec;
  std::filesystem::path base = folder / (name + ".m4a");
  if (std::filesystem::exists(base, ec)) entries.push_back({0, base, 0.0});

  // A listing that fails part-way counts as no listing at all: a partial view
  // of the parts must never look like a complete one.
  std::vector<std::string> names;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    names.push_back(it->path().filename().string());
  if (ec) names.clear();

  for (const auto& fileName : names) {
    auto number = partNumberOf(fileName, name);
    if (!number) continue;
    double start = partStartMs(partMetadataFile(folder, *number)).value_or(std::nan(""));
    entries.push_back({*number, folder / fileName, start});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const PartEntry& a, const PartEntry& b) { return a.part < b.part; });
  return entries;
}

bool partHasAudio(const std::filesystem::path& folder, int64_t part) {
  for (const char* name : trackNames)
    for (const auto& entry : partsOf(name, folder))
      if (entry.part == part) return true;
  return false;
}

int64_t nextFreePart(const std::filesystem::path& folder) {
  int64_t highest = 0;
  for (const char* name : trackNames)
    for (const auto& entry : partsOf(name, folder)) highest = std::max(highest, entry.part);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    // part.N.json reads like a part file of a source named "part".
    std::string fileName = it->path().filename().string();
    if (fileName.size() > 5 && fileName.ends_with(".json"))
      if (auto n = partNumberOf(fileName.substr(0, fileName.size() - 5) + ".m4a", "part")) highest = std::max(highest, *n);
  }
  return highest == std::numeric_limits<int64_t>::max() ? highest : highest + 1;
}

}  // namespace lumeno
