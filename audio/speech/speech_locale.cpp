#include "audio/speech/speech_locale.h"

#include <algorithm>
#include <cctype>

namespace lumeno {

namespace {

bool allOf(const std::string& s, int (*test)(int)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [test](char c) { return test(uint8_t(c)) != 0; });
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(uint8_t(c)));
  return s;
}

}  // namespace

Locale Locale::fromIdentifier(const std::string& identifier) {
  Locale locale;
  std::vector<std::string> pieces;
  size_t at = 0;
  while (at <= identifier.size()) {
    size_t end = identifier.find_first_of("-_", at);
    if (end == std::string::npos) end = identifier.size();
    pieces.push_back(identifier.substr(at, end - at));
    at = end + 1;
  }
  size_t i = 0;
  if (!pieces.empty() && pieces[0].size() >= 2 && pieces[0].size() <= 3 && allOf(pieces[0], std::isalpha)) {
    locale.languageCode = lower(pieces[0]);
    locale.bcp47 = *locale.languageCode;
    i = 1;
  }
  for (; i < pieces.size(); ++i) {
    std::string p = pieces[i];
    if (p.empty()) continue;
    if (locale.languageCode && p.size() == 4 && allOf(p, std::isalpha)) {
      p = lower(p);
      p[0] = char(std::toupper(uint8_t(p[0])));  // script: "Hant"
    } else if (locale.languageCode && !locale.region &&
               ((p.size() == 2 && allOf(p, std::isalpha)) || (p.size() == 3 && allOf(p, std::isdigit)))) {
      p = upper(p);
      locale.region = p;
    } else {
      p = lower(p);
    }
    locale.bcp47 += (locale.bcp47.empty() ? "" : "-") + p;
  }
  return locale;
}

std::optional<Locale> speechLocale(const std::string& identifier, const std::vector<Locale>& candidates) {
  Locale wanted = Locale::fromIdentifier(identifier);
  std::vector<Locale> sorted = candidates;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Locale& a, const Locale& b) { return a.bcp47 < b.bcp47; });
  for (const Locale& c : sorted)
    if (lower(c.bcp47) == lower(wanted.bcp47)) return c;
  if (!wanted.languageCode) return std::nullopt;
  if (wanted.region) {
    for (const Locale& c : sorted)
      if (c.languageCode == wanted.languageCode && c.region == wanted.region) return c;
  }
  for (const Locale& c : sorted)
    if (c.languageCode == wanted.languageCode) return c;
  return std::nullopt;
}

}  // namespace lumeno
