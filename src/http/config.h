// The HTTP front's configuration: its `key = value` file, the listen address and whether the
// front may serve what it is asked to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace merel::http {

inline constexpr const char* kDefaultHost = "127.0.0.1";
inline constexpr int kDefaultPort = 13013;

struct FrontConfig {
    std::string host = kDefaultHost;  // without the brackets of an IPv6 address
    int port = kDefaultPort;
    bool systemBus = false;
    std::string modem;               // the default instance; empty: the plain service
    std::string username, password;  // the sendsms interface's credentials
    std::string token;               // the bearer token of /v1
    std::size_t maxBody = 64 * 1024;
    int ratePerMinute = 120;  // all clients together
    double timeoutSeconds = 600;

    bool SendsmsNeedsCredentials() const { return !username.empty() || !password.empty(); }
    bool HoldsSecrets() const { return !password.empty() || !token.empty(); }
};

// Reads the file's text over `config`; false with `error` ("line 3: ...") on the first fault.
bool ParseConfig(std::string_view text, FrontConfig& config, std::string& error);

// "127.0.0.1:13013", "[::1]:13013", "localhost:8080"; false with `error` otherwise.
bool ParseListen(std::string_view value, std::string& host, int& port, std::string& error);

// Whether only this machine can reach `host`: 127.0.0.0/8, ::1 and "localhost".
bool IsLoopback(std::string_view host);

// What may be served on the configured address: on another than loopback, only what has
// credentials. Empty when the configuration may start; otherwise why it may not.
std::string RefusalToStart(const FrontConfig& config);
bool ServesSendsms(const FrontConfig& config);
bool ServesV1(const FrontConfig& config);

// "http://127.0.0.1:13013" or "http://[::1]:13013".
std::string ListenUrl(const FrontConfig& config);

}  // namespace merel::http
