// The folder calls: marks and the walks over folder trees.
#include <dlfcn.h>

#include "filecrypt/folder_mark.h"
#include "filecrypt/folder_walks.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "zyp/zyphook.h"
#include "zyp/zypfile.h"

using zyp::platform::guarded;

namespace {

constexpr int kUnexpected = ZYPFILE_NO_SESSION;

using FileCall = int (*)(const char*, FileHeader*, uint32_t, uint32_t);

// This library's own export `name`, found at run time, so that the walks
// work with whichever file calls the library holds.
FileCall own_file_call(const char* name) {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ZYPScanFolder), &info) || !info.dli_fname) return nullptr;
  void* self = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (!self) return nullptr;
  auto call = reinterpret_cast<FileCall>(::dlsym(self, name));
  ::dlclose(self);
  return call;
}

// The file calls never change while the library is loaded.
const zyp::file::FolderWalkCalls& library_calls() {
  static const zyp::file::FolderWalkCalls calls{own_file_call("ZYPCipherFileEx"), own_file_call("ZYPDecipherFileEx"),
                                                &ZYPGetFileAttributes, &ZYPAskValidHeader};
  return calls;
}

}  // namespace

ZYP_API int ZYPCipherFolder(const char* folder, FileHeader* header) {
  return guarded(kUnexpected, [&] {
    if (!folder || !header) return ZYPFILE_NULL_ARGUMENT;
    uint32_t progress = ZYPGetProgressState();
    int scanned = ZYPScanFolder(folder, progress);
    return scanned != ZYPFILE_OK ? scanned : ZYPCipherFolderEx(folder, header, progress, 1);
  });
}

ZYP_API int ZYPCipherFolderEx(const char* folder, FileHeader* header, uint32_t showProgress, uint32_t check) {
  return guarded(kUnexpected, [&] {
    if (!folder || !header) return ZYPFILE_NULL_ARGUMENT;
    const zyp::file::FolderWalkCalls& calls = library_calls();
    if (!calls.cipher_file) return ZYPHOOK_CALL_MISSING;
    return zyp::file::cipher_folder(folder, *header, showProgress, check, calls);
  });
}

ZYP_API int ZYPDecipherFolder(const char* folder) {
  return guarded(kUnexpected, [&] { return ZYPDecipherFolderEx(folder, ZYPGetProgressState(), 1); });
}

ZYP_API int ZYPDecipherFolderEx(const char* folder, uint32_t showProgress, uint32_t check) {
  return guarded(kUnexpected, [&] {
    if (!folder) return ZYPFILE_NULL_ARGUMENT;
    const zyp::file::FolderWalkCalls& calls = library_calls();
    if (!calls.decipher_file) return ZYPHOOK_CALL_MISSING;
    return zyp::file::decipher_folder(folder, showProgress, check, calls);
  });
}

ZYP_API int ZYPScanFolder(const char* folder, uint32_t flag) {
  return guarded(kUnexpected, [&] {
    if (!folder) return ZYPFILE_NULL_ARGUMENT;
    return zyp::file::scan_folder(folder, flag, library_calls());
  });
}

ZYP_API int ZYPFileOrdinal1(const char* folder, uint32_t flag) { return ZYPScanFolder(folder, flag); }

ZYP_API int ZYPGetFolderAttributes(const char* folder, FileHeader* header) {
  return guarded(kUnexpected, [&] {
    if (!folder || !header) return ZYPFILE_NULL_ARGUMENT;
    if (!zyp::platform::is_folder(folder)) return ZYPFILE_NOT_FOUND;
    return ZYPGetFolderHeader(folder, header);
  });
}

ZYP_API int ZYPSetFolderAttributes(const char* folder, const FileHeader* header) {
  return guarded(kUnexpected, [&] {
    if (!folder || !header) return ZYPFILE_NULL_ARGUMENT;
    ZYPSetAPICaller(1);
    int result = zyp::file::set_folder_mark_header(folder, *header);
    ZYPSetAPICaller(0);
    return result;
  });
}
