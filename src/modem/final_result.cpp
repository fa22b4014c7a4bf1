#include "modem/final_result.h"

#include <cstdio>

#include "base/modem_errors.h"

namespace merel::modem {

namespace {

// The modem's words as a message may carry them: printable ASCII, anything else as \xNN.
std::string Readable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out.append(escaped);
        }
    }
    return out;
}

ModemErrorFamily Family(const AnswerEvent& event) {
    return event.kind == AnswerKind::kCmsError ? ModemErrorFamily::kCms : ModemErrorFamily::kCme;
}

}  // namespace

HRESULT FinalResultCode(const AnswerEvent& event) {
    switch (event.kind) {
        case AnswerKind::kError:
            return kModemError;
        case AnswerKind::kCmsError:
        case AnswerKind::kCmeError:
            return event.number < 0 ? kModemError : ModemErrorResult(Family(event), event.number);
        default:
            return kS_OK;
    }
}

std::string DescribeFinalResult(const AnswerEvent& event) {
    if ((event.kind == AnswerKind::kCmsError || event.kind == AnswerKind::kCmeError) &&
        event.number >= 0) {
        return ModemErrorText(Family(event), event.number);
    }
    if (event.text == "0") return "0 (OK)";
    if (event.text == "4") return "4 (ERROR)";
    return Readable(event.text);
}

}  // namespace merel::modem
