// Speech locales: a locale identifier in its BCP 47 form and its language
// and region, and the matching that every speech entry point uses to pick an
// available model for the locale asked for.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumeno {

struct Locale {
  // Reads an identifier as written on a command line: "en-US", "en_us",
  // "EN_us" name the same locale.
  static Locale fromIdentifier(const std::string& identifier);

  std::string bcp47;                        // "en-US"
  std::optional<std::string> languageCode;  // "en"
  std::optional<std::string> region;        // "US"
};

// The candidate that serves the requested identifier best, or none: the
// whole identifier (case ignored), else language and region, else language
// alone; among equal candidates the smallest BCP 47 identifier.
std::optional<Locale> speechLocale(const std::string& identifier, const std::vector<Locale>& candidates);

}  // namespace lumeno
