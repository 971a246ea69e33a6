// What a recogniser model folder holds, for the model store and the engine.
// A model folder has an acoustic model (a folder with "mdef"), a
// pronunciation dictionary (*.dict) and a word language model (*.lm.bin,
// else *.lm or *.dmp; phone models are left out).
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lumeno {

inline const std::filesystem::path& packagedModelRoot() {
  static const std::filesystem::path root = "/usr/share/pocketsphinx/model";
  return root;
}

struct ModelFiles {
  std::filesystem::path acousticModel, dictionary, languageModel;
};

inline std::optional<ModelFiles> modelFiles(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  ModelFiles files;
  std::optional<fs::path> binaryLm, otherLm;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& p = it->path();
    std::string name = p.filename().string();
    auto endsWith = [&](const std::string& tail) {
      return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    std::error_code e;
    if (fs::is_directory(p, e) && fs::exists(p / "mdef", e)) {
      files.acousticModel = p;
    } else if (endsWith(".dict")) {
      files.dictionary = p;
    } else if (name.find("phone") == std::string::npos) {
      if (endsWith(".lm.bin")) binaryLm = p;
      else if (endsWith(".lm") || endsWith(".dmp") || endsWith(".DMP")) otherLm = p;
    }
  }
  files.languageModel = binaryLm ? *binaryLm : otherLm.value_or(fs::path());
  if (files.acousticModel.empty() || files.dictionary.empty() || files.languageModel.empty()) return std::nullopt;
  return files;
}

// The BCP 47 locale a model folder's name stands for ("en-us" gives "en-US");
// none for a name that is no locale.
inline std::optional<std::string> modelLocale(const std::string& name) {
  std::string out;
  size_t at = 0, piece = 0;
  while (at <= name.size()) {
    size_t end = name.find_first_of("-_", at);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(at, end - at);
    if (part.empty() || !std::all_of(part.begin(), part.end(), [](char c) { return std::isalnum(uint8_t(c)); }))
      return std::nullopt;
    bool alpha = std::all_of(part.begin(), part.end(), [](char c) { return std::isalpha(uint8_t(c)); });
    if (piece == 0 && (!alpha || part.size() < 2 || part.size() > 3)) return std::nullopt;
    for (char& c : part) c = char(std::tolower(uint8_t(c)));
    if (piece > 0 && part.size() == 2 && alpha)
      for (char& c : part) c = char(std::toupper(uint8_t(c)));
    out += (piece ? "-" : "") + part;
    ++piece;
    at = end + 1;
  }
  return out;
}

}  // namespace lumeno
