// Fixtures for the folder tools' tests, on top of the shared media fixtures.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "tests/media_fixtures.h"

namespace lumeno::test {

// The contents of the links in folder/"original", by the part file's name.
inline std::multimap<std::string, std::string> originals(const std::filesystem::path& folder) {
  std::multimap<std::string, std::string> links;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder / "original", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    links.emplace(name.size() > 37 ? name.substr(37) : name, readFile(it->path()));
  }
  return links;
}

}  // namespace lumeno::test
