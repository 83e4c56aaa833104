// libzypsaver: the key store backup and restore dialogs.
#include <optional>
#include <string>
#include <thread>

#include "backup/store_copy.h"
#include "backup/store_dialog.h"
#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsaver.h"
#include "zyp/zypsess.h"

namespace zyp::backup {
namespace {

using platform::guarded;

enum StoreKind : int { kInstalled = 0, kKeyDisk = 1, kCard = 2 };
enum SaverDialog : uint32_t { kBackupDialog = 107, kAutoBackupDialog = 108, kRestoreDialog = 109, kCloneDialog = 110 };
constexpr uint32_t kCardToken = 2;
constexpr uint32_t kUnreachable = 16;

constexpr uint32_t kError = ui::kMbOk | ui::kMbIconError;
constexpr uint32_t kInformation = ui::kMbOk | ui::kMbIconInformation;
constexpr uint32_t kQuestion = ui::kMbYesNo | ui::kMbIconQuestion | ui::kMbDefButton2;

ZYPResourceModule* resources = nullptr;

__attribute__((constructor)) void load_resources() { resources = ZYPLoadResource("ZYPSAVER"); }
__attribute__((destructor)) void free_resources() {
  ZYPFreeResource(resources);
  resources = nullptr;
}

const char* default_folder(int kind) { return kind == kInstalled ? "A:\\" : "C:\\"; }

bool on_key_disk(const std::string& folder) {
  auto key_disk = platform::key_disk_folder();
  return key_disk && same_path(folder_path(folder), *key_disk);
}

// Backup and restore dialogs: the folder field shows the backup folder setting.
class FolderDialog : public StoreDialog {
 public:
  explicit FolderDialog(int kind, int cancel_result = ui::kIdCancel)
      : StoreDialog(resources, cancel_result), kind_(kind) {}

 protected:
  void opening(ui::Window& window) override { window.set_text(kFolderEdit, backup_folder_setting(default_folder(kind_))); }

  // Copies `source` to the folder's store, asking before it replaces one.
  // False when the user went back to the dialog.
  bool back_up(ui::Window& window, const std::string& source, const std::string& target, bool target_on_key_disk) {
    BackupResult result = write_backup(source, target, false);
    if (result == BackupResult::target_exists) {
      if (message(&window, kQuestion, kOverwriteQuestion, target) != ui::kIdYes) {
        if (kind_ == kKeyDisk) {
          if (target_on_key_disk) message(&window, kInformation, kKeyDiskUsed);
          message(&window, kInformation, kBackupDone);
        }
        return false;
      }
      result = write_backup(source, target, true);
    }
    if (result != BackupResult::written) {
      message(&window, kError, kBackupFailed, target);
      return false;
    }
    return true;
  }

  // Replaces `target` by `source`; the session is closed while it happens,
  // because the token writes back the store it has open.
  void restore(ui::Window& window, const std::string& source, const std::string& target, const std::string& shown) {
    int closed = ZYPCloseTokenSession();
    if (closed != 0 && closed != kUnreachable) {
      message(&window, kError, kRestoreFailed, shown);
      return;
    }
    if (restore_store(source, target) == RestoreResult::restored) message(&window, kInformation, kRestoreDone);
    else message(&window, kError, kRestoreFailed, shown);
    ZYPOpenTokenSession();
  }

  const int kind_;
};

// While a key-disk dialog is open, taking the key disk out of the drive
// must not end the session.
class KeyDiskPresenceOff {
 public:
  void begin() {
    saved_ = ZYPGetCheckPresence();
    ZYPSetCheckPresence(0);
  }
  void end() {
    if (saved_) ZYPSetCheckPresence(*saved_);
    saved_.reset();
  }

 private:
  std::optional<uint32_t> saved_;
};

class InstalledKeyBackupDialog final : public FolderDialog {
 public:
  InstalledKeyBackupDialog() : FolderDialog(kInstalled) {}

 private:
  void confirmed(ui::Window& window) override {
    std::string folder = window.text(kFolderEdit);
    ZYPWriteUSProfileString("General", "KeyBackupPath", folder.c_str());
    if (back_up(window, installed_store_path(), store_in_folder(folder), false)) {
      message(&window, kInformation, kBackupDone);
      window.end(ui::kIdOk);
    }
  }
};

class FloppyKeyBackupDialog final : public FolderDialog {
 public:
  FloppyKeyBackupDialog() : FolderDialog(kKeyDisk) {}

 private:
  // The key disk is read once, before the user may swap disks.
  void opening(ui::Window& window) override {
    presence_.begin();
    FolderDialog::opening(window);
    auto key_disk_store = key_disk_store_path();
    auto temporary = platform::temp_file_name(platform::temp_dir(), "ZYP");
    if (temporary) temporary_ = *temporary;
    read_key_disk_ = key_disk_store && temporary && platform::copy_file(*key_disk_store, *temporary, false);
  }
  void closing() override {
    presence_.end();
    if (!temporary_.empty()) platform::delete_file(temporary_);
  }
  void confirmed(ui::Window& window) override {
    std::string folder = window.text(kFolderEdit);
    ZYPWriteUSProfileString("General", "KeyBackupPath", folder.c_str());
    std::string target = store_in_folder(folder);
    bool to_key_disk = on_key_disk(folder);
    if (to_key_disk) message(&window, kInformation, kKeyDiskUsedNext);
    // A key disk that could not be read gives no backup, rather than an empty one.
    if (!read_key_disk_) {
      message(&window, kError, kBackupFailed, target);
      return;
    }
    if (!back_up(window, temporary_, target, to_key_disk)) return;
    if (to_key_disk) message(&window, kInformation, kKeyDiskUsed);
    message(&window, kInformation, kBackupDone);
    window.end(ui::kIdOk);
  }

  KeyDiskPresenceOff presence_;
  std::string temporary_;
  bool read_key_disk_ = false;
};

class CardCloneDialog final : public StoreDialog {
 public:
  CardCloneDialog() : StoreDialog(resources, ui::kIdCancel) {}

 private:
  bool has_folder() const override { return false; }
  void confirmed(ui::Window& window) override { window.end(ui::kIdOk); }
};

class InstalledKeyRestoreDialog final : public FolderDialog {
 public:
  InstalledKeyRestoreDialog() : FolderDialog(kInstalled) {}

 private:
  void confirmed(ui::Window& window) override {
    std::string source = store_in_folder(window.text(kFolderEdit));
    if (!platform::file_exists(source)) {
      message(&window, kError, kNoStoreInFolder, source);
    } else {
      restore(window, source, installed_store_path(), source);
    }
    window.end(ui::kIdOk);
  }
};

class FloppyKeyRestoreDialog final : public FolderDialog {
 public:
  FloppyKeyRestoreDialog() : FolderDialog(kKeyDisk) {}

 private:
  void opening(ui::Window& window) override {
    presence_.begin();
    FolderDialog::opening(window);
  }
  void closing() override {
    presence_.end();
    if (!temporary_.empty()) platform::delete_file(temporary_);
  }
  void confirmed(ui::Window& window) override {
    std::string folder = window.text(kFolderEdit);
    std::string source = store_in_folder(folder);
    bool from_key_disk = on_key_disk(folder);
    if (from_key_disk) message(&window, kInformation, kKeyDiskUsedNext);
    auto target = key_disk_store_path();
    if (!platform::file_exists(source) || !target) {
      message(&window, kError, kNoStoreInFolder, source);
      window.end(ui::kIdOk);
      return;
    }
    // The saved store is read before the key disk goes back into the drive.
    auto temporary = platform::temp_file_name(platform::temp_dir(), "ZYP");
    if (temporary) temporary_ = *temporary;
    bool copied = temporary && platform::copy_file(source, temporary_, false);
    if (from_key_disk) message(nullptr, kInformation, kKeyDiskUsed);
    if (copied) restore(window, temporary_, *target, source);
    else message(&window, kError, kRestoreFailed, source);
    window.end(ui::kIdOk);
  }

  KeyDiskPresenceOff presence_;
  std::string temporary_;
};

int backup_dialog(ui::Window* owner, uint32_t dialog) {
  int kind = ZYPGetPrimaryToken();
  if (kind == kInstalled) {
    InstalledKeyBackupDialog handler;
    handler.run(dialog, owner);
  } else if (kind == kKeyDisk) {
    FloppyKeyBackupDialog handler;
    handler.run(dialog, owner);
  }
  return kind;
}

void restore_dialog() {
  int kind = ZYPGetPrimaryToken();
  if (kind == kInstalled) {
    InstalledKeyRestoreDialog handler;
    handler.run(kRestoreDialog);
  } else if (kind == kKeyDisk) {
    FloppyKeyRestoreDialog handler;
    handler.run(kRestoreDialog);
  }
}

}  // namespace
}  // namespace zyp::backup

using namespace zyp::backup;

ZYP_API int ZYPBackupKey(ZYPWindow* owner) {
  return guarded(0, [&] {
    if (backup_dialog(zyp::tools::window_of(owner), kBackupDialog) == kCard) ZYPCIPCloneCard(kCardToken);
    return 0;
  });
}

ZYP_API int ZYPBackupKeyAuto(ZYPWindow* owner) {
  return guarded(0, [&] {
    if (backup_dialog(zyp::tools::window_of(owner), kAutoBackupDialog) == kCard) {
      CardCloneDialog confirm;
      if (confirm.run(kCloneDialog, zyp::tools::window_of(owner)) == ui::kIdOk) ZYPCIPCloneCard(kCardToken);
    }
    return 0;
  });
}

// The restore dialog runs on a thread of its own; the caller waits for it.
ZYP_API int ZYPRestoreKey(ZYPWindow*) {
  return guarded(0, [] {
    std::thread restoring([] { guarded(0, [] {
      restore_dialog();
      return 0;
    }); });
    restoring.join();
    return 0;
  });
}

ZYP_API int ZYPIsBackupKeyAllowed(void) {
  int kind = ZYPGetPrimaryToken();
  return kind == kInstalled || kind == kKeyDisk || kind == kCard ? 0 : 1;
}

ZYP_API int ZYPIsRestoreKeyAllowed(void) { return ZYPGetPrimaryToken() == kInstalled ? 0 : 1; }

ZYP_API int ZYPIsKeyModificationAllowed(void) {
  constexpr uint32_t kNoUserValue = 0x80000000u;
  uint32_t options = ZYPGetUSProfileDWord("General", "Options", kNoUserValue);
  if (options == kNoUserValue) options = ZYPGetProfileDWord("General", "Options", 0);
  return static_cast<int>(options & 1);
}
