#include <unistd.h>

#include <string>

#include "base/narrow.h"
#include "manager/executable_path.h"

namespace merel {

std::u16string ExecutablePath() {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(n));
    return Utf8ToUtf16(buffer);
}

}  // namespace merel
