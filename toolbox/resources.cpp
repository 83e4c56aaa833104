// Language modules of the deliverables (ZYPLoadResource, ZYPFreeResource,
// ZYPLoadString) and help file paths (ZYPGetHelpPath).
#include "toolbox/resources.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/export_guard.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "toolbox/config.h"
#include "toolbox/format.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

constexpr char kFallbackLanguage[] = "ENU";
constexpr size_t kPathBuffer = 260;
constexpr size_t kScratchText = 4096;

std::unique_ptr<platform::LanguageModule> load_one(const std::string& folder, std::string_view stem,
                                                   std::string_view language) {
  auto module = platform::load_language_module(platform::language_module_file(folder, stem, language));
  if (!module) return nullptr;
  return std::make_unique<platform::LanguageModule>(std::move(*module));
}

std::string help_file(std::string folder, const char* stem, const std::string& language) {
  if (folder.back() != '/') folder += '/';
  return folder + stem + "." + language;
}

}  // namespace

std::string resource_folder() {
  const char* configured = std::getenv("ZYP_RESOURCE_DIR");
  if (configured && *configured) return configured;
  auto library_folder = platform::running_binary_folder();
  return library_folder ? *library_folder + "/../share/zyp/resources" : std::string();
}

std::unique_ptr<platform::LanguageModule> load_language_resources(std::string_view stem) {
  try {
    if (stem.empty() || stem.find('/') != std::string_view::npos) return nullptr;
    std::string folder = resource_folder();
    if (folder.empty()) return nullptr;
    std::string language = current_language();
    if (auto module = load_one(folder, stem, language)) return module;
    if (language == kFallbackLanguage) return nullptr;
    return load_one(folder, stem, kFallbackLanguage);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace zyp::tools

using zyp::platform::LanguageModule;

ZYP_API ZYPResourceModule* ZYPLoadResource(const char* stem) {
  if (!stem) return nullptr;
  // The handle is the module itself under the opaque type (see language_module_of).
  return reinterpret_cast<ZYPResourceModule*>(zyp::tools::load_language_resources(stem).release());
}

ZYP_API void ZYPFreeResource(ZYPResourceModule* module) {
  delete reinterpret_cast<LanguageModule*>(module);
}

ZYP_API int ZYPLoadString(const ZYPResourceModule* module, char* buffer, int size, uint32_t id, ...) {
  if (!buffer || size < 1) return 1;
  buffer[0] = '\0';
  const std::string* format = module ? zyp::platform::language_module_of(module)->string(id) : nullptr;
  if (!format) return 1;
  va_list args;
  va_start(args, id);
  int result = zyp::platform::guarded(1, [&] {
    std::vector<char> scratch(zyp::tools::kScratchText);
    zyp::tools::format_into(scratch.data(), scratch.size(), format->c_str(), args);
    size_t count = std::min(std::strlen(scratch.data()), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, scratch.data(), count);
    buffer[count] = '\0';
    return 0;
  });
  va_end(args);
  return result;
}

ZYP_API int ZYPGetHelpPath(const char* stem, char* folder) {
  if (!stem || !folder) return 1;
  size_t length = strnlen(folder, zyp::tools::kPathBuffer);
  if (length == 0 || length == zyp::tools::kPathBuffer) return 1;
  return zyp::platform::guarded(1, [&] {
    std::string given(folder, length);
    std::string path = zyp::tools::help_file(given, stem, zyp::tools::current_language());
    if (!zyp::platform::file_exists(path)) path = zyp::tools::help_file(given, stem, zyp::tools::kFallbackLanguage);
    if (path.size() >= zyp::tools::kPathBuffer) return 1;
    std::memcpy(folder, path.c_str(), path.size() + 1);
    return 0;
  });
}
