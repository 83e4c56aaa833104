// The password dialog (129): the password typed twice, at least 10 and at
// most 100 characters, and the encryption algorithm of the user's one token.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/ui/ui.h"
#include "sfx/archive_format.h"
#include "sfx/generator.h"
#include "zyp/zyptools.h"

namespace zyp::sfx {
namespace {

namespace ui = platform::ui;

constexpr uint32_t kOkButton = 1;
constexpr uint32_t kPasswordEdit = 1000;
constexpr uint32_t kConfirmationEdit = 1001;
constexpr uint32_t kMessage = 1005;
constexpr uint32_t kAlgorithmBox = 1006;
constexpr uint32_t kPictureArea = 1024;
constexpr size_t kMinPasswordLength = 10;
constexpr uint32_t kListCapacity = 128;

std::vector<ZYPCIPListEntry> fetch(const std::function<int(ZYPCIPListEntry*, uint32_t*)>& enumerate) {
  std::vector<ZYPCIPListEntry> list(kListCapacity);
  uint32_t count = kListCapacity;
  if (!enumerate || enumerate(list.data(), &count) != 0) return {};
  list.resize(std::min(count, kListCapacity));
  return list;
}

// Texts read from the edits, wiped when they go.
class EditText {
 public:
  EditText(const ui::Window& window, uint32_t edit) : text_(window.text(edit)) {}
  ~EditText() { explicit_bzero(text_.data(), text_.size()); }
  EditText(const EditText&) = delete;
  EditText& operator=(const EditText&) = delete;
  const std::string& get() const { return text_; }

 private:
  std::string text_;
};

class PasswordDialog final : public ui::DialogHandler {
 public:
  PasswordDialog(GeneratorContext& context, const Services& services) : context_(context), services_(services) {}

  void on_init(ui::Window& window) override {
    animation_ = ZYPSetAnimation(tools::window_handle(&window), services_.resources, kPictureArea);
    window.set_limit(kPasswordEdit, kMaxPasswordLength);
    window.set_limit(kConfirmationEdit, kMaxPasswordLength);
    window.enable(kOkButton, false);
    std::vector<ZYPCIPListEntry> tokens = fetch(services_.enum_tokens);
    if (tokens.size() != 1) return cancel(window);
    context_.token = tokens[0].value;
    algorithms_ = fetch([&](ZYPCIPListEntry* list, uint32_t* count) {
      return services_.enum_algorithms ? services_.enum_algorithms(context_.token, list, count) : 1;
    });
    if (algorithms_.empty()) return cancel(window);
    for (const ZYPCIPListEntry& algorithm : algorithms_) window.add_item(kAlgorithmBox, name_of(algorithm));
    window.select_item(kAlgorithmBox, 0);
    window.enable(kAlgorithmBox, algorithms_.size() > 1);
  }

  void on_paint(ui::Window& window) override { ZYPAnimate(tools::window_handle(&window), nullptr, kPictureArea); }
  void on_destroy(ui::Window&) override {
    ZYPDeleteAnimation(animation_);
    animation_ = nullptr;
  }

  void on_command(ui::Window& window, uint32_t control, uint32_t notification) override {
    if (control == ui::kCancelCommand) return cancel(window);
    if ((control == kPasswordEdit || control == kConfirmationEdit) && notification == ui::kEditChanged) {
      return follow_lengths(window);
    }
    if (control == kOkButton && notification == ui::kButtonClicked) confirm(window);
  }

 private:
  static std::string name_of(const ZYPCIPListEntry& entry) {
    return std::string(entry.name, strnlen(entry.name, sizeof entry.name));
  }

  void cancel(ui::Window& window) {
    context_.clear_password();
    window.end(ui::kIdCancel);
  }

  void follow_lengths(ui::Window& window) {
    bool long_enough = window.text(kPasswordEdit).size() >= kMinPasswordLength &&
                       window.text(kConfirmationEdit).size() >= kMinPasswordLength;
    window.enable(kOkButton, long_enough);
  }

  void confirm(ui::Window& window) {
    EditText password(window, kPasswordEdit);
    EditText confirmation(window, kConfirmationEdit);
    if (password.get() != confirmation.get()) {
      window.set_text(kPasswordEdit, "");
      window.set_text(kConfirmationEdit, "");
      window.set_text(kMessage, services_.text ? services_.text(kPasswordsDiffer) : std::string());
      window.set_focus(kPasswordEdit);
      return;
    }
    int chosen = std::max(window.selected_item(kAlgorithmBox), 0);
    const ZYPCIPListEntry& algorithm = algorithms_[static_cast<size_t>(chosen) % algorithms_.size()];
    context_.algo = algorithm.value;
    context_.key_bits = key_bits_from_name(name_of(algorithm));
    context_.clear_password();
    size_t length = std::min(password.get().size(), context_.password.size() - 1);
    std::copy_n(password.get().data(), length, context_.password.data());
    window.end(ui::kIdOk);
  }

  GeneratorContext& context_;
  const Services& services_;
  std::vector<ZYPCIPListEntry> algorithms_;
  ZYPAnimation* animation_ = nullptr;
};

}  // namespace

int run_password_dialog(GeneratorContext& context, const Services& services, const platform::DialogTemplate& dialog) {
  PasswordDialog handler(context, services);
  int result = ui::host().run_dialog(dialog, handler);
  if (result != ui::kIdOk) context.clear_password();
  return result;
}

}  // namespace zyp::sfx
