// The HTTP front's requests and answers, apart from the HTTP library: each request runs one or
// more commands of the merel-sms front end in this process, so that what the front checks,
// says and hints is what merel-sms would.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cli/front_end.h"
#include "http/config.h"

namespace merel::http {

struct Request {
    std::string method;  // "GET", "POST", ...
    std::string path;    // without the query
    std::string query;   // as sent, without the '?'
    std::string body;
    std::string contentType;
    std::string authorization;  // the Authorization header
};

struct Answer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// Kannel's sendsms texts, which gateways and scripts match.
inline constexpr const char* kAccepted = "0: Accepted for delivery";
inline constexpr const char* kAuthorizationFailed = "Authorization failed for sendsms";
inline constexpr const char* kTemporaryFailure = "Temporary failure: ";

// At most this many receivers in one sendsms request: each takes a send's 5-6 s.
inline constexpr std::size_t kMaxReceivers = 10;

class Front {
  public:
    Front(FrontConfig config, cli::ClientFactory connect, cli::InstanceLister instances);

    // Safe to call from several threads: the service runs one call at a time anyway.
    Answer Handle(const Request& request);

  private:
    struct Outcome {
        int exitCode = 0;
        std::string json;  // the command's JSON object
    };
    Outcome Run(const std::string& modem, std::vector<std::string> command,
                const std::string& input = {});
    Outcome Send(const std::string& modem, const std::string& mode, const std::string& number,
                 const std::string& text);
    bool TakeRateToken();

    Answer Sendsms(const Request& request);
    Answer Messages(const Request& request);
    Answer Modems(const Request& request);
    Answer Alertmanager(const Request& request);
    // Why a /v1 request may not go on, as its answer; nothing when it may.
    bool RefuseV1(const Request& request, Answer& answer) const;

    FrontConfig config_;
    cli::ClientFactory connect_;
    cli::InstanceLister instances_;

    std::mutex rateMutex_;
    double rateTokens_;
    std::chrono::steady_clock::time_point rateTime_;
};

}  // namespace merel::http
