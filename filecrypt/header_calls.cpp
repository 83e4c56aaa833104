// The header operations: filling a record, and reading, labelling and judging
// the header of a file on disk.
#include <cstring>

#include "filecrypt/header_format.h"
#include "filecrypt/hook_access.h"
#include "platform/export_guard.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypsess.h"

using zyp::platform::guarded;

namespace {

constexpr int kPrimaryToken = -1;
constexpr int kUnexpected = ZYPFILE_NOT_ENCRYPTED;

const uint8_t* recovery_field(const FileHeader& header, uint32_t index) {
  if (index == 0 && (header.Options & ZYPFILE_OPTION_RECOVERY0)) return header.RecoveryField0;
  if (index == 1 && (header.Options & ZYPFILE_OPTION_RECOVERY1)) return header.RecoveryField1;
  return nullptr;
}

}  // namespace

ZYP_API int ZYPFillHeader(FileHeader* header, uint32_t algo, uint32_t key, uint32_t options, const char* user) {
  if (!header) return ZYPFILE_NULL_ARGUMENT;
  zyp::file::fill_header(*header, algo, key, options, user);
  return ZYPFILE_OK;
}

ZYP_API int ZYPGetFileAttributes(const char* fileName, FileHeader* header) {
  return guarded(kUnexpected, [&] { return zyp::file::hook_file_header(fileName, header); });
}

ZYP_API int ZYPGetOpenFileAttributes(const char* fileName, FileHeader* header) {
  return guarded(kUnexpected, [&] { return zyp::file::hook_open_file_header(fileName, header); });
}

ZYP_API int ZYPSetFileAttributes(const char* fileName, const FileHeader* header) {
  return guarded(kUnexpected, [&] {
    if (!fileName || !header) return ZYPFILE_NULL_ARGUMENT;
    FileHeader stored;
    int result = zyp::file::hook_file_header(fileName, &stored);
    if (result != ZYPFILE_OK) return result;
    std::memcpy(stored.User, header->User, sizeof stored.User);
    return zyp::file::hook_set_file_header(fileName, &stored);
  });
}

ZYP_API int ZYPAskValidHeader(const FileHeader* header) {
  return guarded(int{ZYPFILE_UNKNOWN_KEY}, [&] {
    if (!header) return ZYPFILE_NULL_ARGUMENT;
    if (ZYPGetSessionState(kPrimaryToken) != 0) return ZYPFILE_NO_SESSION;
    uint32_t length = 0;
    int named = ZYPCIPGetKeyName(static_cast<uint32_t>(ZYPGetPrimaryToken()), header->Key, nullptr, &length);
    return named == ZYPCIP_OK || named == ZYPCIP_TOO_SMALL ? ZYPFILE_OK : ZYPFILE_UNKNOWN_KEY;
  });
}

ZYP_API int ZYPGetRecoveryKey(const char* fileName, uint32_t index, uint32_t* algo, uint8_t* buffer,
                              uint32_t* length) {
  return guarded(kUnexpected, [&] {
    if (!fileName || !algo || !buffer || !length) return ZYPFILE_NULL_ARGUMENT;
    FileHeader header;
    int result = zyp::file::hook_file_header(fileName, &header);
    if (result != ZYPFILE_OK) return result;
    const uint8_t* field = recovery_field(header, index);
    if (!field) return ZYPFILE_NOT_PRESENT;
    if (*length < ZYPFILE_RECOVERY_FIELD_SIZE) return ZYPFILE_BUFFER_TOO_SMALL;
    std::memcpy(buffer, field, ZYPFILE_RECOVERY_FIELD_SIZE);
    *algo = header.Algo;
    return ZYPFILE_OK;
  });
}
