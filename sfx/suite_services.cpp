// What the generator uses of the rest of the suite: the provider through the
// client library, the file library, the session service and the profile.
#include <string.h>

#include "platform/files.h"
#include "platform/modules.h"
#include "sfx/generator.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace zyp::sfx {
namespace {

constexpr char kStubName[] = "ZYPSFX16.EXE";
constexpr size_t kProfileText = 1100;
constexpr int kTextSize = 4096;

std::string machine_text(const char* section, const char* name) {
  char buffer[kProfileText] = {};
  ZYPGetProfileString(section, name, "", buffer, sizeof buffer);
  return buffer;
}

}  // namespace

GeneratorContext::~GeneratorContext() { clear_password(); }

void GeneratorContext::clear_password() { explicit_bzero(password.data(), password.size()); }

std::string module_text(const ZYPResourceModule* resources, uint32_t id, const char* first, const char* second) {
  char buffer[kTextSize] = {};
  ZYPLoadString(resources, buffer, sizeof buffer, id, first, second);
  return buffer;
}

std::string stub_path() {
  std::string install = machine_text("General", "InstallPath");
  std::string name = platform::linux_file_name(kStubName);
  if (!install.empty() && platform::file_exists(install + "/" + name)) return install + "/" + name;
  return platform::find_program(kStubName).value_or(install + "/" + name);
}

bool stub_runs(const std::string& stub) { return platform::run_program_quietly(stub, {"-v"}) == 0; }

Services suite_services(const ZYPResourceModule* resources) {
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
  services.message = [resources](uint32_t id, uint32_t style, const char* first, const char* second) {
    return ZYPMsgBox(nullptr, resources, style, kCaption, id, first, second);
  };
  services.text = [resources](uint32_t id) { return module_text(resources, id); };
  services.resources = resources;
  services.address = machine_text("Visual", "Address");
  services.notice = machine_text("General", "Copyright");
  return services;
}

}  // namespace zyp::sfx
