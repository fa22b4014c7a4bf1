#include "http/front.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/failure.h"
#include "http/alertmanager.h"
#include "http/form.h"
#include "interface/instance_name.h"
#include "sms/rules.h"

namespace merel::http {
namespace {

using nlohmann::json;

Answer Text(int status, std::string text) {
    Answer answer;
    answer.status = status;
    answer.body = std::move(text) + "\n";
    return answer;
}

Answer Json(int status, const json& value) {
    Answer answer;
    answer.status = status;
    answer.contentType = "application/json";
    answer.body = value.dump() + "\n";
    return answer;
}

json ErrorObject(const std::string& error, const std::string& hint = {}) {
    return json{{"hresult", nullptr},
                {"error", error},
                {"hint", hint.empty() ? json(nullptr) : json(hint)}};
}

// Input that merel-sms refuses is the client's to mend; anything else is the modem's or the
// service's, which a later try, or another modem, may get past.
int StatusOf(int exitCode) {
    return exitCode == cli::kExitUsage || exitCode == cli::kExitDataErr ? 400 : 503;
}

// A command's JSON object, or an object that says why there is none.
json Parsed(const std::string& text) {
    json value = json::parse(text, nullptr, false);
    if (value.is_object()) return value;
    return ErrorObject("merel-sms gave no answer: " + text.substr(0, 200));
}

std::string StringOr(const json& object, const char* key, const std::string& fallback = {}) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
}

// The CLI's failure as the client sees it: hresult, error and hint.
json FailureObject(const json& outcome) {
    return json{{"hresult", outcome.value("hresult", json(nullptr))},
                {"error", outcome.value("error", json("failed"))},
                {"hint", outcome.value("hint", json(nullptr))}};
}

// Compares in a time that does not depend on where they differ: a secret is not guessed by
// timing the refusals. (Its length may show.)
bool SameSecret(const std::string& given, const std::string& expected) {
    if (given.size() != expected.size()) return false;
    unsigned difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |=
            static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0;
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(separators, at)) != std::string::npos) {
        const std::size_t end = text.find_first_of(separators, at);
        parts.push_back(text.substr(at, end - at));
        at = end;
    }
    return parts;
}

// Why `modem`, named by the request's `what`, cannot be an instance's name; empty when it can.
std::string ModemRefusal(const std::string& modem, const std::string& what) {
    if (modem.empty() || wire::IsInstanceName(modem)) return {};
    return "invalid " + what + " '" + modem + "': a modem's name is " + wire::kInstanceNameRule;
}

bool IsForm(const Request& request) {
    return request.contentType.starts_with("application/x-www-form-urlencoded");
}

}  // namespace

Front::Front(FrontConfig config, cli::ClientFactory connect, cli::InstanceLister instances)
    : config_(std::move(config)),
      connect_(std::move(connect)),
      instances_(std::move(instances)),
      rateTokens_(config_.ratePerMinute),
      rateTime_(std::chrono::steady_clock::now()) {}

Front::Outcome Front::Run(const std::string& modem, std::vector<std::string> command,
                          const std::string& input) {
    std::vector<std::string> args{"merel-sms", "--json", "--timeout",
                                  std::to_string(static_cast<long long>(config_.timeoutSeconds))};
    if (config_.systemBus) args.emplace_back("--system");
    if (!modem.empty()) {
        args.emplace_back("--modem");
        args.push_back(modem);
    }
    args.insert(args.end(), command.begin(), command.end());
    std::istringstream in(input);
    std::ostringstream out, err;
    cli::Console console{in, out, err};
    Outcome outcome;
    outcome.exitCode = cli::RunCli(connect_, args, console, {}, instances_);
    // The JSON object is the last line; CLI11's own refusals print none.
    std::string text = out.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    outcome.json = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    if (outcome.json.empty()) {
        std::string message = err.str();
        while (!message.empty() && message.back() == '\n') message.pop_back();
        const std::string prefix = "merel-sms: ";
        if (message.starts_with(prefix)) message.erase(0, prefix.size());
        outcome.json = ErrorObject(message.substr(0, message.find('\n'))).dump();
    }
    return outcome;
}

Front::Outcome Front::Send(const std::string& modem, const std::string& mode,
                           const std::string& number, const std::string& text) {
    // "-" would mean standard input to merel-sms: that text goes there, as it is.
    if (text == "-") return Run(modem, {"send", "--mode", mode, "--", number}, text);
    return Run(modem, {"send", "--mode", mode, "--", number, text});
}

bool Front::TakeRateToken() {
    const std::lock_guard lock(rateMutex_);
    const auto now = std::chrono::steady_clock::now();
    const double minutes = std::chrono::duration<double>(now - rateTime_).count() / 60;
    rateTime_ = now;
    rateTokens_ =
        std::min<double>(config_.ratePerMinute, rateTokens_ + minutes * config_.ratePerMinute);
    if (rateTokens_ < 1) return false;
    rateTokens_ -= 1;
    return true;
}

Answer Front::Handle(const Request& request) {
    struct Route {
        const char* path;
        const char* method;
        Answer (Front::*handler)(const Request&);
    };
    static const Route routes[] = {
        {"/cgi-bin/sendsms", "GET", &Front::Sendsms},
        {"/cgi-bin/sendsms", "POST", &Front::Sendsms},
        {"/v1/messages", "POST", &Front::Messages},
        {"/v1/modems", "GET", &Front::Modems},
        {"/v1/alertmanager", "POST", &Front::Alertmanager},
    };
    std::string allowed;
    const Route* route = nullptr;
    for (const Route& candidate : routes) {
        if (request.path != candidate.path) continue;
        if (request.method == candidate.method) route = &candidate;
        allowed.append(allowed.empty() ? "" : ", ").append(candidate.method);
    }
    const bool v1 = request.path.starts_with("/v1/");
    if (allowed.empty()) {
        const std::string text = "no such resource: " + request.path;
        return v1 ? Json(404, ErrorObject(text,
                                          "the resources are /v1/messages, /v1/modems and "
                                          "/v1/alertmanager"))
                  : Text(404, text);
    }
    if (!route) {
        Answer answer = v1 ? Json(405, ErrorObject(request.method + " is not allowed here"))
                           : Text(405, request.method + " is not allowed here");
        answer.headers.emplace_back("Allow", allowed);
        return answer;
    }
    if (request.body.size() > config_.maxBody) {
        const std::string text =
            "the request's body is larger than " + std::to_string(config_.maxBody) + " bytes";
        return v1 ? Json(413, ErrorObject(text)) : Text(413, text + ", rejected");
    }
    if (!TakeRateToken()) {
        const std::string text = "more than " + std::to_string(config_.ratePerMinute) +
                                 " requests a minute; try again later";
        // A gateway retries a temporary failure later, or through another front.
        Answer answer = v1 ? Json(429, ErrorObject(text)) : Text(503, kTemporaryFailure + text);
        answer.headers.emplace_back("Retry-After", "60");
        return answer;
    }
    return (this->*route->handler)(request);
}

Answer Front::Sendsms(const Request& request) {
    if (!ServesSendsms(config_)) {
        return Text(403, "sendsms is not served on " + config_.host +
                             " without a username and password in the configuration");
    }
    FormParams params;
    std::string error;
    if (!ParseForm(request.query, params, error) ||
        (request.method == "POST" && IsForm(request) && !ParseForm(request.body, params, error))) {
        return Text(400, error + ", rejected");
    }
    if (config_.SendsmsNeedsCredentials()) {
        const bool user = SameSecret(First(params, "username").value_or(""), config_.username);
        const bool password = SameSecret(First(params, "password").value_or(""), config_.password);
        if (!user || !password) return Text(403, kAuthorizationFailed);
    }
    const std::vector<std::string> numbers = Split(First(params, "to").value_or(""), " ");
    if (numbers.empty()) return Text(400, "Missing receiver number, rejected");
    if (numbers.size() > kMaxReceivers) {
        return Text(400, "More than " + std::to_string(kMaxReceivers) + " receivers, rejected");
    }
    const std::string rawText = First(params, "text").value_or("");
    if (rawText.empty()) return Text(400, "Missing text, rejected");
    const std::optional<std::string> text =
        ToUtf8(rawText, First(params, "charset").value_or(""), error);
    if (!text) return Text(400, error + ", rejected");
    const std::string coding = First(params, "coding").value_or("");
    std::string mode;
    if (coding.empty()) {
        mode = "auto";
    } else if (coding == "0") {
        mode = "text";
    } else if (coding == "2") {
        mode = "pdu";
    } else {
        return Text(400, "coding " + coding +
                             " is not supported (0: text mode, 2: UCS2 in PDU mode), rejected");
    }
    const std::string modem = First(params, "smsc").value_or(config_.modem);
    if (const std::string refusal = ModemRefusal(modem, "smsc"); !refusal.empty()) {
        return Text(400, refusal + ", rejected");
    }

    std::vector<std::string> sent;
    json last;
    for (const std::string& number : numbers) {
        const Outcome outcome = Send(modem, mode, number, *text);
        last = Parsed(outcome.json);
        if (outcome.exitCode != cli::kExitOk) {
            std::string said = StringOr(last, "error", "failed");
            if (!sent.empty()) {
                std::string list;
                for (const std::string& done : sent)
                    list.append(list.empty() ? "" : " ").append(done);
                said.append(" (sent to ").append(list).append(" before it)");
            }
            const int status = StatusOf(outcome.exitCode);
            return Text(status, status == 400 ? said + ", rejected" : kTemporaryFailure + said);
        }
        sent.push_back(number);
    }
    Answer answer = Text(202, kAccepted);
    if (numbers.size() == 1) {
        const bool confirmed = last.value("confirmed", false);
        answer.headers.emplace_back("X-Merel-Confirmed", confirmed ? "yes" : "no");
        if (confirmed && last.contains("reference") && last["reference"].is_number()) {
            answer.headers.emplace_back("X-Merel-Reference", last["reference"].dump());
        }
    }
    return answer;
}

bool Front::RefuseV1(const Request& request, Answer& answer) const {
    if (!ServesV1(config_)) {
        answer = Json(403, ErrorObject("/v1 is not served on " + config_.host +
                                           " without a token in the configuration",
                                       "set token = ... in the configuration file"));
        return true;
    }
    if (!config_.token.empty() &&
        !SameSecret(request.authorization, std::string("Bearer ") + config_.token)) {
        answer = Json(
            401, ErrorObject(request.authorization.empty() ? "this request needs a bearer token"
                                                           : "the bearer token is wrong",
                             "send the header Authorization: Bearer TOKEN"));
        answer.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"merel-sms-http\"");
        return true;
    }
    return false;
}

Answer Front::Messages(const Request& request) {
    Answer refusal;
    if (RefuseV1(request, refusal)) return refusal;
    const json body = json::parse(request.body, nullptr, false);
    const char* kShape = R"(send {"to": "NUMBER", "text": "TEXT"}, optionally "mode" and "modem")";
    if (!body.is_object()) return Json(400, ErrorObject("the body is not a JSON object", kShape));
    for (const char* key : {"to", "text", "mode", "modem"}) {
        if (body.contains(key) && !body[key].is_string()) {
            return Json(400, ErrorObject(std::string("\"") + key + "\" is not a string", kShape));
        }
    }
    const std::string to = StringOr(body, "to"), text = StringOr(body, "text");
    if (to.empty()) return Json(400, ErrorObject("\"to\" is missing", kShape));
    if (text.empty()) return Json(400, ErrorObject("\"text\" is missing or empty", kShape));
    const std::string modem = StringOr(body, "modem", config_.modem);
    if (const std::string refusal = ModemRefusal(modem, "modem"); !refusal.empty()) {
        return Json(400, ErrorObject(refusal, "merel-sms modems lists the modems there are"));
    }
    const Outcome outcome = Send(modem, StringOr(body, "mode", "auto"), to, text);
    const json result = Parsed(outcome.json);
    if (outcome.exitCode != cli::kExitOk) {
        return Json(StatusOf(outcome.exitCode), FailureObject(result));
    }
    return Json(200, json{{"confirmed", result.value("confirmed", false)},
                          {"reference", result.value("reference", json(nullptr))},
                          {"modem", modem.empty() ? json(nullptr) : json(modem)},
                          {"mode", result.value("mode", json(nullptr))},
                          {"seconds", result.value("seconds", json(nullptr))},
                          {"warnings", result.value("warnings", json::array())}});
}

Answer Front::Modems(const Request& request) {
    Answer refusal;
    if (RefuseV1(request, refusal)) return refusal;
    // Every instance on the bus, whatever the default modem is.
    const Outcome outcome = Run({}, {"modems"});
    const json result = Parsed(outcome.json);
    if (outcome.exitCode != cli::kExitOk) return Json(503, FailureObject(result));
    return Json(200, json{{"modems", result.value("modems", json::array())}});
}

Answer Front::Alertmanager(const Request& request) {
    Answer refusal;
    if (RefuseV1(request, refusal)) return refusal;
    FormParams params;
    std::string error;
    if (!ParseForm(request.query, params, error)) return Json(400, ErrorObject(error));
    const std::vector<std::string> numbers = Split(First(params, "to").value_or(""), ", ");
    const char* kUrl = "give the numbers in the URL: /v1/alertmanager?to=%2B491701234567";
    if (numbers.empty()) return Json(400, ErrorObject("the URL names no number (to=)", kUrl));
    if (numbers.size() > kMaxReceivers) {
        return Json(400, ErrorObject("more than " + std::to_string(kMaxReceivers) + " numbers"));
    }
    // PDU mode by default: alerts name hosts and labels in any script.
    const std::string mode = First(params, "mode").value_or("pdu");
    if (mode != "pdu" && mode != "text") {
        return Json(400, ErrorObject("mode is pdu or text, not " + mode));
    }
    const std::optional<std::string> text = AlertmanagerText(
        request.body, mode == "text" ? kSmsTextModeCharacters : kMaxPduUnits, error);
    if (!text)
        return Json(400, ErrorObject(error, "point an Alertmanager webhook_configs url here"));
    const std::string modem = First(params, "modem").value_or(config_.modem);
    if (const std::string refusal = ModemRefusal(modem, "modem"); !refusal.empty()) {
        return Json(400, ErrorObject(refusal));
    }
    int sent = 0;
    for (const std::string& number : numbers) {
        const Outcome outcome = Send(modem, mode, number, *text);
        if (outcome.exitCode != cli::kExitOk) {
            json failure = FailureObject(Parsed(outcome.json));
            failure["sent"] = sent;
            return Json(StatusOf(outcome.exitCode), failure);
        }
        ++sent;
    }
    return Json(200, json{{"sent", sent}, {"text", *text}});
}

}  // namespace merel::http
