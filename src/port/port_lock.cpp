#include "port/port_lock.h"

#include <cstdio>

namespace merel {

std::string LockFileName(std::string_view devicePath) {
    constexpr std::string_view kDev = "/dev/";
    std::string_view below = devicePath;
    if (below.starts_with(kDev)) {
        below.remove_prefix(kDev.size());
    } else {
        while (below.starts_with('/')) below.remove_prefix(1);
    }
    std::string name = "LCK..";
    for (char c : below) name.push_back(c == '/' ? '_' : c);
    return name;
}

std::string FormatLockPid(std::int64_t pid) {
    char text[32];
    std::snprintf(text, sizeof text, "%10lld\n", static_cast<long long>(pid));
    return text;
}

std::optional<std::int64_t> ParseLockPid(std::string_view content) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t i = 0;
    while (i < content.size() && blank(content[i])) ++i;
    std::int64_t pid = 0;
    std::size_t digits = 0;
    for (; i < content.size() && content[i] >= '0' && content[i] <= '9'; ++i, ++digits) {
        if (digits == 18) return {};  // no process has such a number
        pid = pid * 10 + (content[i] - '0');
    }
    while (i < content.size() && blank(content[i])) ++i;
    if (digits == 0 || i != content.size() || pid <= 0) return {};
    return pid;
}

std::optional<std::int64_t> LiveHolder(std::string_view content,
                                       const std::function<bool(std::int64_t)>& alive) {
    const std::optional<std::int64_t> pid = ParseLockPid(content);
    if (!pid || !alive(*pid)) return {};
    return pid;
}

}  // namespace merel
