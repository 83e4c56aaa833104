#pragma once
// The device-control interface of the file-system hook device "\\.\zyphook":
// its control codes, the records it exchanges and the results it answers.
// Every integer is a little-endian 32-bit word; every path field is 256
// bytes holding at most 255 characters and a terminating zero.
#include <cstddef>
#include <cstdint>

#include "zyp/zypfile.h"

namespace zyp::hookdev {

constexpr size_t kPathField = 256;

// Control codes (all buffered). The comment gives input -> output sizes.
enum ControlCode : uint32_t {
  kReply = 0x83000044,              // HookReply 264 -> none
  kFetchRequest = 0x83000048,       // HookRequest 628 -> the same buffer
  kServerState = 0x83000080,        // none -> state 4
  kRegisterServer = 0x83000084,     // 8 (second word 0 start, 1 stop) -> 4
  kAutoDecrypt = 0x83000104,        // flag 4 -> 4
  kAllowEncrypt = 0x8300010C,       // path 256 -> result 4
  kApiCallerOn = 0x83000144,        // none -> none
  kApiCallerOff = 0x83000148,       // none -> none
  kFileHeader = 0x830000C4,         // FileHeaderQuery 260 -> FileHeaderAnswer 376
  kFolderHeader = 0x830000C8,       // path 256 -> FolderHeaderAnswer 372
  kSetOpenedFileInfo = 0x830000CC,  // OpenedFileInfo 624 -> result 4
  kWatchEnd = 0x830000D0,           // path 256 -> 4
  kDriveMask = 0x83000184,          // mask 4 -> 4
  kClearExclusions = 0x83000188,    // none -> none
  kProductName = 0x8300018C,        // name 256 -> none
  kAddExclusion = 0x83000190,       // ExclusionEntry 260 -> 4
  kOpenFileState = 0x830001C4,      // path 256 -> OpenFileState 740
  kAutoSecureErase = 0x830001C8,    // 8 (flag, pass count) -> 4
};

// Results the device answers.
enum DeviceResult : uint32_t {
  kOk = 0,
  kServerNone = 1,          // server state: no request server registered
  kPathMissing = 2,         // the path does not exist
  kAlreadyEncrypted = 43,   // allow-encrypt: the file has a valid header
  kNoHeader = 44,           // a plain, unreadable or non-regular file; a folder without a mark
  kExcluded = 49,           // allow-encrypt: the exclusion list refuses the path
  kNoDevice = 70,           // the preset of the client: the device was not reached
  kOpenForWriting = 91,     // open-file state: another process still writes the file
  kCallerProcesses = 102,   // set-opened-file-info: the caller converts the file itself
};

// Request codes queued for the request server.
enum RequestCode : uint32_t {
  kRequestNone = 0,  // fetched from an empty queue: nothing to do
  kRequestErase = 1,
  kRequestWatch = 2,
  kRequestDecipher = 3,
  kRequestSyncDecipher = 4,
  kRequestCipherFolder = 6,
  kRequestAskValidHeader = 7,
  kRequestScanFolder = 8,
  kRequestLongPath = 10,
};

#pragma pack(push, 1)
struct HookRequest {
  uint32_t code;
  FileHeader header;
  char path[kPathField];
};
struct HookReply {
  uint32_t unused;
  uint32_t result;
  char long_path[kPathField];
};
struct OpenFileState {
  FileHeader current;
  FileHeader target;
  uint32_t result;
};
struct FileHeaderQuery {
  char path[kPathField];
  uint32_t from_disk;  // 1: the header on disk; 0: the target of an open file
};
struct FileHeaderAnswer {
  FileHeader header;
  uint32_t unused;
  uint32_t result;
};
struct FolderHeaderAnswer {
  FileHeader header;
  uint32_t result;
};
struct OpenedFileInfo {
  char path[kPathField];
  FileHeader header;
};
struct ExclusionEntry {
  char path[kPathField];
  uint32_t value;
};
struct ServerRegistration {
  uint32_t unused;
  uint32_t stop;  // 0 start serving, 1 stop serving
};
struct SecureEraseSetting {
  uint32_t flag;
  uint32_t passes;
};
#pragma pack(pop)

static_assert(sizeof(HookRequest) == 628 && offsetof(HookRequest, header) == 4 && offsetof(HookRequest, path) == 372);
static_assert(sizeof(HookReply) == 264 && offsetof(HookReply, result) == 4 && offsetof(HookReply, long_path) == 8);
static_assert(sizeof(OpenFileState) == 740 && offsetof(OpenFileState, target) == 368 &&
              offsetof(OpenFileState, result) == 736);
static_assert(sizeof(FileHeaderQuery) == 260 && offsetof(FileHeaderQuery, from_disk) == 256);
static_assert(sizeof(FileHeaderAnswer) == 376 && offsetof(FileHeaderAnswer, result) == 372);
static_assert(sizeof(FolderHeaderAnswer) == 372 && offsetof(FolderHeaderAnswer, result) == 368);
static_assert(sizeof(OpenedFileInfo) == 624 && offsetof(OpenedFileInfo, header) == 256);
static_assert(sizeof(ExclusionEntry) == 260 && offsetof(ExclusionEntry, value) == 256);
static_assert(sizeof(ServerRegistration) == 8 && sizeof(SecureEraseSetting) == 8);

// Copies `path` into a path field: at most 255 characters and a zero.
void copy_path_field(char (&field)[kPathField], const char* path);

}  // namespace zyp::hookdev
