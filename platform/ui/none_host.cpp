// The none backend: no user. Dialogs are closed as soon as they wait,
// message boxes take their default button, choosers and menus are dismissed.
#include "platform/ui/model.h"

namespace zyp::platform::ui::detail {
namespace {

class NoneHost final : public ModelHost {
 public:
  using ModelHost::ModelHost;
  std::string_view name() const override { return "none"; }

 protected:
  void wait_for_user(ModelWindow& dialog) override { cancel(dialog); }
  int ask_message_box(const MessageBoxRequest& request) override { return message_box_default(request.style); }
  std::optional<std::string> ask_path(ChooserKind, const ChooserOptions&) override { return std::nullopt; }
  uint32_t ask_menu(const std::vector<MenuItem>&, uint32_t) override { return 0; }
};

}  // namespace

std::unique_ptr<Host> make_none_host(std::string transcript) {
  return std::make_unique<NoneHost>(std::move(transcript));
}

}  // namespace zyp::platform::ui::detail
