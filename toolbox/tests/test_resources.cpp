#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>

#include "platform/lang_module.h"
#include "testsupport/test_env.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zyptools.h"

namespace {

using zyp::platform::language_module_of;
using zyp::tools::testing::read_file;
using zyp::tools::testing::write_file;
namespace fs = std::filesystem;

void set_language(const char* code) {
  setenv("ZYP_LANG", code, 1);
  ZYPReloadConfig();
}

// A private resource folder holding `modules` (file name -> text).
std::string resource_folder_with(const std::map<std::string, std::string>& modules) {
  std::string folder = zyp::testing::make_temp_folder("resources");
  for (const auto& [name, text] : modules) write_file(fs::path(folder) / name, text);
  setenv("ZYP_RESOURCE_DIR", folder.c_str(), 1);
  return folder;
}

// The text of string 1 of the module that ZYPLoadResource finds, or "<none>".
std::string loaded(const char* stem) {
  ZYPResourceModule* module = ZYPLoadResource(stem);
  if (!module) return "<none>";
  char text[64];
  EXPECT_EQ(ZYPLoadString(module, text, sizeof text, 1), 0);
  ZYPFreeResource(module);
  return text;
}

TEST(Resources, ShippedToolboxModuleHasItsWindowsAndPicture) {
  unsetenv("ZYP_RESOURCE_DIR");  // found from the library's folder, as when installed
  set_language("ENU");
  ZYPResourceModule* handle = ZYPLoadResource("ZYPres");
  ASSERT_NE(handle, nullptr);
  const zyp::platform::LanguageModule* module = language_module_of(handle);
  EXPECT_EQ(module->language, "ENU");

  const auto* about = module->dialog(101);
  ASSERT_NE(about, nullptr);
  for (uint32_t id : {1001u, 1002u, 1003u, 1005u, 1006u, 1u, 2u, 1024u})
    EXPECT_NE(about->control(id), nullptr) << "about box control " << id;
  const auto* progress = module->dialog(102);
  ASSERT_NE(progress, nullptr);
  for (uint32_t id : {1000u, 1001u, 2u, 1024u}) EXPECT_NE(progress->control(id), nullptr) << "progress control " << id;
  EXPECT_EQ(progress->control(1000)->kind, zyp::platform::ControlKind::Progress);

  std::string bitmap = module->picture_path("IDB_DEFAULTBITMAP");
  ASSERT_FALSE(bitmap.empty());
  EXPECT_EQ(read_file(bitmap).substr(0, 2), "BM");
  ZYPFreeResource(handle);
}

TEST(Resources, LanguageFallsBackToEnglish) {
  resource_folder_with({{"ZYPTEST.ENU", "string 1 \"English\"\n"},
                        {"ZYPTEST.FRA", "string 1 \"Francais\"\n"},
                        {"BROKEN.FRA", "string one \"faulty\"\n"},
                        {"BROKEN.ENU", "string 1 \"English for broken\"\n"},
                        {"FRONLY.FRA", "string 1 \"only French\"\n"}});
  struct Case {
    const char* language;
    const char* stem;
    const char* found;
  };
  const Case cases[] = {
      {"FRA", "ZYPTEST", "Francais"},
      {"DEU", "ZYPTEST", "English"},
      {"ENU", "ZYPTEST", "English"},
      {"FRA", "BROKEN", "English for broken"},  // a module that does not parse counts as missing
      {"DEU", "FRONLY", "<none>"},
      {"FRA", "MISSING", "<none>"},
      {"FRA", "", "<none>"},
      {"FRA", "../ZYPTEST", "<none>"},
  };
  for (const Case& c : cases) {
    set_language(c.language);
    EXPECT_EQ(loaded(c.stem), c.found) << c.language << " " << c.stem;
  }
  EXPECT_EQ(ZYPLoadResource(nullptr), nullptr);
  ZYPFreeResource(nullptr);
}

TEST(Resources, LoadStringFormatsAndCuts) {
  resource_folder_with({{"STR.ENU",
                         "string 1 \"%s holds %d keys\"\n"
                         "string 2 \"\"\n"
                         "string 3 \"100%% %.1f\"\n"}});
  set_language("ENU");
  ZYPResourceModule* module = ZYPLoadResource("STR");
  ASSERT_NE(module, nullptr);

  char text[64];
  EXPECT_EQ(ZYPLoadString(module, text, sizeof text, 1, "The store", 3), 0);
  EXPECT_STREQ(text, "The store holds 3 keys");
  EXPECT_EQ(ZYPLoadString(module, text, 6, 1, "The store", 3), 0);
  EXPECT_STREQ(text, "The s");
  EXPECT_EQ(ZYPLoadString(module, text, 1, 1, "x", 1), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ZYPLoadString(module, text, sizeof text, 2), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ZYPLoadString(module, text, sizeof text, 3), 0);
  EXPECT_STREQ(text, "100% %.1f");

  std::strcpy(text, "old");
  EXPECT_EQ(ZYPLoadString(module, text, sizeof text, 99), 1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ZYPLoadString(module, nullptr, 10, 1), 1);
  std::strcpy(text, "old");
  EXPECT_EQ(ZYPLoadString(module, text, 0, 1), 1);
  EXPECT_STREQ(text, "old");
  EXPECT_EQ(ZYPLoadString(nullptr, text, sizeof text, 1), 1);
  ZYPFreeResource(module);
}

TEST(Resources, LoadStringStopsAtTheScratchText) {
  resource_folder_with({{"LONG.ENU", "string 1 \"%s\"\n"}});
  set_language("ENU");
  ZYPResourceModule* module = ZYPLoadResource("LONG");
  ASSERT_NE(module, nullptr);
  std::string argument(6000, 'x');
  std::string text(8000, '#');
  EXPECT_EQ(ZYPLoadString(module, text.data(), static_cast<int>(text.size()), 1, argument.c_str()), 0);
  EXPECT_EQ(std::strlen(text.c_str()), 4095u);
  ZYPFreeResource(module);
}

TEST(Resources, HelpPathFallsBackToEnglish) {
  std::string folder = zyp::testing::make_temp_folder("help");
  write_file(fs::path(folder) / "ZYPTASK.FRA", "aide");
  struct Case {
    const char* language;
    std::string folder;
    const char* stem;
    std::string path;
  };
  const Case cases[] = {
      {"FRA", folder, "ZYPTASK", folder + "/ZYPTASK.FRA"},
      {"FRA", folder + "/", "ZYPTASK", folder + "/ZYPTASK.FRA"},
      {"DEU", folder, "ZYPTASK", folder + "/ZYPTASK.ENU"},
      {"FRA", folder, "ZYPFILE", folder + "/ZYPFILE.ENU"},
  };
  for (const Case& c : cases) {
    set_language(c.language);
    char buffer[260] = {};
    std::strcpy(buffer, c.folder.c_str());
    EXPECT_EQ(ZYPGetHelpPath(c.stem, buffer), 0);
    EXPECT_EQ(std::string(buffer), c.path) << c.language << " " << c.folder;
  }
}

TEST(Resources, HelpPathRefusals) {
  char empty[260] = {};
  EXPECT_EQ(ZYPGetHelpPath("ZYPTASK", empty), 1);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(ZYPGetHelpPath(nullptr, empty), 1);
  EXPECT_EQ(ZYPGetHelpPath("ZYPTASK", nullptr), 1);

  char nearly_full[260];
  std::string folder(250, 'f');
  std::strcpy(nearly_full, folder.c_str());
  EXPECT_EQ(ZYPGetHelpPath("ZYPTASK", nearly_full), 1);  // would need 263 bytes
  EXPECT_EQ(std::string(nearly_full), folder);

  char unterminated[260];
  std::memset(unterminated, 'u', sizeof unterminated);
  EXPECT_EQ(ZYPGetHelpPath("ZYPTASK", unterminated), 1);
}

}  // namespace
