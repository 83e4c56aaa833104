// Message box, about box, the picture area of dialogs, ZYPDisplayBitmap and
// ZYPCenterWindow, through the script backend and windows of the test's own
// user-interface host.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "testsupport/ui_script.h"
#include "toolbox/tests/ui_resources.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace zyp::tools::testing {
namespace {

namespace ui = platform::ui;

constexpr char kCallerDialogs[] = R"(
dialog 300 "Sign in" size 200 100
  control 1024 picture "" at 8 8 32 32
  control 1 button "OK" at 40 80 50 14 default
end
dialog 310 "Small" size 200 100
end
dialog 311 "Owner" size 401 300
end
)";

platform::DialogTemplate caller_dialog(uint32_t id) {
  auto module = platform::parse_language_module(kCallerDialogs);
  return module ? *module->dialog(id) : platform::DialogTemplate{};
}

void set_general(const char* name, const std::string& value) {
  ASSERT_NE(ZYPWriteProfileString("General", name, value.c_str()), 0) << name;
}

// ---------------------------------------------------------------------------
// Message box

using MessageBox = zyp::testing::UiScriptTest;

TEST_F(MessageBox, CaptionAndFormattedTextComeFromTheModule) {
  TestResources resources;
  script("msgbox 6\n");
  EXPECT_EQ(ZYPMsgBox(nullptr, resources.module, 0x24, 10, 11, "old", 3), 6);
  EXPECT_TRUE(transcript_has("msgbox \"Quillmarsh Folder\" \"Delete old and its 3 files?\" style 0x10024 -> 6"));
}

TEST_F(MessageBox, MissingStringsAndCaptionZeroGiveEmptyTexts) {
  TestResources resources;
  const struct {
    uint32_t caption, text;
    const char* line;
  } cases[] = {
      {0, 10, "msgbox \"\" \"Quillmarsh Folder\" style 0x10000 -> 1"},
      {99, 10, "msgbox \"\" \"Quillmarsh Folder\" style 0x10000 -> 1"},
      {10, 98, "msgbox \"Quillmarsh Folder\" \"\" style 0x10000 -> 1"},
  };
  script("msgbox 1\nmsgbox 1\nmsgbox 1\n");
  for (const auto& c : cases) EXPECT_EQ(ZYPMsgBox(nullptr, resources.module, 0, c.caption, c.text), 1);
  auto boxes = transcript_lines("msgbox");
  ASSERT_EQ(boxes.size(), std::size(cases));
  for (size_t i = 0; i < boxes.size(); ++i) EXPECT_EQ(boxes[i], cases[i].line);
}

TEST_F(MessageBox, TextIsCutToItsBuffer) {
  TestResources resources;
  script("msgbox 1\n");
  std::string long_text(5000, 'a');
  EXPECT_EQ(ZYPMsgBox(nullptr, resources.module, 0, 0, 13, long_text.c_str()), 1);
  auto boxes = transcript_lines("msgbox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(std::count(boxes[0].begin(), boxes[0].end(), 'a'), 4095);
}

TEST_F(MessageBox, UnansweredBoxTakesItsDecliningAnswer) {
  TestResources resources;
  EXPECT_EQ(ZYPMsgBox(nullptr, resources.module, 0x24, 10, 11, "old", 3), 7);  // the script has no answer
  EXPECT_EQ(transcript_lines("mismatch msgbox").size(), 1u);
}

// ---------------------------------------------------------------------------
// About box

using AboutBox = zyp::testing::UiScriptTest;

TEST_F(AboutBox, ShowsTitleVersionCopyrightAndIcon) {
  TestResources resources;
  set_general("AppTitle", "Quillmarsh Folder");
  set_general("VersionString", "Personal Edition");
  set_general("Version", "2.1");
  set_general("Copyright", "(c) Quillmarsh");
  ZYPReloadConfig();
  const struct {
    uint32_t text_id;
    const char* button;
    const char* title;
  } cases[] = {
      {0, "1", "Quillmarsh Folder"},             // no text: the application title
      {12, "2", "Quillmarsh Folder Personal"},   // the module's string; Cancel closes too
      {99, "1", "Quillmarsh Folder"},            // a missing string counts as none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text_id);
    std::remove(transcript_.c_str());
    script(std::string("dialog 101 click ") + c.button + "\n");
    ZYPAbout(nullptr, resources.module, 101, c.text_id);
    EXPECT_EQ(transcript().front(), "dialog 101 open \"About\"");
    for (const std::string& line : {
             std::string("dialog 101 text 1001 \"") + c.title + "\"",
             std::string("dialog 101 text 1002 \"Personal Edition\""),
             std::string("dialog 101 text 1006 \"V2.1\""),
             std::string("dialog 101 text 1003 \"(c) Quillmarsh\""),
             "dialog 101 picture 1005 \"" + resources.path("app.ico") + "\"",
             std::string("dialog 101 end ") + c.button,
         }) {
      EXPECT_TRUE(transcript_has(line)) << line;
    }
  }
}

TEST_F(AboutBox, IconMissingFromTheModuleLeavesTheIconEmpty) {
  TestResources resources;
  script("dialog 101 click 1\n");
  ZYPAbout(nullptr, resources.module, 102, 10);
  EXPECT_TRUE(transcript_has("dialog 101 text 1001 \"Quillmarsh Folder\""));
  EXPECT_TRUE(transcript_lines("dialog 101 picture").empty());
}

// ---------------------------------------------------------------------------
// Picture area

class PictureArea : public zyp::testing::UiScriptTest {
 protected:
  std::string default_picture() const {
    ZYPResourceModule* own = ZYPLoadResource("ZYPres");
    std::string path = own ? platform::language_module_of(own)->picture_path("IDB_DEFAULTBITMAP") : "";
    ZYPFreeResource(own);
    return path;
  }

  TestResources resources_;
  std::unique_ptr<ui::Host> host_ = ui::make_host("none");
  platform::DialogTemplate sign_in_ = caller_dialog(300);
};

TEST_F(PictureArea, ShowsTheConfiguredClipOrPicture) {
  const std::string fallback = default_picture();
  ASSERT_FALSE(fallback.empty());
  const std::string clip = resources_.path("intro.avi");
  const std::string banner = resources_.path("banner.bmp");
  const struct {
    std::string animation, bitmap, shown;
  } cases[] = {
      {"", "", fallback},
      {clip, "", clip},
      {clip, banner, clip},  // a playing clip is not painted over
      {resources_.path("missing.avi"), "", fallback},
      {banner, "", fallback},  // not a clip
      {"", banner, banner},
      {"", resources_.path("missing.bmp"), fallback},
      {"", resources_.path("notes.txt"), fallback},
  };
  ui::DialogHandler handler;
  for (const auto& c : cases) {
    SCOPED_TRACE("Animation=" + c.animation + " Bitmap=" + c.bitmap);
    set_general("Animation", c.animation);
    set_general("Bitmap", c.bitmap);
    auto window = host_->create_window(sign_in_, handler);
    ASSERT_TRUE(window);
    ZYPWindow* dialog = window_handle(window.get());
    ZYPAnimation* animation = ZYPSetAnimation(dialog, nullptr, 1024);
    ASSERT_NE(animation, nullptr);
    ZYPAnimate(dialog, nullptr, 1024);
    EXPECT_EQ(window->picture(1024), c.shown);
    ZYPDeleteAnimation(animation);
    EXPECT_EQ(window->picture(1024), c.shown == clip ? std::string() : c.shown) << "deleting closes the clip only";
    window->destroy();
  }
}

TEST_F(PictureArea, ScriptTranscriptRecordsThePicture) {
  auto scripted = ui::make_host("script:" + script_, transcript_);
  script("dialog 300 click 1\n");
  struct Caller : ui::DialogHandler {
    ZYPAnimation* animation = nullptr;
    void on_init(ui::Window& w) override { animation = ZYPSetAnimation(window_handle(&w), nullptr, 1024); }
    void on_paint(ui::Window& w) override { ZYPAnimate(window_handle(&w), nullptr, 1024); }
    void on_command(ui::Window& w, uint32_t control, uint32_t) override { w.end(static_cast<int>(control)); }
    void on_destroy(ui::Window&) override { ZYPDeleteAnimation(animation); }
  } caller;
  EXPECT_EQ(scripted->run_dialog(sign_in_, caller), 1);
  EXPECT_TRUE(transcript_has("dialog 300 picture 1024 \"" + default_picture() + "\""));
}

TEST_F(PictureArea, NoAnimationWithoutDialogOrControl) {
  ui::DialogHandler handler;
  auto window = host_->create_window(sign_in_, handler);
  EXPECT_EQ(ZYPSetAnimation(nullptr, nullptr, 1024), nullptr);
  EXPECT_EQ(ZYPSetAnimation(window_handle(window.get()), nullptr, 4242), nullptr);
  ZYPAnimate(nullptr, nullptr, 1024);
  ZYPDeleteAnimation(nullptr);
  window->destroy();
}

TEST_F(PictureArea, DisplayBitmapShowsTheModulesBitmapOnTheWindow) {
  ui::DialogHandler handler;
  auto window = host_->create_window(sign_in_, handler);
  ZYPWindow* shown_on = window_handle(window.get());
  const struct {
    const ZYPResourceModule* module;
    uint32_t id;
    ZYPWindow* window;
    int result;
  } cases[] = {
      {resources_.module, 7, shown_on, 0},
      {resources_.module, 7, nullptr, 0},
      {resources_.module, 8, shown_on, 1},    // its file is missing
      {resources_.module, 9, shown_on, 1},    // its file is not a picture
      {resources_.module, 101, shown_on, 1},  // an icon, not a bitmap
      {resources_.module, 50, shown_on, 1},
      {nullptr, 7, shown_on, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    window->set_picture(0, "");
    EXPECT_EQ(ZYPDisplayBitmap(c.module, c.id, c.window, 5, 5), c.result);
    EXPECT_EQ(window->picture(0), c.result == 0 && c.window ? resources_.path("banner.bmp") : std::string());
  }
  window->destroy();
}

// ---------------------------------------------------------------------------
// The toolbox's own language modules

// The language modules of the build, beside the test programs.
std::string built_resource_folder() {
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  return program.substr(0, program.rfind('/')) + "/../share/zyp/resources";
}

void expect_same_resources(const platform::LanguageModule& english, const platform::LanguageModule& other) {
  for (const auto& [id, text] : english.strings) EXPECT_NE(other.string(id), nullptr) << "string " << id;
  for (const auto& [key, dialog] : english.dialogs) {
    SCOPED_TRACE(key);
    auto found = other.dialogs.find(key);
    ASSERT_NE(found, other.dialogs.end());
    EXPECT_NE(found->second.caption, dialog.caption) << "translated";
    ASSERT_EQ(found->second.controls.size(), dialog.controls.size());
    for (size_t i = 0; i < dialog.controls.size(); ++i) {
      EXPECT_EQ(found->second.controls[i].id, dialog.controls[i].id);
      EXPECT_EQ(found->second.controls[i].kind, dialog.controls[i].kind);
    }
  }
  for (const auto& [key, picture] : english.pictures) EXPECT_FALSE(other.picture_path(key).empty()) << key;
}

// Every translation of every module of the suite (ZYPres.FRA, ZYPPROV.FRA,
// ...) parses and has what the English module has.
TEST(OwnModules, EveryTranslationHasEveryStringDialogControlAndPictureOfEnglish) {
  std::set<std::string> translations;
  for (const auto& entry : std::filesystem::directory_iterator(built_resource_folder())) {
    std::string name = entry.path().filename().string();
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.substr(dot) == ".ENU" || name.size() - dot != 4) continue;
    std::string english_file = entry.path().parent_path().string() + "/" + name.substr(0, dot) + ".ENU";
    if (!std::filesystem::exists(english_file)) continue;
    SCOPED_TRACE(name);
    std::string error;
    auto english = platform::load_language_module(english_file, &error);
    ASSERT_TRUE(english) << error;
    auto other = platform::load_language_module(entry.path().string(), &error);
    ASSERT_TRUE(other) << error;
    expect_same_resources(*english, *other);
    translations.insert(name);
  }
  EXPECT_TRUE(translations.count("ZYPres.FRA"));
  EXPECT_TRUE(translations.count("ZYPPROV.FRA"));
}

// ---------------------------------------------------------------------------
// Centring

TEST(CenterWindow, OverTheOwnerOrOnTheDesktop) {
  auto host = ui::make_host("none");
  ui::DialogHandler handler;
  auto owner = host->create_window(caller_dialog(311), handler);       // 601 x 487 pixels
  ui::WindowOptions owned;
  owned.owner = owner.get();
  auto child = host->create_window(caller_dialog(310), handler, owned);  // 300 x 162 pixels
  auto lone = host->create_window(caller_dialog(310), handler);
  ASSERT_TRUE(owner && child && lone);
  ASSERT_EQ(child->rect().width, 300);
  ASSERT_EQ(child->rect().height, 162);
  ASSERT_EQ(owner->rect().width, 601);
  ASSERT_EQ(host->screen().width, 1024);
  ASSERT_EQ(host->screen().height, 768);

  const struct {
    ui::Window* window;
    int owner_x, owner_y, mode, x, y;
  } cases[] = {
      {child.get(), 100, 50, 1, 250, 212},    // over the owner: (801 / 2, 587 / 2) - (150, 81)
      {child.get(), -700, 10, 1, -549, 172},  // -799 / 2 is -399: integer division toward zero
      {child.get(), 100, 50, 2, 362, 303},    // mode 2: the desktop, whatever the owner
      {lone.get(), 0, 0, 1, 362, 303},        // mode 1 without an owner: the desktop
      {lone.get(), 0, 0, 3, 362, 175},        // mode 3: the centre at a third of the height
      {lone.get(), 0, 0, 0, 7, 9},            // mode 0 is outside the contract: left in place
      {lone.get(), 0, 0, -2, 7, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " owner at " << c.owner_x << "," << c.owner_y);
    owner->move_to(c.owner_x, c.owner_y);
    c.window->move_to(7, 9);
    EXPECT_EQ(ZYPCenterWindow(window_handle(c.window), c.mode), 0);
    EXPECT_EQ(c.window->rect().x, c.x);
    EXPECT_EQ(c.window->rect().y, c.y);
    EXPECT_EQ(c.window->rect().width, 300) << "the size is kept";
  }
  EXPECT_EQ(ZYPCenterWindow(nullptr, 1), 0);
  lone->destroy();
  owner->destroy();
}

}  // namespace
}  // namespace zyp::tools::testing
