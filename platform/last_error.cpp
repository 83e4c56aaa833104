#include "platform/last_error.h"

#include <cerrno>

namespace zyp::platform {
namespace {
thread_local uint32_t t_last_error = kErrorSuccess;
}

uint32_t last_error() { return t_last_error; }
void set_last_error(uint32_t code) { t_last_error = code; }

uint32_t win_error_from_errno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EISDIR: return kErrorDirectory;
    case ETIMEDOUT: return kErrorTimeout;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EIO:
    case ENOSPC: return kErrorWriteFault;
    default: return kErrorAccessDenied;
  }
}

}  // namespace zyp::platform
