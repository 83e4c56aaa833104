// The exports of libzypsfx.so and what they use of the suite: the provider
// through the client library, the file library, the session service, the
// profile and the "ZYPSFX" language module.
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "platform/export_guard.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/ui/ui.h"
#include "sfx/generator.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"
#include "zyp/zypsfx.h"
#include "zyp/zyptools.h"

struct ZYPSfxContext : zyp::sfx::GeneratorContext {};

namespace zyp::sfx {

GeneratorContext::~GeneratorContext() { clear_password(); }

void GeneratorContext::clear_password() { explicit_bzero(password.data(), password.size()); }

namespace {

namespace ui = platform::ui;

constexpr char kStubName[] = "ZYPSFX16.EXE";
constexpr int kNoSession = 1;
constexpr int kPrimaryToken = -1;
constexpr size_t kProfileText = 1100;
constexpr int kTextSize = 4096;

std::atomic<ZYPResourceModule*> g_resources{nullptr};

__attribute__((constructor)) void on_load() { g_resources.store(ZYPLoadResource("ZYPSFX")); }
__attribute__((destructor)) void on_unload() { ZYPFreeResource(g_resources.exchange(nullptr)); }

std::string text(uint32_t id) {
  char buffer[kTextSize] = {};
  ZYPLoadString(g_resources.load(), buffer, sizeof buffer, id);
  return buffer;
}

int message(uint32_t id, uint32_t style, const char* first = "", const char* second = "") {
  return ZYPMsgBox(nullptr, g_resources.load(), style, kCaption, id, first, second);
}

std::string machine_text(const char* section, const char* name) {
  char buffer[kProfileText] = {};
  ZYPGetProfileString(section, name, "", buffer, sizeof buffer);
  return buffer;
}

// The extractor in the installation folder, else the suite's own program.
std::string stub_path() {
  std::string install = machine_text("General", "InstallPath");
  std::string name = platform::linux_file_name(kStubName);
  if (!install.empty() && platform::file_exists(install + "/" + name)) return install + "/" + name;
  return platform::find_program(kStubName).value_or(install + "/" + name);
}

Services suite_services() {
  Services services;
  services.enum_tokens = [](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumToken(list, count); };
  services.enum_algorithms = [](uint32_t token, ZYPCIPListEntry* list, uint32_t* count) {
    return ZYPCIPEnumAlgorithm(token, ZYPCIP_TYPE_ENCRYPTION, list, count);
  };
  services.recovery_field = [](uint32_t token, uint32_t algo, std::span<const uint8_t> key, std::span<uint8_t> field) {
    uint32_t length = static_cast<uint32_t>(field.size());
    return ZYPCIPGetBinKeyRecoveryField(token, algo, key.data(), static_cast<uint32_t>(key.size()), 0, field.data(),
                                        &length);
  };
  services.file_attributes = [](const char* path, FileHeader* header) { return ZYPGetFileAttributes(path, header); };
  services.decipher_file = [](const char* path, FileHeader* header) {
    return ZYPDecipherFileEx(path, header, ZYPGetProgressState(), 1);
  };
  services.encipher_file = [](const char* path, FileHeader* header) {
    return ZYPCipherFileEx(path, header, ZYPGetProgressState(), 1);
  };
  services.open_session = [] { return ZYPOpenTokenSession(); };
  services.message = [](uint32_t id, uint32_t style, const char* first, const char* second) {
    return message(id, style, first, second);
  };
  services.text = text;
  services.resources = g_resources.load();
  services.address = machine_text("Visual", "Address");
  services.notice = machine_text("General", "Copyright");
  return services;
}

// "zypsfx16 -v" must run: the archives would be useless otherwise. The user
// may go on all the same (OK) or stop (Cancel).
bool stub_runs_or_user_goes_on() {
  std::string stub = stub_path();
  if (platform::spawn_program(stub, {"-v"}, true) == 0) return true;
  return message(kStubFails, ui::kMbOkCancel | ui::kMbIconError, stub.c_str()) != ui::kIdCancel;
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
  Services services = suite_services();
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
    zyp::sfx::write_archive(*owned, zyp::sfx::suite_services(), zyp::sfx::stub_path());
    return 0;
  });
  return 0;
}
