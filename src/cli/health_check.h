// `merel-sms status --check`: the state of the service, its settings, its port and its modem as
// one line of the monitoring plugins' format (Nagios, Icinga, Zabbix, Checkmk), with their exit
// codes. Pure: the facts in, the line out.
#pragma once

#include <optional>
#include <string>

#include "cli/modem_check.h"

namespace merel::cli {

inline constexpr int kHealthOk = 0;
inline constexpr int kHealthWarning = 1;
inline constexpr int kHealthCritical = 2;

struct HealthFacts {
    // Each stage is reached only when the one before it succeeded; its failure is the text
    // the user would have got.
    std::optional<std::string> unreachable;  // the service could not be reached
    std::optional<std::string> settingsUnread;
    std::string port;
    std::optional<std::string> portClosed;
    std::optional<std::string> modemCheckFailed;
    // The modem's answers; none when the check was not asked for.
    std::optional<ModemCheck> modem;
};

struct HealthVerdict {
    int exitCode = kHealthOk;
    std::string line;  // without its line end
};

// "MEREL-SMS OK - port /dev/ttyUSB0 open, modem ready, signal -79 dBm | signal=-79dBm;;;"
HealthVerdict JudgeHealth(const HealthFacts& facts);

}  // namespace merel::cli
