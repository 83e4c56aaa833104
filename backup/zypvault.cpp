// zypvault: the rescue program for a user who can no longer open a session
// on the primary token: puts a saved key store back in place (software
// token), or unblocks a smart card with its unblocking code and a new PIN.
// No arguments; only dialogs and message boxes of its language module
// "ZYPVAULT". Exit code 0.
#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "backup/card_unblock.h"
#include "backup/store_copy.h"
#include "backup/store_dialog.h"
#include "platform/files.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace {

namespace ui = zyp::platform::ui;
using namespace zyp::backup;

constexpr uint32_t kRestoreDialog = 109;
constexpr uint32_t kSessionOpen = 19;
constexpr uint32_t kErrorBox = ui::kMbOk | ui::kMbIconError | ui::kMbTopmost;

// The installed store comes back from the chosen folder. No session is
// open (the program stops when one is), so none is closed or opened.
class VaultRestoreDialog final : public StoreDialog {
 public:
  explicit VaultRestoreDialog(const ZYPResourceModule* module) : StoreDialog(module, ui::kIdOk) {}

 private:
  void opening(ui::Window& window) override { window.set_text(kFolderEdit, backup_folder_setting("A:\\")); }
  void confirmed(ui::Window& window) override {
    std::string source = store_in_folder(window.text(kFolderEdit));
    if (!zyp::platform::file_exists(source)) message(&window, kErrorBox, kNoStoreInFolder, source);
    else if (restore_store(source, installed_store_path()) != RestoreResult::restored)
      message(&window, kErrorBox, kRestoreFailed, source);
    window.end(ui::kIdOk);
  }
};

std::string token_module_name() {
  char name[260] = {};
  ZYPGetProfileString("General", "SOFTTOK", "SOFTTOKP.DLL", name, sizeof name);
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper;
}

void show_session_open(const ZYPResourceModule* module) {
  char text[1024] = {};
  ZYPLoadString(module, text, sizeof text, kSessionOpen);
  char product[260] = {};
  ZYPGetProductName(product, sizeof product);
  ui::host().message_box(text, product, kErrorBox);
}

}  // namespace

int main() {
  std::unique_ptr<ZYPResourceModule, decltype(&ZYPFreeResource)> module(ZYPLoadResource("ZYPVAULT"), ZYPFreeResource);
  constexpr int kPrimaryToken = -1;
  if (ZYPGetSessionState(kPrimaryToken) == 0) {
    show_session_open(module.get());
    return 0;
  }
  std::string token_module = token_module_name();
  if (token_module.find("SOFTTOKP.DLL") != std::string::npos) {
    VaultRestoreDialog restore(module.get());
    restore.run(kRestoreDialog);
  }
  if (token_module.find("SOFTTOKS.DLL") != std::string::npos) unblock_card(module.get());
  return 0;
}
