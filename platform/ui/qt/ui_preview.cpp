// zypuipreview LANG [RESOURCE_FOLDER]: shows every dialog of the provider's
// and the toolbox's language modules in one language through the
// user-interface host, one after the other: the PIN dialog (after a wrong
// PIN), the token initialisation, PIN change and insertion dialogs, the
// question that offers the initialisation, the about box and the progress
// window. scripts/screenshots.sh runs it with the qt backend under a virtual
// display to take pictures of them; with ZYP_UI=tty it shows them on the
// terminal. Exit code 0 when every dialog could be made.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/lang_module.h"
#include "platform/modules.h"
#include "platform/ui/ui.h"

namespace {

using namespace zyp::platform;

constexpr uint32_t kPicture = 1024;
constexpr uint32_t kMessage = 6;
constexpr uint32_t kWrongPin = 6;
constexpr uint32_t kOfferInitialisation = 8;
constexpr uint32_t kProcessing = 2;
constexpr uint32_t kInsertionPrompt = 1028;
constexpr uint32_t kInsertToken = 7;
constexpr char kProduct[] = "Quillmarsh Folder";

std::string resource_folder(int argc, char** argv) {
  if (argc > 2) return argv[2];
  if (const char* folder = std::getenv("ZYP_RESOURCE_DIR")) return folder;
  return running_binary_folder().value_or(".") + "/../share/zyp/resources";
}

// Shows the default picture and the given texts; OK and Cancel end it.
struct PreviewHandler : ui::DialogHandler {
  std::string picture;
  std::vector<std::pair<uint32_t, std::string>> texts;
  void on_init(ui::Window& window) override {
    for (const auto& [control, text] : texts) window.set_text(control, text);
  }
  void on_paint(ui::Window& window) override {
    if (!picture.empty()) window.set_picture(kPicture, picture);
  }
  void on_command(ui::Window& window, uint32_t control, uint32_t) override {
    if (control == ui::kIdOk || control == ui::kCancelCommand) window.end(static_cast<int>(control));
  }
};

struct ProgressHandler : ui::DialogHandler {
  void on_command(ui::Window& window, uint32_t control, uint32_t) override {
    if (control == ui::kCancelCommand) window.destroy();
  }
};

std::string format(const std::string& pattern, const std::string& value) {
  std::string text = pattern;
  if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zypuipreview LANG [RESOURCE_FOLDER]\n");
    return 2;
  }
  const std::string language = argv[1];
  const std::string folder = resource_folder(argc, argv);
  std::string error;
  auto provider = load_language_module(language_module_file(folder, "ZYPPROV", language), &error);
  auto toolbox = provider ? load_language_module(language_module_file(folder, "ZYPres", language), &error)
                          : std::nullopt;
  if (!provider || !toolbox) {
    std::fprintf(stderr, "zypuipreview: %s\n", error.c_str());
    return 1;
  }
  ::setenv("ZYP_LANG", language.c_str(), 1);
  ui::Host& host = ui::host();
  const std::string picture = toolbox->picture_path("IDB_DEFAULTBITMAP");
  int failures = 0;
  auto show = [&](const LanguageModule& module, uint32_t number, std::vector<std::pair<uint32_t, std::string>> texts) {
    PreviewHandler handler;
    handler.picture = picture;
    handler.texts = std::move(texts);
    const DialogTemplate* dialog = module.dialog(number);
    if (!dialog || host.run_dialog(*dialog, handler) == -1) ++failures;
  };
  show(*provider, 129, {{kMessage, *provider->string(kWrongPin)}});
  show(*provider, 139, {});
  show(*provider, 105, {});
  show(*provider, 138, {{kInsertionPrompt, *provider->string(kInsertToken)}});
  host.message_box(*provider->string(kOfferInitialisation), kProduct,
                   ui::kMbYesNo | ui::kMbIconQuestion | ui::kMbDefButton2);
  show(*toolbox, 101, {{1001, kProduct}, {1002, "Version 1.0.0"}, {1006, format(*toolbox->string(3), "1.0")},
                       {1003, "Copyright (c) 2026 Quillmarsh"}});

  ProgressHandler progress;
  const DialogTemplate* dialog = toolbox->dialog(102);
  auto window = dialog ? host.create_window(*dialog, progress) : nullptr;
  if (!window) return 1;
  window->set_caption(*toolbox->string(1));
  window->set_text(1001, format(*toolbox->string(kProcessing), "/home/user/Documents/report-2026.odt"));
  window->set_progress(1000, 40);
  window->set_picture(kPicture, picture);
  // The window stays until its Cancel, or 30 seconds.
  for (int waited = 0; window->alive() && waited < 3000; ++waited) {
    if (!host.wait_event(10)) std::this_thread::sleep_for(std::chrono::milliseconds(0));
  }
  if (window->alive()) window->destroy();
  return failures == 0 ? 0 : 1;
}
