#include "base/errno_map.h"

#include <cerrno>

#include "base/hresult.h"

namespace merel {

std::int32_t Win32ErrorFromErrno(int err, ErrnoContext context) {
    switch (err) {
        case 0:
            return 0;
        case ENOENT:
            return context == ErrnoContext::kFolder ? win32::kPathNotFound : win32::kFileNotFound;
        case ENOTDIR:
            return win32::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return win32::kAccessDenied;
        case EBADF:
            return win32::kInvalidHandle;
        case EWOULDBLOCK:
        case EBUSY:
            return win32::kSharingViolation;
        case ENOSPC:
            return win32::kDiskFull;
        case EINVAL:
            return win32::kInvalidParameter;
        case EIO:
        case ENXIO:
        case ENODEV:
            return win32::kIoDevice;
        case ENOTTY:
            return win32::kBadDevice;
        case ENOMEM:
            return win32::kNotEnoughMemory;
        default:
            return win32::kIoDevice;
    }
}

}  // namespace merel
