#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "zyp/zypprof.h"

namespace {

constexpr uint32_t kUnset = 0x80000000u;

TEST(ProfileStore, UserValueWinsOnlyThroughTheCallersTwoStepRead) {
  ASSERT_EQ(ZYPWriteProfileDWord("General", "SecureEraseCycle", 5), 1);
  // The store never merges scopes: the user read sees nothing yet.
  EXPECT_EQ(ZYPGetUSProfileDWord("General", "SecureEraseCycle", kUnset), kUnset);
  auto two_step = [] {
    uint32_t user = ZYPGetUSProfileDWord("General", "SecureEraseCycle", kUnset);
    return user != kUnset ? user : ZYPGetProfileDWord("General", "SecureEraseCycle", 3);
  };
  EXPECT_EQ(two_step(), 5u);
  ASSERT_EQ(ZYPWriteUSProfileDWord("General", "SecureEraseCycle", 7), 1);
  EXPECT_EQ(two_step(), 7u);
  EXPECT_EQ(ZYPGetProfileDWord("General", "SecureEraseCycle", 3), 5u);
  ASSERT_EQ(ZYPDelUSValue("General", "SecureEraseCycle"), 1);
  EXPECT_EQ(two_step(), 5u);
}

TEST(ProfileStore, StringsAreCutToTheBufferAndFallBackToTheDefault) {
  char buffer[8];
  EXPECT_EQ(ZYPGetProfileString("General", "InstallPath", "", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ZYPGetProfileString("General", "InstallPath", "C:\\", buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "C:\\");

  ASSERT_EQ(ZYPWriteUSProfileString("General", "KeyBackupPath", "/media/backup/keys"), 1);
  EXPECT_EQ(ZYPGetUSProfileString("General", "KeyBackupPath", "", buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "/media/");
  char wide[64];
  EXPECT_EQ(ZYPGetUSProfileString("General", "KeyBackupPath", "", wide, sizeof wide), 18);
  EXPECT_STREQ(wide, "/media/backup/keys");
}

TEST(ProfileStore, NullValueNameIsTheSectionsUnnamedValue) {
  ASSERT_EQ(ZYPWriteProfileString("Tokens", nullptr, "icons.dll,3"), 1);
  char buffer[32];
  EXPECT_EQ(ZYPGetProfileString("Tokens", nullptr, "", buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "icons.dll,3");
  EXPECT_EQ(ZYPGetProfileString("Tokens", "other", "", buffer, sizeof buffer), 0);
}

TEST(ProfileStore, IntegersReadWordsAndDecimalTexts) {
  ASSERT_EQ(ZYPWriteUSProfileInt("General", "ProgressBar", -2), 1);
  EXPECT_EQ(ZYPGetUSProfileInt("General", "ProgressBar", 1), -2);
  ASSERT_EQ(ZYPWriteUSProfileString("General", "Options", "12"), 1);
  EXPECT_EQ(ZYPGetUSProfileInt("General", "Options", 0), 12);
  ASSERT_EQ(ZYPWriteUSProfileString("General", "Options", "none"), 1);
  EXPECT_EQ(ZYPGetUSProfileInt("General", "Options", 9), 9);
}

TEST(ProfileStore, ByteBlockDefaultComesBackWhenAbsent) {
  unsigned char all_ff[9];
  std::memset(all_ff, 0xFF, sizeof all_ff);
  unsigned char colors[9] = {};
  EXPECT_EQ(ZYPGetUSProfileData("Visual", "PanelColors", all_ff, colors, sizeof colors), 0);
  EXPECT_EQ(std::memcmp(colors, all_ff, sizeof colors), 0);

  const unsigned char stored[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(ZYPWriteUSProfileData("Visual", "PanelColors", stored, sizeof stored), 1);
  EXPECT_EQ(ZYPGetUSProfileData("Visual", "PanelColors", all_ff, colors, sizeof colors), 1);
  EXPECT_EQ(std::memcmp(colors, stored, sizeof colors), 0);

  // A shorter stored block is completed from the default.
  ASSERT_EQ(ZYPWriteUSProfileData("Visual", "PanelColors", stored, 4), 1);
  EXPECT_EQ(ZYPGetUSProfileData("Visual", "PanelColors", all_ff, colors, sizeof colors), 1);
  const unsigned char expected[9] = {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(colors, expected, sizeof colors), 0);
}

TEST(ProfileStore, EnumerationReturnsEveryValueOfASection) {
  const char* paths[] = {"/home/a", "/home/b", "/srv/c", "/srv/d"};
  for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(ZYPWriteProfileDWord("Private\\NoEncryption", paths[i], i + 1), 1);
  std::set<std::string> seen;
  char name[260];
  uint32_t flags = 0;
  for (uint32_t index = 0; ZYPEnumProfileValue("Private\\NoEncryption", index, name, sizeof name, &flags, 4);
       ++index) {
    seen.insert(name);
    EXPECT_GE(flags, 1u);
  }
  EXPECT_EQ(seen, std::set<std::string>(std::begin(paths), std::end(paths)));
  EXPECT_EQ(ZYPEnumUSProfileValue("NoEncryption", 0, name, 256, &flags, 4), 0);
}

TEST(ProfileStore, EnumerationSurvivesValuesDeletedBetweenCalls) {
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(ZYPWriteUSProfileDWord("NoEncryption", ("/p" + std::to_string(i)).c_str(), 1), 1);
  char name[256];
  uint32_t flags = 0;
  int visited = 0;
  for (uint32_t index = 0; ZYPEnumUSProfileValue("NoEncryption", index, name, sizeof name, &flags, 4); ++index) {
    ++visited;
    ZYPDelUSValue("NoEncryption", name);
    ZYPWriteUSProfileDWord("NoEncryption", ("/added" + std::to_string(index)).c_str(), 2);
  }
  EXPECT_GT(visited, 0);
}

TEST(ProfileStore, NullPointersNeverCrash) {
  char buffer[16] = "x";
  EXPECT_EQ(ZYPGetProfileString(nullptr, "a", "", buffer, sizeof buffer), 0);
  EXPECT_EQ(ZYPGetProfileString("General", "a", "dflt", nullptr, 16), 0);
  EXPECT_EQ(ZYPGetUSProfileString("General", "a", nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(ZYPGetProfileInt(nullptr, "a", 42), 42);
  EXPECT_EQ(ZYPGetUSProfileDWord(nullptr, nullptr, 7u), 7u);
  EXPECT_EQ(ZYPGetProfileData("Visual", "x", nullptr, nullptr, 9), 0);
  EXPECT_EQ(ZYPGetProfileData(nullptr, "x", nullptr, buffer, 9), 0);
  EXPECT_EQ(ZYPWriteUSProfileString(nullptr, "a", "b"), 0);
  EXPECT_EQ(ZYPWriteUSProfileData("Visual", "x", nullptr, 4), 0);
  EXPECT_EQ(ZYPEnumProfileValue(nullptr, 0, buffer, sizeof buffer, nullptr, 4), 0);
  EXPECT_EQ(ZYPDelUSValue(nullptr, "a"), 0);
  EXPECT_EQ(ZYPGetProductName(nullptr, 64), 0);
}

TEST(ProfileStore, ProductNamesAreCutToTheCallersBuffer) {
  char name[255];
  EXPECT_EQ(ZYPGetProductName(name, sizeof name), 17);
  EXPECT_STREQ(name, "Quillmarsh Folder");
  char small[5];
  ZYPGetProductName(small, sizeof small);
  EXPECT_STREQ(small, "Quil");
  char short_name[20];
  ZYPGetShortProductName(short_name, sizeof short_name);
  EXPECT_STREQ(short_name, "Quillmarsh");
}

}  // namespace
