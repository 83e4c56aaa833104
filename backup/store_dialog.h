#pragma once
// What every dialog of the key backup library and the rescue program does:
// the picture area animated while it lives, the folder field (1020) with its
// browse button (1019), OK and Cancel, and message boxes captioned with the
// product name whose texts come from the deliverable's language module.
#include <cstdint>
#include <string>

#include "platform/ui/ui.h"
#include "zyp/zyptools.h"

namespace zyp::backup {

namespace ui = platform::ui;

enum StoreDialogControl : uint32_t {
  kOkButton = 1,
  kCancelButton = 2,
  kBrowseButton = 1019,
  kFolderEdit = 1020,
  kPictureArea = 1024,
};

enum StoreDialogString : uint32_t {
  kBrowseTitle = 15,
  kRestoreFailed = 16,
  kBackupFailed = 17,
  kNoStoreInFolder = 18,
  kOverwriteQuestion = 19,
  kBackupDone = 23,
  kRestoreDone = 24,
  kKeyDiskUsedNext = 25,
  kKeyDiskUsed = 26,
};

// The "General"/"KeyBackupPath" folder: the user's value, else the
// machine's with `machine_default`.
std::string backup_folder_setting(const char* machine_default);

class StoreDialog : public ui::DialogHandler {
 public:
  StoreDialog(const ZYPResourceModule* module, int cancel_result) : module_(module), cancel_result_(cancel_result) {}

  void on_init(ui::Window& window) final;
  void on_paint(ui::Window& window) final;
  void on_destroy(ui::Window& window) final;
  void on_command(ui::Window& window, uint32_t control, uint32_t notification) final;

  // Runs `dialog` of the module with this handler: its result, or -1 when
  // the module or the dialog is missing.
  int run(uint32_t dialog, ui::Window* owner = nullptr);

 protected:
  virtual void opening(ui::Window& window) { (void)window; }
  virtual void closing() {}
  virtual void confirmed(ui::Window& window) = 0;
  // Whether the dialog has the folder field and its browse button.
  virtual bool has_folder() const { return true; }

  // A message box: string `id` of the module, formatted with `path`.
  int message(ui::Window* owner, uint32_t style, uint32_t id, const std::string& path = {}) const;
  std::string text(uint32_t id) const;

  const ZYPResourceModule* module_;

 private:
  void browse(ui::Window& window);

  int cancel_result_;
  ZYPAnimation* animation_ = nullptr;
};

}  // namespace zyp::backup
