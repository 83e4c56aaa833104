#include "hook/file_library.h"

#include <dlfcn.h>

#include "platform/modules.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace zyp::hook {
namespace {

constexpr char kFileLibrary[] = "ZYPFILE.DLL";

using FileCall = int (*)(const char*, FileHeader*, uint32_t, uint32_t);
using EraseCall = int (*)(const char*, ZYPWindow*, float);
using HeaderCall = int (*)(const FileHeader*);
using ScanCall = int (*)(const char*, uint32_t);
using CycleCall = uint32_t (*)();

}  // namespace

FileLibrary::FileLibrary() : module_(platform::load_module(kFileLibrary)) {}

FileLibrary::~FileLibrary() {
  if (module_) platform::unload_module(module_);
}

void* FileLibrary::symbol(const char* name) { return module_ ? platform::module_symbol(module_, name) : nullptr; }

int FileLibrary::file_call(const char* name, const std::string& path, FileHeader& header, uint32_t check) {
  auto call = reinterpret_cast<FileCall>(symbol(name));
  return call ? call(path.c_str(), &header, 0, check) : ZYPHOOK_CALL_MISSING;
}

int FileLibrary::secure_erase(const std::string& path) {
  auto call = reinterpret_cast<EraseCall>(symbol("ZYPSecureEraseEx"));
  return call ? call(path.c_str(), nullptr, 0.0f) : ZYPHOOK_CALL_MISSING;
}

int FileLibrary::decipher_file(const std::string& path, FileHeader& header) {
  return file_call("ZYPDecipherFileEx", path, header, 0);
}

int FileLibrary::sync_decipher_file(const std::string& path, FileHeader& header) {
  return file_call("ZYPSyncDecipherFileEx", path, header, 0);
}

int FileLibrary::cipher_file(const std::string& path, FileHeader& header) {
  return file_call("ZYPCipherFileEx", path, header, 0);
}

int FileLibrary::cipher_folder(const std::string& path, FileHeader& header) {
  return file_call("ZYPCipherFolderEx", path, header, 1);
}

int FileLibrary::ask_valid_header(const FileHeader& header) {
  auto call = reinterpret_cast<HeaderCall>(symbol("ZYPAskValidHeader"));
  return call ? call(&header) : ZYPHOOK_CALL_MISSING;
}

int FileLibrary::scan_folder(const std::string& path) {
  auto call = reinterpret_cast<ScanCall>(symbol("ZYPScanFolder"));
  return call ? call(path.c_str(), 0) : ZYPHOOK_CALL_MISSING;
}

uint32_t secure_erase_passes() {
  // Only a library that is already loaded is asked: loading it here would run
  // its first-load work in a process that never meant to use it.
  if (std::optional<std::string> file = platform::find_module(kFileLibrary)) {
    if (void* loaded = ::dlopen(file->c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      auto call = reinterpret_cast<CycleCall>(platform::module_symbol(loaded, "ZYPGetSecureEraseCycle"));
      uint32_t passes = call ? call() : 3;
      ::dlclose(loaded);
      if (call) return passes;
    }
  }
  uint32_t user = ZYPGetUSProfileDWord("General", "SecureEraseCycle", 0x80000000u);
  return user != 0x80000000u ? user : ZYPGetProfileDWord("General", "SecureEraseCycle", 3);
}

}  // namespace zyp::hook
