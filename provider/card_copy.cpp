// ZYPCIPCloneCard: copies the data records of one smart card onto another
// through the smart-card library, which prompts for the cards itself.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/modules.h"
#include "platform/ui/ui.h"
#include "provider/card_library.h"
#include "provider/session_dialogs.h"
#include "provider/trace.h"
#include "zyp/zypprov.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

namespace ui = platform::ui;

enum Text : uint32_t {
  kInsertSource = 12,
  kCaption = 13,
  kRemoveCard = 14,
  kInsertTarget = 15,
  kCopied = 16,
  kIntroduction = 17,
  kTargetHoldsData = 18,
};

constexpr uint32_t kFirstRecordSize = 150;
constexpr uint32_t kRecordSize = 62;
constexpr uint32_t kLastRecord = 8;
constexpr int kStateSessionOpen = 0;

struct CardLibrary {
  void* module = nullptr;
  card::InsertCard insert = nullptr;
  card::GetSerialNumber serial_number = nullptr;
  card::PresentPin present_pin = nullptr;
  card::ReadRecord read_record = nullptr;
  card::RemoveCard remove = nullptr;
  card::CalcUnblockingCode unblocking_code = nullptr;
  card::Unblock unblock = nullptr;
  card::UserAuth user_auth = nullptr;
  card::EraseRecord erase_record = nullptr;
  card::WriteRecord write_record = nullptr;

  CardLibrary() = default;
  CardLibrary(const CardLibrary&) = delete;
  CardLibrary& operator=(const CardLibrary&) = delete;
  ~CardLibrary() {
    if (module) platform::unload_module(module);
  }

  // False when the library or one of its functions is missing.
  bool load() {
    module = platform::load_module(card::kLibrary);
    if (!module) return false;
    return find(insert, "ZYPCardInsertIHM") && find(serial_number, "ZYPGetCardSerialNumber") &&
           find(present_pin, "ZYPCardPresentPin") && find(read_record, "ZYPCardReadRecord") &&
           find(remove, "ZYPCardRemoveIHM") && find(unblocking_code, "ZYPCardCalcUnblockingCode") &&
           find(unblock, "ZYPCardUnblock") && find(user_auth, "ZYPCardUserAuth") &&
           find(erase_record, "ZYPCardEraseRecord") && find(write_record, "ZYPCardWriteRecord");
  }

 private:
  template <typename Function>
  bool find(Function& function, const char* name) {
    function = reinterpret_cast<Function>(platform::module_symbol(module, name));
    return function != nullptr;
  }
};

// The source card's records; one that cannot be read stays all 0xFF, which
// marks it as not to be written.
struct CardRecords {
  std::array<uint8_t, kFirstRecordSize> first;
  std::array<std::array<uint8_t, kRecordSize>, kLastRecord> others;

  CardRecords() {
    first.fill(0xFF);
    for (auto& record : others) record.fill(0xFF);
  }
  static bool empty(const uint8_t* record) { return std::memcmp(record, "\xFF\xFF\xFF\xFF", 4) == 0; }
};

class CardCopy {
 public:
  CardCopy(Provider& provider, CardLibrary& card) : provider_(provider), card_(card) {
    caption_ = text(kCaption);
  }

  // Everything between the introduction and the last record; returns early
  // when a card is not given, the user declines or a write fails.
  void run() {
    ui::host().message_box(text(kIntroduction), caption_, ui::kMbOk | ui::kMbTopmost);
    if (card_.insert(text(kInsertSource).c_str(), caption_.c_str()) != 0) return;
    uint8_t source_serial[card::kSerialSize] = {};
    card_.serial_number(source_serial);
    if (card_.present_pin() != 0) return;
    CardRecords records = read_source();

    uint8_t target_serial[card::kSerialSize] = {};
    if (!insert_target(source_serial, target_serial)) return;
    if (!target_may_be_overwritten()) return;
    if (!unlock_target(target_serial)) return;
    if (!write_records(records)) return;
    card_.remove(text(kCopied).c_str(), caption_.c_str());
  }

 private:
  std::string text(uint32_t id) const { return provider_text(provider_, id); }

  CardRecords read_source() {
    CardRecords records;
    if (card_.read_record(0, records.first.data(), kFirstRecordSize) != 0) records.first.fill(0xFF);
    for (uint32_t i = 1; i <= kLastRecord; ++i) {
      auto& record = records.others[i - 1];
      if (card_.read_record(i, record.data(), kRecordSize) != 0) record.fill(0xFF);
    }
    return records;
  }

  // Asks for the target until a card other than the source is inserted.
  bool insert_target(const uint8_t* source_serial, uint8_t* target_serial) {
    do {
      card_.remove(text(kRemoveCard).c_str(), caption_.c_str());
      if (card_.insert(text(kInsertTarget).c_str(), caption_.c_str()) != 0) return false;
      std::memset(target_serial, 0, card::kSerialSize);
      card_.serial_number(target_serial);
    } while (std::memcmp(source_serial, target_serial, card::kSerialSize) == 0);
    return true;
  }

  bool target_may_be_overwritten() {
    uint8_t probe[kFirstRecordSize];
    if (card_.read_record(0, probe, sizeof probe) != 0) return true;
    // Copying over the card destroys what it holds: No unless the user says Yes.
    return ui::host().message_box(text(kTargetHoldsData), caption_,
                                  ui::kMbYesNo | ui::kMbIconWarning | ui::kMbDefButton2 | ui::kMbTopmost) == ui::kIdYes;
  }

  bool unlock_target(const uint8_t* target_serial) {
    uint8_t code[card::kUnblockingCodeSize] = {};
    if (card_.unblocking_code(target_serial, code) != 0) return false;
    char digits[2 * card::kUnblockingCodeSize + 1];
    std::snprintf(digits, sizeof digits, "%02X%02X%02X%02X", code[0], code[1], code[2], code[3]);
    bool unlocked = card_.unblock(digits) == 0 && card_.user_auth() == 0;
    explicit_bzero(code, sizeof code);
    explicit_bzero(digits, sizeof digits);
    return unlocked;
  }

  bool write_records(const CardRecords& records) {
    if (!write_record(0, records.first.data(), kFirstRecordSize)) return false;
    for (uint32_t i = 1; i <= kLastRecord; ++i) {
      if (!write_record(i, records.others[i - 1].data(), kRecordSize)) return false;
    }
    return true;
  }

  bool write_record(uint32_t index, const uint8_t* data, uint32_t size) {
    card_.erase_record(index);
    if (CardRecords::empty(data)) return true;
    if (card_.write_record(index, data, size) == 0) return true;
    ZYPTrace(kTraceFailure, "card copy: writing record %u failed", index);
    return false;
  }

  Provider& provider_;
  CardLibrary& card_;
  std::string caption_;
};

int clone_card(Provider& p, uint32_t token) {
  CardLibrary card;
  if (!card.load()) {
    ZYPTrace(kTraceFailure, "card copy: %s or one of its functions is missing", card::kLibrary);
    return 0;
  }
  // Taking the token's card out must not close the open session meanwhile.
  bool session_open = ZYPGetSessionState(static_cast<int>(token)) == kStateSessionOpen;
  int32_t presence_check = 0;
  if (session_open) {
    std::lock_guard guard(p.lock());
    presence_check = p.shared().presence_check;
    p.shared().presence_check = 0;
  }
  CardCopy(p, card).run();
  if (session_open) {
    insertion_dialog(p, token);
    card.user_auth();
    std::lock_guard guard(p.lock());
    p.shared().presence_check = presence_check;
  }
  return 1;
}

}  // namespace
}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPCloneCard(uint32_t token) {
  return with_dialogs(0, [&](Provider& p) { return clone_card(p, token); });
}
