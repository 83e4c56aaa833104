#pragma once
// The calling thread's last error, with the Windows error numbers that the
// suite's callers test for (GetLastError/SetLastError).
#include <cstdint>

namespace zyp::platform {

enum WinError : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorFilenameExcedRange = 206,
  kErrorMoreData = 234,
  kErrorNoMoreItems = 259,
  kErrorDirectory = 267,
  kErrorTimeout = 1460,
};

uint32_t last_error();
void set_last_error(uint32_t code);

// Maps an errno value to the nearest Windows error number.
uint32_t win_error_from_errno(int err);

}  // namespace zyp::platform
