#include "platform/lang_module.h"

#include <gtest/gtest.h>

#include "platform/atomic_file.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

constexpr char kModule[] =
    "# The toolbox's windows\r\n"
    "string 1 \"Quillmarsh Folder\"\r\n"
    "string 2 \"Copying \\\"%s\\\"\\n# not a comment\\t\\\\\"   # a comment\r\n"
    "\r\n"
    "dialog 102 \"Progress\" size 240 70\r\n"
    "  control 1000 progress \"\" at 10 30 220 10\r\n"
    "  control 65535 static \"File:\" at 10 10 30 10\r\n"
    "  control 65535 static \"Done:\" at 10 20 30 10\r\n"
    "  control 1001 edit \"\" at 40 10 190 10 password number limit 8 readonly\r\n"
    "  control 2 button \"Cancel\" at 95 50 50 14 default\r\n"
    "end\r\n"
    "dialog AboutEnu \"About\" size 10 20\n"
    "end\n"
    "menu 200\n"
    "  item 1001 \"&Open\" checked\n"
    "  separator\n"
    "  popup \"&More\" grayed\n"
    "    item 1002 \"&Details\"\n"
    "    popup \"Deeper\"\n"
    "      item 1003 \"Last\"\n"
    "    end\n"
    "  end\n"
    "  item 1004 \"After\"\n"
    "end\n"
    "bitmap IDB_DEFAULTBITMAP \"pictures/default.bmp\"\n"
    "icon 5 \"/usr/share/icons/x.ico\"";

TEST(LanguageModule, ParsesStringsDialogsMenusAndPictures) {
  std::string error;
  auto module = parse_language_module(kModule, &error);
  ASSERT_TRUE(module) << error;

  EXPECT_EQ(*module->string(1), "Quillmarsh Folder");
  EXPECT_EQ(*module->string(2), "Copying \"%s\"\n# not a comment\t\\");
  EXPECT_EQ(module->string(3), nullptr);

  const DialogTemplate* progress = module->dialog(102);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->caption, "Progress");
  EXPECT_EQ(progress->width, 240);
  EXPECT_EQ(progress->height, 70);
  ASSERT_EQ(progress->controls.size(), 5u);
  EXPECT_EQ(progress->controls[0].kind, ControlKind::Progress);
  const ControlTemplate* edit = progress->control(1001);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->kind, ControlKind::Edit);
  EXPECT_EQ(edit->styles, kStylePassword | kStyleNumber | kStyleReadOnly);
  EXPECT_EQ(edit->limit, 8u);
  EXPECT_EQ(edit->position.x, 40);
  EXPECT_EQ(edit->position.width, 190);
  EXPECT_TRUE(progress->control(2)->has(kStyleDefault));
  EXPECT_EQ(progress->control(2)->text, "Cancel");

  // Names compare without regard to case.
  ASSERT_NE(module->dialog("ABOUTENU"), nullptr);
  EXPECT_EQ(module->dialog("aboutenu")->height, 20);
  EXPECT_EQ(module->dialog(101), nullptr);

  const MenuTemplate* menu = module->menu(200);
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->items.size(), 4u);
  EXPECT_EQ(menu->items[0].id, 1001u);
  EXPECT_TRUE(menu->items[0].checked);
  EXPECT_EQ(menu->items[1].kind, MenuItem::Kind::Separator);
  const MenuItem& more = menu->items[2];
  EXPECT_EQ(more.kind, MenuItem::Kind::Popup);
  EXPECT_TRUE(more.grayed);
  ASSERT_EQ(more.children.size(), 2u);
  ASSERT_EQ(more.children[1].children.size(), 1u);
  EXPECT_EQ(more.children[1].children[0].id, 1003u);
  EXPECT_EQ(menu->items[3].text, "After");

  ASSERT_NE(module->picture("idb_defaultbitmap"), nullptr);
  EXPECT_EQ(module->picture("IDB_DEFAULTBITMAP")->kind, PictureResource::Kind::Bitmap);
  EXPECT_EQ(module->picture(5)->kind, PictureResource::Kind::Icon);
}

TEST(LanguageModule, FaultyTextNamesTheLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"strin 1 \"x\"", "line 1: unknown statement strin"},
      {"string 1 x", "line 1: expected the string's text in double quotes"},
      {"string 1 \"x", "line 1: text without its closing quote"},
      {"string 1 \"a\\qb\"", "line 1: unknown escape \\q"},
      {"string 1 \"x\"y", "line 1: a blank must follow a quoted text"},
      {"string 65536 \"x\"", "line 1: expected a string number (0 to 65535), found 65536"},
      {"string -1 \"x\"", "line 1: expected a string number (0 to 65535), found -1"},
      {"string 1 \"x\" extra", "line 1: unexpected extra at the end of the line"},
      {"string 1 \"x\"\nstring 1 \"y\"", "line 2: string 1 given twice"},
      {"dialog 1 \"c\" size 1 1\nend\ndialog 1 \"d\" size 1 1\nend", "line 3: dialog #1 given twice"},
      {"dialog 1x \"c\" size 1 1\nend", "line 1: expected a resource number or name, found 1x"},
      {"dialog 1 \"c\" 1 1\nend", "line 1: expected size, found 1"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 slider \"\" at 0 0 1 1\nend", "line 2: unknown control kind slider"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 edit \"\" at 0 0 1 1 bold\nend", "line 2: unknown style word bold"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 edit \"\" at 0 0 1 1 limit\nend", "line 2: expected a character limit"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 edit \"\" at 0 0 1\nend", "line 2: expected the height"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 edit \"\" at 0 0 1 1\ncontrol 7 button \"\" at 0 0 1 1\nend",
       "line 3: control 7 given twice in one dialog"},
      {"dialog 1 \"c\" size 1 1\nstring 1 \"x\"\nend", "line 2: expected control or end, found string"},
      {"dialog 1 \"c\" size 1 1\ncontrol 7 edit \"\" at 0 0 1 1\n", "line 3: dialog #1 without its end"},
      {"menu M\nitem 1 \"a\"\npopup \"p\"\nitem 2 \"b\"\nend\n", "line 6: menu M without its end"},
      {"menu M\nitem 1 \"a\" bold\nend", "line 2: unknown menu flag bold"},
      {"menu M\nseparator x\nend", "line 2: unexpected x at the end of the line"},
      {"end", "line 1: unknown statement end"},
      {"bitmap B \"\"", "line 1: empty picture file name"},
      {"bitmap B \"a\"\nicon b \"c\"", "line 2: picture B given twice"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(parse_language_module(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(LanguageModule, EmptyTextIsAnEmptyModule) {
  auto module = parse_language_module("# nothing\n\n   \n");
  ASSERT_TRUE(module);
  EXPECT_TRUE(module->strings.empty());
  EXPECT_TRUE(module->dialogs.empty());
}

TEST(LanguageModule, LoadedFileKnowsItsLanguageAndPictureFolder) {
  std::string folder = testing::make_temp_folder("modules");
  std::string path = language_module_file(folder, "ZYPres", "FRA");
  EXPECT_EQ(path, folder + "/ZYPres.FRA");
  ASSERT_TRUE(write_file_atomically(path, kModule, 0644));

  std::string error;
  auto module = load_language_module(path, &error);
  ASSERT_TRUE(module) << error;
  EXPECT_EQ(module->language, "FRA");
  EXPECT_EQ(module->folder, folder);
  EXPECT_EQ(module->picture_path("IDB_DEFAULTBITMAP"), folder + "/pictures/default.bmp");
  EXPECT_EQ(module->picture_path(5), "/usr/share/icons/x.ico");
  EXPECT_EQ(module->picture_path("MISSING"), "");
}

TEST(LanguageModule, LoadReportsTheFileAndTheFault) {
  std::string folder = testing::make_temp_folder("modules");
  std::string error;
  EXPECT_FALSE(load_language_module(folder + "/NONE.ENU", &error));
  EXPECT_EQ(error, "cannot read " + folder + "/NONE.ENU");

  std::string bad = folder + "/BAD.ENU";
  ASSERT_TRUE(write_file_atomically(bad, "string 1 \"ok\"\nstring x \"no\"\n", 0644));
  EXPECT_FALSE(load_language_module(bad, &error));
  EXPECT_EQ(error, bad + ": line 2: expected a string number (0 to 65535), found x");
}

}  // namespace
}  // namespace zyp::platform
