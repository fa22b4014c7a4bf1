// What went wrong in a call, said by the layer where it went wrong: the settings reader and
// writer, the port operations, the checks of a submission. The manager keeps the last one of
// the running call; hosts and clients only format it.
#pragma once

#include <string>
#include <string_view>

#include "base/hresult.h"

namespace merel {

// What an API caller does about a failure, said after it. Clients with commands of their own
// (merel-sms) find these words at the end of a message and give their own hint instead.
namespace advice {
inline constexpr std::string_view kNamePort = "name one with SetSettings";
inline constexpr std::string_view kWriteSettings = "write it with SetSettings";
inline constexpr std::string_view kChangeSettings = "change it with SetSettings";
inline constexpr std::string_view kCallInit = "call Init first";
inline constexpr std::string_view kOpenPort = "call Init or TestPort";
inline constexpr std::string_view kAll[] = {kNamePort, kWriteSettings, kChangeSettings, kCallInit,
                                            kOpenPort};
}  // namespace advice

struct Failure {
    HRESULT hr = kS_OK;       // the code of the step that failed
    std::string what;         // what failed, naming the file, the port or the argument
    std::string detail;       // why, where it is known
    std::string_view advice;  // one of advice::kAll, or empty

    bool Empty() const { return what.empty(); }
    // "what: detail: advice", each part where there is one.
    std::string Text() const {
        std::string text = what;
        if (!detail.empty()) text.append(": ").append(detail);
        if (!advice.empty()) text.append(": ").append(advice);
        return text;
    }
};

// A client's string as a message can show it on one line, in quotes: control characters
// spelled out (\x0A), and a long one cut short after `shown` units.
std::string Quoted(std::u16string_view text, std::size_t shown = 32);

// The message without the advice at its end, when it ends with one.
inline std::string_view WithoutAdvice(std::string_view message) {
    for (std::string_view words : advice::kAll) {
        if (message.size() > words.size() + 2 && message.ends_with(words) &&
            message.substr(message.size() - words.size() - 2, 2) == ": ") {
            return message.substr(0, message.size() - words.size() - 2);
        }
    }
    return message;
}

}  // namespace merel
