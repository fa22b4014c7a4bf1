#include "modem/final_result.h"

#include "base/modem_errors.h"

namespace merel::modem {

namespace {

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
    return EscapeModemBytes(event.text);
}

}  // namespace merel::modem
