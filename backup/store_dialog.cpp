#include "backup/store_dialog.h"

#include "platform/lang_module.h"
#include "zyp/zypprof.h"

namespace zyp::backup {
namespace {

constexpr int kPathSize = 260;
constexpr int kTextSize = 2048;

}  // namespace

std::string backup_folder_setting(const char* machine_default) {
  char folder[kPathSize] = {};
  ZYPGetUSProfileString("General", "KeyBackupPath", "", folder, sizeof folder);
  if (!folder[0]) ZYPGetProfileString("General", "KeyBackupPath", machine_default, folder, sizeof folder);
  return folder;
}

void StoreDialog::on_init(ui::Window& window) {
  animation_ = ZYPSetAnimation(tools::window_handle(&window), module_, kPictureArea);
  opening(window);
}

void StoreDialog::on_paint(ui::Window& window) { ZYPAnimate(tools::window_handle(&window), nullptr, kPictureArea); }

void StoreDialog::on_destroy(ui::Window&) {
  closing();
  ZYPDeleteAnimation(animation_);
  animation_ = nullptr;
}

void StoreDialog::on_command(ui::Window& window, uint32_t control, uint32_t notification) {
  if (notification != ui::kButtonClicked) return;
  if (control == kBrowseButton && has_folder()) browse(window);
  if (control == kOkButton) confirmed(window);
  if (control == kCancelButton) window.end(cancel_result_);
}

int StoreDialog::run(uint32_t dialog, ui::Window* owner) {
  const platform::LanguageModule* module = platform::language_module_of(module_);
  const platform::DialogTemplate* found = module ? module->dialog(dialog) : nullptr;
  if (!found) return -1;
  return ui::host().run_dialog(*found, *this, owner);
}

void StoreDialog::browse(ui::Window& window) {
  ui::ChooserOptions options;
  options.title = text(kBrowseTitle);
  options.initial = window.text(kFolderEdit);
  options.owner = &window;
  if (auto folder = ui::host().choose_folder(options)) window.set_text(kFolderEdit, *folder);
}

std::string StoreDialog::text(uint32_t id) const {
  char buffer[kTextSize] = {};
  ZYPLoadString(module_, buffer, sizeof buffer, id);
  return buffer;
}

int StoreDialog::message(ui::Window* owner, uint32_t style, uint32_t id, const std::string& path) const {
  char buffer[kTextSize] = {};
  ZYPLoadString(module_, buffer, sizeof buffer, id, path.c_str());
  char product[kPathSize] = {};
  ZYPGetProductName(product, sizeof product);
  return ui::host().message_box(buffer, product, style, owner);
}

}  // namespace zyp::backup
