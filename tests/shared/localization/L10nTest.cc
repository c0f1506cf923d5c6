#include "shared/localization/L10n.h"

#include <gtest/gtest.h>

#include "shared/localization/Grapheme.h"
#include "shared/localization/InfoPlist.h"
#include "shared/localization/L10nCatalog.h"
#include "tests/support/TempDir.h"

namespace corvane {
namespace {

class L10nTest : public ::testing::Test {
 protected:
  ~L10nTest() override { L10n::resetForTesting(std::nullopt); }
};

TEST(L10nResolve, FirstChineseOrEnglishEntryDecides) {
  struct Case {
    std::vector<std::string> preferred;
    const char* language;
  };
  const Case cases[] = {
      {{"fr-FR", "en-GB", "zh-Hans-CN"}, "en"},
      {{"zh_TW"}, "zh-Hans"},
      {{"de"}, "zh-Hans"},
      {{}, "zh-Hans"},
      {{"EN"}, "en"},
      {{"ZH-hant", "en"}, "zh-Hans"},
      {{"english", "eng"}, "zh-Hans"},  // only "en" or "en-…" is English
      {{"en_US"}, "en"},
  };
  for (const Case& c : cases) EXPECT_EQ(L10n::resolve(c.preferred), c.language);
}

TEST_F(L10nTest, LanguageFollowsEnvironmentUntilOverridden) {
  testing::ScopedEnv language("LANGUAGE", "fr:en_GB"), all("LC_ALL", std::nullopt);
  EXPECT_EQ(L10n::language(), "en");
  L10n::resetForTesting("zh-Hans");
  EXPECT_EQ(L10n::language(), "zh-Hans");
  L10n::resetForTesting(std::nullopt);
  EXPECT_EQ(L10n::language(), "en");
}

TEST_F(L10nTest, LookupInBothLanguages) {
  struct Case {
    const char* key;
    const char* english;
    const char* chinese;
  };
  const Case cases[] = {
      {"共享文件夹", "Shared folder", "共享文件夹"},
      {"退出{appName}", "Quit Driftpin", "退出砾帆快传"},
      {"appName", "Driftpin", "砾帆快传"},
      {"{appName} 2", "Driftpin 2", "砾帆快传 2"},
      {"目录里没有的文字", "目录里没有的文字", "目录里没有的文字"},
  };
  for (const Case& c : cases) {
    L10n::resetForTesting("en");
    EXPECT_EQ(L10n::t(c.key), c.english) << c.key;
    L10n::resetForTesting("zh-Hans");
    EXPECT_EQ(L10n::t(c.key), c.chinese) << c.key;
    L10n::resetForTesting("fr");  // an override with no catalog reads as Chinese
    EXPECT_EQ(L10n::t(c.key), c.chinese) << c.key;
  }
}

TEST_F(L10nTest, PositionalArguments) {
  L10n::resetForTesting("en");
  EXPECT_EQ(L10n::t("错误: {0}", 42), "Error: 42");
  EXPECT_EQ(L10n::t("错误: {0}"), "Error: {0}") << "a placeholder without an argument stays";
  EXPECT_EQ(L10n::t("{0} 发来 {1} 个文件（{2}）", "Mac", 3, 1.5), "Mac sent 3 files (1.5)");
  EXPECT_EQ(L10n::t("错误: {0}", 2.0, "surplus"), "Error: 2.0");
  L10n::resetForTesting("zh-Hans");
  EXPECT_EQ(L10n::t("错误: {0}", 42), "错误: 42");
}

// The system finds the extension's names by these keys in this table.
static_assert(InfoPlist::cfbundleDisplayName == foundation::LocalizedStringResource{"CFBundleDisplayName", "InfoPlist"});
static_assert(InfoPlist::cfbundleName == foundation::LocalizedStringResource{"CFBundleName", "InfoPlist"});

TEST(L10nFormat, NumbersReadAsThePlatformDescribesThem) {
  const std::pair<double, const char*> rows[] = {
      {2.0, "2.0"},         {0.0, "0.0"},       {-0.0, "-0.0"},          {1.5, "1.5"},
      {100000.0, "100000.0"}, {0.0001, "0.0001"}, {0.00001, "1e-05"},     {-0.000012, "-1.2e-05"},
      {1e16, "10000000000000000.0"},           {0x1p54, "18014398509481984.0"},
      {0x1p54 + 4, "1.8014398509481988e+16"},  {1e100, "1e+100"},        {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
  };
  for (const auto& [value, text] : rows) EXPECT_EQ(L10n::stringify(value), text) << text;

  // A float is described by its own shortest digits, exponential past 2^24.
  const std::pair<float, const char*> floatRows[] = {
      {0.1f, "0.1"},       {1.5f, "1.5"},    {16777216.0f, "16777216.0"}, {16777218.0f, "1.6777218e+07"},
      {0.0001f, "0.0001"}, {1e-5f, "1e-05"},
  };
  for (const auto& [value, text] : floatRows) EXPECT_EQ(L10n::stringify(value), text) << text;

  // A character is itself, not its code.
  EXPECT_EQ(L10n::stringify('x'), "x");
  EXPECT_EQ(L10n::stringify(U'\u00e9'), "\u00e9");
  EXPECT_EQ(L10n::stringify(U'\U0001f4c2'), "\U0001f4c2");
  EXPECT_EQ(L10n::stringify(std::uint8_t{7}), "7") << "a byte is a number";
}

TEST(L10nFormat, ArgumentsApplyOneAfterAnother) {
  // Argument 0's own "{1}" is filled when argument 1 is processed; argument 1's "{0}" is not.
  EXPECT_EQ(L10n::format("{0}|{1}", {"a{1}", "b{0}"}), "ab{0}|b{0}");
  EXPECT_EQ(L10n::format("{0}{0}", {"{0}"}), "{0}{0}") << "replacement text is not rescanned";
  EXPECT_EQ(L10n::format("{10}{1}", {"x", "y"}), "{10}y");
}

TEST_F(L10nTest, NameAndMonogramFollowTheLanguage) {
  L10n::resetForTesting("en");
  EXPECT_EQ(L10n::appMonogram(), "D");
  L10n::resetForTesting("zh-Hans");
  EXPECT_EQ(L10n::appMonogram(), "砾");
  L10n::resetForTesting("fr");
  EXPECT_EQ(L10n::appName(), "砾帆快传");
}

TEST(Grapheme, FirstClusterKeepsWhatBelongsToIt) {
  struct Case {
    const char* text;
    const char* first;
  };
  const Case cases[] = {
      {"", ""},
      {"abc", "a"},
      {"e\u0301x", "e\u0301"},                             // combining accent
      {"\U0001F1E8\U0001F1F3!", "\U0001F1E8\U0001F1F3"},   // a flag is two indicators
      {"\U0001F44D\U0001F3FDok", "\U0001F44D\U0001F3FD"},  // skin-tone modifier
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467x", "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
      {"\r\nx", "\r\n"},
      {"\xff\xfe", "\xff"},  // malformed bytes still make progress
  };
  for (const Case& c : cases) EXPECT_EQ(firstGraphemeCluster(c.text), c.first) << c.text;
}

TEST(L10nCatalog, EmbeddedDocumentHoldsTellingMembers) {
  auto catalog = L10nCatalog::load();
  EXPECT_EQ(catalog.at("共享文件夹"), "Shared folder");
  EXPECT_EQ(catalog.at("共享"), "Share");
  EXPECT_EQ(catalog.at("{0} 发来 {1} 个文件（{2}）"), "{0} sent {1} files ({2})");
  EXPECT_EQ(catalog.at("{appName} 2"), "{appName} 2");
}

TEST(L10nCatalog, DamagedDocumentsLoadEmpty) {
  for (const char* document : {"", "{", "[]", R"({"a": 1})", R"({"a": "b", "c": null})", "\"text\""}) {
    EXPECT_TRUE(L10nCatalog::load(document).empty()) << document;
  }
}

}  // namespace
}  // namespace corvane
