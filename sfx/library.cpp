// The exports of libzypsfx.so and what they use of the suite: the provider
// through the client library, the file library, the session service, the
// profile and the "ZYPSFX" language module.
#include <string.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/export_guard.h"
#include "platform/ui/ui.h"
#include "sfx/generator.h"
#include "zyp/zypsess.h"
#include "zyp/zypsfx.h"
#include "zyp/zyptools.h"

struct ZYPSfxContext : zyp::sfx::GeneratorContext {};

namespace zyp::sfx {
namespace {

namespace ui = platform::ui;

constexpr int kNoSession = 1;
constexpr int kPrimaryToken = -1;

std::atomic<ZYPResourceModule*> g_resources{nullptr};

__attribute__((constructor)) void on_load() { g_resources.store(ZYPLoadResource("ZYPSFX")); }
__attribute__((destructor)) void on_unload() { ZYPFreeResource(g_resources.exchange(nullptr)); }

std::string text(uint32_t id) { return module_text(g_resources.load(), id); }

// "zypsfx16 -v" must run: the archives would be useless otherwise. The user
// may go on all the same (OK) or stop (Cancel).
bool stub_runs_or_user_goes_on() {
  std::string stub = stub_path();
  if (stub_runs(stub)) return true;
  return ZYPMsgBox(nullptr, g_resources.load(), ui::kMbOkCancel | ui::kMbIconError, kCaption, kStubFails,
                   stub.c_str()) != ui::kIdCancel;
}

std::optional<std::string> chosen_output() {
  ui::ChooserOptions options;
  options.title = text(kSaveTitle);
  options.filter = text(kSaveFilter) + "|*";
  options.overwrite_prompt = true;
  auto chosen = ui::host().choose_save_file(options);
  if (!chosen) return std::nullopt;
  for (char& c : *chosen) {
    if (static_cast<unsigned char>(c) & 0x80) c = '_';
  }
  return chosen;
}

ZYPSfxContext* start(const char* output) {
  if (!stub_runs_or_user_goes_on()) return nullptr;
  if (ZYPGetSessionState(kPrimaryToken) == kNoSession && ZYPOpenTokenSession() != 0) return nullptr;
  std::unique_ptr<ZYPSfxContext> context(new ZYPSfxContext);
  if (output) {
    context->output = output;
  } else {
    auto chosen = chosen_output();
    if (!chosen) return nullptr;
    context->output = *chosen;
  }
  const platform::LanguageModule* module = platform::language_module_of(g_resources.load());
  const platform::DialogTemplate* dialog = module ? module->dialog(kPasswordDialog) : nullptr;
  if (!dialog) return nullptr;
  Services services = suite_services(g_resources.load());
  if (run_password_dialog(*context, services, *dialog) != ui::kIdOk) return nullptr;
  return context.release();
}

}  // namespace
}  // namespace zyp::sfx

ZYP_API ZYPSfxContext* ZYPCreateAutoExtract_Init(void) {
  return zyp::platform::guarded<ZYPSfxContext*>(nullptr, [] { return zyp::sfx::start(nullptr); });
}

ZYP_API ZYPSfxContext* ZYPCreateAutoExtractTo_Init(const char* outputName) {
  if (!outputName) return nullptr;
  return zyp::platform::guarded<ZYPSfxContext*>(nullptr, [&] { return zyp::sfx::start(outputName); });
}

ZYP_API int ZYPCreateAutoExtract_Update(ZYPSfxContext* context, const char* path) {
  if (!context || !path) return 0;
  return zyp::platform::guarded(7, [&] {
    context->paths.emplace_back(path);
    return 0;
  });
}

ZYP_API int ZYPCreateAutoExtract_Close(ZYPSfxContext* context) {
  if (!context) return 0;
  std::unique_ptr<ZYPSfxContext> owned(context);
  zyp::platform::guarded(0, [&] {
    zyp::sfx::write_archive(*owned, zyp::sfx::suite_services(zyp::sfx::g_resources.load()), zyp::sfx::stub_path());
    return 0;
  });
  return 0;
}
