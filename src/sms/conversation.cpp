#include "sms/conversation.h"

#include <algorithm>
#include <optional>

#include "modem/final_result.h"
#include "port/pause.h"

namespace merel {

namespace {

using modem::AnswerEvent;
using modem::AnswerKind;

bool IsRefusal(const AnswerEvent& event) {
    return modem::IsFinalResult(event) && event.kind != AnswerKind::kOk;
}

const AnswerEvent* FirstFinal(const std::vector<AnswerEvent>& events) {
    const auto found = std::ranges::find_if(events, modem::IsFinalResult);
    return found == events.end() ? nullptr : &*found;
}

bool Has(const std::vector<AnswerEvent>& events, AnswerKind kind) {
    return std::ranges::any_of(events, [kind](const AnswerEvent& e) { return e.kind == kind; });
}

HRESULT Refused(Failure& failure, const std::string& number, const std::string& command,
                const AnswerEvent& answer) {
    failure = {modem::FinalResultCode(answer),
               "the modem refused the SMS to " + number,
               command + modem::DescribeFinalResult(answer),
               {}};
    return failure.hr;
}

}  // namespace

HRESULT Converse(const ModemPort& modem, const std::vector<Exchange>& table,
                 const std::string& number, Failure& failure, SendOutcome* outcome) {
    modem::ModemLine unread;
    modem::ModemLine& line = modem.line != nullptr ? *modem.line : unread;
    SendOutcome unused;
    SendOutcome& out = outcome != nullptr ? *outcome : unused;
    out = {};
    const auto heard = [&out](std::vector<AnswerEvent> events) {
        for (const AnswerEvent& e : events) {
            if (modem::IsFinalResult(e) || e.kind == AnswerKind::kPrompt) out.answering = true;
        }
        return events;
    };

    std::optional<AnswerEvent> verdict;  // the modem's final result on the message
    bool textMode = false;
    for (const Exchange& exchange : table) {
        const bool joined = line.resetOnLine;
        if (const HRESULT hr = modem.write(exchange.bytes); Failed(hr)) {
            if (exchange.role == Role::kReset && verdict) {
                // The verdict is in: a modem that took the SMS and was then pulled out sent it.
                if (!IsRefusal(*verdict)) {
                    failure = {};
                    return kS_OK;
                }
                return Refused(failure, number, {}, *verdict);
            }
            if (exchange.role == Role::kOpening || exchange.role == Role::kBody) {
                modem.cancelMessage();
            }
            return hr;
        }
        line.resetOnLine = exchange.role == Role::kReset;
        std::vector<AnswerEvent> events =
            heard(modem.answers ? modem.answers() : std::vector<AnswerEvent>{});

        switch (exchange.role) {
            case Role::kCharacterSet:
                textMode = true;
                // After AT$RESET the command shares its line, and that line's ERROR says
                // nothing about the character set.
                if (const AnswerEvent* answer = FirstFinal(events);
                    !joined && answer != nullptr && IsRefusal(*answer)) {
                    line.refusesPccp437 = true;
                }
                break;
            case Role::kOpening:
                // Written after a refusal, a text would be read as a command line of its own.
                if (const AnswerEvent* answer = FirstFinal(events);
                    answer != nullptr && IsRefusal(*answer) && !Has(events, AnswerKind::kPrompt)) {
                    const HRESULT hr = Refused(failure, number, "AT+CMGS was answered ", *answer);
                    modem.cancelMessage();
                    return hr;
                }
                break;
            case Role::kBody: {
                // Anything written before the verdict would cancel the SMS on many modems.
                if (FirstFinal(events) == nullptr && out.answering && modem.awaitFinal) {
                    for (AnswerEvent& e :
                         heard(modem.awaitFinal(kVerdictWaitMs - kCommandPauseMs))) {
                        events.push_back(std::move(e));
                    }
                }
                for (const AnswerEvent& e : events) {
                    if (e.kind == AnswerKind::kMessageReference && out.reference < 0) {
                        out.reference = e.number;
                    }
                }
                if (const AnswerEvent* answer = FirstFinal(events); answer != nullptr) {
                    verdict = *answer;
                } else if (out.answering) {
                    failure = {hresult::kTimeout,
                               "the modem did not confirm the SMS within " +
                                   std::to_string(kVerdictWaitMs / 1000) + " s",
                               "it may or may not have been sent",
                               {}};
                    modem.cancelMessage();
                    return hresult::kTimeout;
                }
                break;
            }
            case Role::kSetting:
            case Role::kReset:
                // Settings the modem refuses leave its own in force; AT$RESET's answer depends
                // on what shares its line.
                break;
        }
    }
    if (textMode && line.refusesPccp437) out.warnings.emplace_back(kNoPccp437Warning);
    if (verdict && IsRefusal(*verdict)) return Refused(failure, number, {}, *verdict);
    return kS_OK;
}

}  // namespace merel
