// ZYPMsgBox and ZYPAbout: a message box from string resources and the about
// box of the suite's programs.
#include <cstdarg>
#include <optional>
#include <string>

#include "platform/export_guard.h"
#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "toolbox/config.h"
#include "toolbox/drawing.h"
#include "toolbox/format.h"
#include "toolbox/picture_files.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

namespace ui = platform::ui;

constexpr size_t kLongestText = 4095;  // a 4096-byte text buffer and its terminator
constexpr int kCentreOnDesktop = 2;

constexpr uint32_t kAboutDialog = 101;
constexpr char kBuiltInAbout[] = "ABOUTENU";
constexpr uint32_t kTitle = 1001;
constexpr uint32_t kVersionString = 1002;
constexpr uint32_t kCopyright = 1003;
constexpr uint32_t kIcon = 1005;
constexpr uint32_t kVersion = 1006;

// The about box that the library carries itself, for when its language
// module is missing or its dialog cannot be shown.
constexpr char kBuiltInModule[] = R"(
dialog ABOUTENU "About" size 220 120
  control 1024 picture "" at 8 8 48 48
  control 1005 icon "" at 64 8 20 20
  control 1001 static "" at 92 8 120 14
  control 1002 static "" at 92 26 120 10
  control 1006 static "" at 92 38 120 10
  control 1003 static "" at 64 62 148 24
  control 1 button "OK" at 106 98 50 14 default
  control 2 button "Cancel" at 162 98 50 14
end
)";

// Cut to `limit` bytes without splitting a UTF-8 character.
std::string cut_text(std::string text, size_t limit = kLongestText) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string module_string(const ZYPResourceModule* module, uint32_t id) {
  const platform::LanguageModule* resources = platform::language_module_of(module);
  const std::string* text = resources ? resources->string(id) : nullptr;
  return text ? *text : std::string();
}

int message_box(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t style, uint32_t caption_id,
                uint32_t text_id, va_list args) {
  std::string caption = caption_id == 0 ? std::string() : cut_text(module_string(module, caption_id));
  std::string format = module_string(module, text_id);
  std::string text = cut_text(format_text(format.c_str(), args));
  return ui::host().message_box(text, caption, style | ui::kMbSetForeground, window_of(owner));
}

struct AboutTexts {
  std::string title;
  std::string icon;  // the icon's file, empty when the module has none
  std::string version_string;
  std::string version;
  std::string copyright;
};

AboutTexts about_texts(const ZYPResourceModule* module, uint32_t icon_id, uint32_t text_id) {
  AboutTexts texts;
  Config config = current_config().value_or(Config{});
  texts.title = text_id == 0 ? std::string() : cut_text(module_string(module, text_id));
  if (texts.title.empty()) texts.title = config.app_title;
  texts.icon = module_picture(module, icon_id, platform::PictureResource::Kind::Icon);
  texts.version_string = config.version_string;
  texts.version = "V" + config.version;
  texts.copyright = config.copyright;
  return texts;
}

class AboutHandler final : public ui::DialogHandler {
 public:
  explicit AboutHandler(AboutTexts texts) : texts_(std::move(texts)) {}

  void on_init(ui::Window& window) override {
    if (!texts_.icon.empty()) window.set_picture(kIcon, texts_.icon);
    window.set_text(kTitle, texts_.title);
    window.set_text(kVersionString, texts_.version_string);
    window.set_text(kVersion, texts_.version);
    window.set_text(kCopyright, texts_.copyright);
    centre_window(window, kCentreOnDesktop);
  }
  void on_command(ui::Window& window, uint32_t control, uint32_t) override {
    if (control == ui::kIdOk || control == ui::kIdCancel) window.end(static_cast<int>(control));
  }

 private:
  AboutTexts texts_;
};

const platform::DialogTemplate* built_in_about() {
  static const std::optional<platform::LanguageModule> module = platform::parse_language_module(kBuiltInModule);
  return module ? module->dialog(kBuiltInAbout) : nullptr;
}

void about(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t icon_id, uint32_t text_id) {
  AboutHandler handler(about_texts(module, icon_id, text_id));
  const platform::LanguageModule* own = own_resources();
  const platform::DialogTemplate* dialog = own ? own->dialog(kAboutDialog) : nullptr;
  if (dialog && ui::host().run_dialog(*dialog, handler, window_of(owner)) != -1) return;
  if (const platform::DialogTemplate* fallback = built_in_about()) {
    ui::host().run_dialog(*fallback, handler, window_of(owner));
  }
}

}  // namespace
}  // namespace zyp::tools

ZYP_API int ZYPMsgBox(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t style, uint32_t captionId,
                      uint32_t textId, ...) {
  va_list args;
  va_start(args, textId);
  int button = zyp::platform::guarded(
      0, [&] { return zyp::tools::message_box(owner, module, style, captionId, textId, args); });
  va_end(args);
  return button;
}

ZYP_API void ZYPAbout(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t iconId, uint32_t textId) {
  zyp::platform::guarded(0, [&] {
    zyp::tools::about(owner, module, iconId, textId);
    return 0;
  });
}
