#include "http/config.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "interface/instance_name.h"

namespace merel::http {
namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool ParseInt(std::string_view value, long long low, long long high, long long& out) {
    const char* end = value.data() + value.size();
    const auto [ptr, ec] = std::from_chars(value.data(), end, out);
    return ec == std::errc() && ptr == end && out >= low && out <= high;
}

bool ParsePort(std::string_view text, int& port) {
    long long value = 0;
    if (!ParseInt(text, 1, 65535, value)) return false;
    port = static_cast<int>(value);
    return true;
}

}  // namespace

bool ParseListen(std::string_view value, std::string& host, int& port, std::string& error) {
    std::string_view hostPart, portPart;
    if (value.starts_with('[')) {
        const auto close = value.find("]:");
        if (close == std::string_view::npos) {
            error = "listen '" + std::string(value) + "' is not [ADDRESS]:PORT";
            return false;
        }
        hostPart = value.substr(1, close - 1);
        portPart = value.substr(close + 2);
    } else {
        const auto colon = value.rfind(':');
        if (colon == std::string_view::npos || value.find(':') != colon) {
            error = "listen '" + std::string(value) +
                    "' is not ADDRESS:PORT (an IPv6 address goes in brackets: [::1]:13013)";
            return false;
        }
        hostPart = value.substr(0, colon);
        portPart = value.substr(colon + 1);
    }
    if (hostPart.empty() || !ParsePort(portPart, port)) {
        error = "listen '" + std::string(value) + "' needs an address and a port from 1 to 65535";
        return false;
    }
    host = hostPart;
    return true;
}

bool ParseConfig(std::string_view text, FrontConfig& config, std::string& error) {
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line =
            Trim(end == std::string_view::npos ? text : text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (line.empty() || line.starts_with('#')) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            error = where + "'" + std::string(line) + "' is not KEY = VALUE";
            return false;
        }
        const std::string key(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        long long n = 0;
        if (key == "listen") {
            if (!ParseListen(value, config.host, config.port, error)) {
                error.insert(0, where);
                return false;
            }
        } else if (key == "bus") {
            if (value != "session" && value != "system") {
                error = where + "bus is 'session' or 'system', not '" + std::string(value) + "'";
                return false;
            }
            config.systemBus = value == "system";
        } else if (key == "modem") {
            if (!value.empty() && !wire::IsInstanceName(value)) {
                error = where + "modem '" + std::string(value) +
                        "' is not a modem's name: " + wire::kInstanceNameRule;
                return false;
            }
            config.modem = value;
        } else if (key == "username") {
            config.username = value;
        } else if (key == "password") {
            config.password = value;
        } else if (key == "token") {
            config.token = value;
        } else if (key == "max-body") {
            if (!ParseInt(value, 1024, 16 * 1024 * 1024, n)) {
                error = where + "max-body is a number of bytes from 1024 to 16777216";
                return false;
            }
            config.maxBody = static_cast<std::size_t>(n);
        } else if (key == "rate") {
            if (!ParseInt(value, 1, 1000000, n)) {
                error = where + "rate is a number of requests a minute, at least 1";
                return false;
            }
            config.ratePerMinute = static_cast<int>(n);
        } else if (key == "timeout") {
            if (!ParseInt(value, 1, 86400, n)) {
                error = where + "timeout is a number of seconds from 1 to 86400";
                return false;
            }
            config.timeoutSeconds = static_cast<double>(n);
        } else {
            error = where + "unknown key '" + key +
                    "' (known: listen, bus, modem, username, password, token, max-body, rate, "
                    "timeout)";
            return false;
        }
    }
    return true;
}

bool IsLoopback(std::string_view host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

bool ServesSendsms(const FrontConfig& config) {
    return IsLoopback(config.host) || (!config.username.empty() && !config.password.empty());
}

bool ServesV1(const FrontConfig& config) {
    return IsLoopback(config.host) || !config.token.empty();
}

std::string RefusalToStart(const FrontConfig& config) {
    if (config.SendsmsNeedsCredentials() && (config.username.empty() || config.password.empty())) {
        return "username and password go together: set both, or neither";
    }
    if (!ServesSendsms(config) && !ServesV1(config)) {
        return "listening on " + config.host +
               ", which other machines can reach, needs credentials: set username and password "
               "(for /cgi-bin/sendsms) or token (for /v1)";
    }
    return {};
}

std::string ListenUrl(const FrontConfig& config) {
    const bool v6 = config.host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + config.host + "]" : config.host) + ":" +
           std::to_string(config.port);
}

}  // namespace merel::http
