// The record as the journal keeps it, through journalctl's JSON output: one object per line,
// each field a string (or an array of bytes, for a value that is no text).
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "cli/platform.h"
#include "interface/record_line.h"

extern char** environ;

namespace merel::cli {

std::optional<LoggedCall> FromJournalJson(std::string_view line) {
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (!entry.is_object()) return std::nullopt;
    LoggedCall call;
    for (const auto& [key, value] : entry.items()) {
        if (value.is_string()) call.fields[key] = value.get<std::string>();
    }
    const std::string time = call.Field("__REALTIME_TIMESTAMP");
    if (call.Field("MEREL_METHOD").empty() || time.empty()) return std::nullopt;
    call.microseconds = std::strtoll(time.c_str(), nullptr, 10);
    return call;
}

bool ReadCallJournal(const std::string& since, std::vector<LoggedCall>& calls, Failure& failure) {
    int out[2];
    if (pipe(out) != 0) {
        failure = {kE_FAIL,
                   std::string("cannot read the journal: ") + std::strerror(errno),
                   {},
                   kExitSoftware};
        return false;
    }
    const std::string match = std::string("SYSLOG_IDENTIFIER=") + wire::kRecordSource;
    const std::string sinceOption = "--since=" + since;
    std::vector<char*> argv = {const_cast<char*>("journalctl"), const_cast<char*>("--output=json"),
                               const_cast<char*>("--no-pager"), const_cast<char*>("--quiet")};
    if (!since.empty()) argv.push_back(const_cast<char*>(sinceOption.c_str()));
    argv.push_back(const_cast<char*>(match.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "journalctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        failure = {
            kE_FAIL, std::string("cannot run journalctl: ") + std::strerror(spawned),
            "without a journal, read the service's standard error: merel-sms log --from FILE",
            kExitUnavailable};
        return false;
    }
    std::string text, line;
    char chunk[65536];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = text.find('\n')) != std::string::npos;) {
            if (auto call = FromJournalJson(std::string_view(text).substr(0, end))) {
                calls.push_back(std::move(*call));
            }
            text.erase(0, end + 1);
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failure = {kE_FAIL, "journalctl failed (it said why above)",
                   "--since takes what journalctl takes: \"2026-12-08 09:00\", today, -1h",
                   kExitUnavailable};
        return false;
    }
    return true;
}

}  // namespace merel::cli
