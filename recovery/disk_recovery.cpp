#include "recovery/disk_recovery.h"

#include <memory>
#include <string>

#include "platform/drives.h"
#include "platform/ui/ui.h"
#include "recovery/file_key.h"
#include "recovery/shares.h"
#include "zyp/zypclient.h"
#include "zyp/zyphook.h"
#include "zyp/zyptools.h"

namespace zyp::recovery {
namespace {

namespace ui = platform::ui;

enum Text : uint32_t {
  kInsertDisk = 4,
  kCaption = 5,
  kDiskRead = 7,
  kFileTypeName = 10,
  kOpenTitle = 11,
  kLabelPrefix = 12,
  kRecovered = 13,
  kDiskUnreadable = 14,
  kRecoveryFailed = 18,
};

using Module = std::unique_ptr<ZYPResourceModule, decltype(&ZYPFreeResource)>;

std::string text(const ZYPResourceModule* module, uint32_t id) {
  char buffer[1024] = {};
  ZYPLoadString(module, buffer, sizeof buffer, id);
  return buffer;
}

// Presence checking stays off while disks are swapped in the drive that
// may hold the token's own disk; the profile's setting comes back at the end.
class PresenceCheckOff {
 public:
  PresenceCheckOff() { ZYPCIPSetCheckPresence(0); }
  ~PresenceCheckOff() { ZYPCIPReloadConfig(); }
  PresenceCheckOff(const PresenceCheckOff&) = delete;
  PresenceCheckOff& operator=(const PresenceCheckOff&) = delete;
};

std::optional<std::string> choose_file(const ZYPResourceModule* module) {
  ui::ChooserOptions options;
  options.title = text(module, kOpenTitle);
  options.filter = text(module, kFileTypeName) + "|*.*";
  ZYPSetAPICaller(1);
  auto chosen = ui::host().choose_open_file(options);
  ZYPSetAPICaller(0);
  return chosen;
}

// Reads k disks into `record`: the first disk says how many are needed.
bool read_disks(const ZYPResourceModule* module, RecordBytes& record, const DiskInserted& inserted) {
  uint32_t needed = 1;
  for (uint32_t number = 1; number <= needed; ++number) {
    ZYPMsgBox(nullptr, module, ui::kMbOk | ui::kMbIconInformation, kCaption, kInsertDisk, number);
    if (inserted) inserted(number);
    auto folder = platform::key_disk_folder();
    Share share;
    if (!folder || !read_share_file(share_file_path(*folder), share)) {
      ZYPMsgBox(nullptr, module, ui::kMbOk | ui::kMbIconError, kCaption, kDiskUnreadable);
      return false;
    }
    if (number == 1) needed = share.needed;
    add_share(record, share.bytes);
    ZYPMsgBox(nullptr, module, ui::kMbOk | ui::kMbIconInformation, kCaption, kDiskRead);
  }
  return true;
}

bool recover_key(uint32_t token, const ZYPResourceModule* module, const FileField& field, const std::string& label,
                 const DiskInserted& inserted) {
  RecordBytes record{};
  bool recovered = false;
  {
    PresenceCheckOff presence_off;
    // The drive may have held the token's own disk: it is asked for again.
    recovered = read_disks(module, record, inserted) && ZYPCIPReInsertKeyHolder(token) == 0;
  }
  recovered = recovered && unwrap_file_key(token, field, label, record);
  wipe(record.data(), record.size());
  return recovered;
}

}  // namespace

int recover_from_disks(uint32_t token, const DiskInserted& inserted) {
  Module module(ZYPLoadResource("ZYPRECOV"), ZYPFreeResource);
  auto file = choose_file(module.get());
  if (!file) return 0;
  FileField field;
  bool recovered = read_first_field(*file, field) == 0 &&
                   recover_key(token, module.get(), field, recovered_key_label(text(module.get(), kLabelPrefix), *file),
                               inserted);
  if (!recovered) {
    ZYPMsgBox(nullptr, module.get(), ui::kMbOk | ui::kMbIconError, kCaption, kRecoveryFailed);
    return 0;
  }
  ZYPMsgBox(nullptr, module.get(), ui::kMbOk | ui::kMbIconInformation, kCaption, kRecovered);
  return 1;
}

}  // namespace zyp::recovery
