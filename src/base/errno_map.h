// The one errno -> Win32 error table of the POSIX backends.
#pragma once

#include <cstdint>

namespace merel {

enum class ErrnoContext { kFile, kFolder };

// Win32 error number for a POSIX errno. ENOENT means a missing file, or a missing folder when
// the context says the failing part of the path was a folder.
std::int32_t Win32ErrorFromErrno(int err, ErrnoContext context = ErrnoContext::kFile);

}  // namespace merel
