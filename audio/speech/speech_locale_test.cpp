#include "audio/speech/speech_locale.h"

#include <gtest/gtest.h>

namespace lumeno {
namespace {

std::vector<Locale> locales(const std::vector<std::string>& ids) {
  std::vector<Locale> out;
  for (const auto& id : ids) out.push_back(Locale::fromIdentifier(id));
  return out;
}

TEST(SpeechLocale, MatchesWholeIdentifierThenLanguageAndRegionThenLanguage) {
  struct Case {
    std::string requested;
    std::vector<std::string> candidates;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"en-US", {"de-DE", "en-GB", "en-US"}, "en-US"},
      {"EN_us", {"en-GB", "en-US"}, "en-US"},         // case and separator do not matter
      {"en-NZ", {"en-US", "en-GB"}, "en-GB"},         // language only: the smaller identifier
      {"de", {"de-DE", "de-CH"}, "de-CH"},
      {"fr-CA", {"en-US"}, std::nullopt},
      {"fr", {"fr-FR", "fr-CA"}, "fr-CA"},
      {"zh-Hant-TW", {"zh-CN", "zh-TW"}, "zh-TW"},    // language and region
      {"", {"en-US"}, std::nullopt},                  // no language code
      {"123", {"en-US"}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto got = speechLocale(c.requested, locales(c.candidates));
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.requested;
    if (got) {
      EXPECT_EQ(got->bcp47, *c.want) << c.requested;
    }
  }
}

TEST(SpeechLocale, ReadsIdentifiersIntoBcp47) {
  struct Case {
    std::string identifier, bcp47;
    std::optional<std::string> language, region;
  };
  const Case cases[] = {
      {"en_US", "en-US", "en", "US"},
      {"EN-us", "en-US", "en", "US"},
      {"de", "de", "de", std::nullopt},
      {"zh_hant_tw", "zh-Hant-TW", "zh", "TW"},
      {"es-419", "es-419", "es", "419"},
  };
  for (const auto& c : cases) {
    Locale l = Locale::fromIdentifier(c.identifier);
    EXPECT_EQ(l.bcp47, c.bcp47);
    EXPECT_EQ(l.languageCode, c.language);
    EXPECT_EQ(l.region, c.region);
  }
}

}  // namespace
}  // namespace lumeno
