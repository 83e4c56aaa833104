#include "backup/card_unblock.h"

#include <string.h>

#include <string>

#include "platform/modules.h"
#include "platform/ui/ui.h"
#include "zyp/zypprof.h"

namespace zyp::backup {
namespace {

namespace ui = platform::ui;

constexpr char kCardLibrary[] = "ZYPCARD.DLL";
constexpr uint32_t kUnblockDialog = 110;
enum Control : uint32_t { kOk = 1, kCancel = 2, kCode = 1000, kNewPin = 1001, kPinAgain = 1002, kPicture = 1024 };
enum Text : uint32_t { kInsertPrompt = 20, kCardCaption = 22, kUnblockFailed = 23, kUnblocked = 24 };
constexpr uint32_t kPresenceTimer = 101;
constexpr uint32_t kPresencePeriodMs = 100;
constexpr size_t kCodeLength = 8;
constexpr size_t kShortestPin = 4;
constexpr size_t kLongestPin = 8;

extern "C" {
// Nonzero when a card is ready; 0 when the user gave up.
using InsertCard = int (*)(const char* caption, const char* prompt);
// Nonzero when the card took the code and the new PIN.
using UnblockCard = int (*)(const char* new_pin, const char* code);
// Nonzero while a card is in the reader.
using CardPresent = int (*)(void);
}

struct CardLibrary {
  void* handle = nullptr;
  InsertCard insert = nullptr;
  UnblockCard unblock = nullptr;
  CardPresent present = nullptr;

  CardLibrary() : handle(platform::load_module(kCardLibrary)) {
    if (!handle) return;
    insert = reinterpret_cast<InsertCard>(platform::module_symbol(handle, "ZYPCardInsertIHM"));
    unblock = reinterpret_cast<UnblockCard>(platform::module_symbol(handle, "ZYPCardUnblock"));
    present = reinterpret_cast<CardPresent>(platform::module_symbol(handle, "ZYPIsCardPresent"));
    platform::module_symbol(handle, "ZYPCardRemoveIHM");  // looked up, never called
  }
  ~CardLibrary() {
    if (handle) platform::unload_module(handle);
  }
  CardLibrary(const CardLibrary&) = delete;
  CardLibrary& operator=(const CardLibrary&) = delete;
};

std::string text_of(const ZYPResourceModule* module, uint32_t id) {
  char buffer[1024] = {};
  ZYPLoadString(module, buffer, sizeof buffer, id);
  return buffer;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// A text typed by the user that is wiped when it goes.
struct Typed {
  std::string text;
  ~Typed() { ::explicit_bzero(text.data(), text.size()); }
};

class UnblockDialog final : public ui::DialogHandler {
 public:
  UnblockDialog(const ZYPResourceModule* module, const CardLibrary& card) : module_(module), card_(card) {}

  void on_init(ui::Window& window) override {
    if (card_.insert &&
        card_.insert(text_of(module_, kCardCaption).c_str(), text_of(module_, kInsertPrompt).c_str()) == 0) {
      window.end(ui::kIdCancel);
      return;
    }
    window.set_topmost(true);
    animation_ = ZYPSetAnimation(tools::window_handle(&window), module_, kPicture);
    window.enable(kOk, false);
    window.set_limit(kNewPin, kLongestPin);
    window.set_limit(kCode, kCodeLength);
    window.set_timer(kPresenceTimer, kPresencePeriodMs);
  }
  void on_paint(ui::Window& window) override { ZYPAnimate(tools::window_handle(&window), nullptr, kPicture); }
  void on_destroy(ui::Window&) override {
    ZYPDeleteAnimation(animation_);
    animation_ = nullptr;
  }
  void on_command(ui::Window& window, uint32_t control, uint32_t notification) override {
    if (control == kCode) drop_non_hex_ending(window);
    if (control == kCode || control == kNewPin || control == kPinAgain) window.enable(kOk, input_complete(window));
    if (notification != ui::kButtonClicked) return;
    if (control == kOk && card_.unblock) {
      Typed pin{window.text(kNewPin)}, code{window.text(kCode)};
      int unblocked = card_.unblock(pin.text.c_str(), code.text.c_str());
      window.kill_timer(kPresenceTimer);
      window.end(unblocked != 0 ? ui::kIdYes : ui::kIdNo);
    }
    if (control == kCancel) {
      window.kill_timer(kPresenceTimer);
      window.end(ui::kIdCancel);
    }
  }
  void on_timer(ui::Window& window, uint32_t timer) override {
    if (timer != kPresenceTimer || !card_.present || card_.present() != 0) return;
    window.kill_timer(kPresenceTimer);  // the card was taken out
    window.end(ui::kIdCancel);
  }

 private:
  static void drop_non_hex_ending(ui::Window& window) {
    Typed code{window.text(kCode)};
    if (code.text.empty() || is_hex_digit(code.text.back())) return;
    code.text.pop_back();
    window.set_text(kCode, code.text);
  }
  static bool input_complete(const ui::Window& window) {
    Typed pin{window.text(kNewPin)}, again{window.text(kPinAgain)}, code{window.text(kCode)};
    auto admitted = [](size_t length) { return length >= kShortestPin && length <= kLongestPin; };
    return admitted(pin.text.size()) && admitted(again.text.size()) && pin.text == again.text &&
           code.text.size() == kCodeLength;
  }

  const ZYPResourceModule* module_;
  const CardLibrary& card_;
  ZYPAnimation* animation_ = nullptr;
};

}  // namespace

void unblock_card(const ZYPResourceModule* module) {
  CardLibrary card;
  if (!card.handle) return;
  const platform::LanguageModule* resources = platform::language_module_of(module);
  const platform::DialogTemplate* dialog = resources ? resources->dialog(kUnblockDialog) : nullptr;
  if (!dialog) return;
  UnblockDialog handler(module, card);
  int result = ui::host().run_dialog(*dialog, handler);
  if (result != ui::kIdYes && result != ui::kIdNo) return;
  std::string caption = text_of(module, kCardCaption);
  std::string message = text_of(module, result == ui::kIdYes ? kUnblocked : kUnblockFailed);
  ui::host().message_box(message, caption, ui::kMbOk | ui::kMbTopmost |
                                               (result == ui::kIdYes ? ui::kMbIconInformation : ui::kMbIconError));
}

}  // namespace zyp::backup
