#include <string>

#include "base/narrow.h"
#include "sms/conversation.h"
#include "sms/pdu.h"
#include "sms/rules.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"

namespace merel {

HRESULT SubmitPduMessage(const ModemPort& modem, std::u16string_view phoneNr,
                         std::u16string_view message, Failure& failure, SendOutcome* outcome) {
    // Encoded before anything is written, so that a number that cannot be encoded leaves the
    // modem untouched. With at most 20 address digits and 70 units of text the PDU always fits
    // the 1024-byte command buffer that the commands are designed around.
    EncodedPdu pdu;
    std::string why;
    const HRESULT encoded =
        EncodeSubmitPdu(NumberWithoutSpaces(phoneNr), UpToNul(message), pdu, why);
    if (Failed(encoded)) return Refuse(failure, "number " + Quoted(phoneNr), why, PduNumberRule());

    return Converse(modem,
                    {
                        {"AT+CSCS=\"UCS2\"\n\r", Role::kSetting},
                        {"AT+CMEE=2\n\r", Role::kSetting},
                        {"AT+CMGF=0\n\r", Role::kSetting},
                        {"AT+CMGS=" + std::to_string(pdu.length) + "\n\r", Role::kOpening},
                        {pdu.hex + "\x1A\n\r", Role::kBody},
                        {"AT$RESET", Role::kReset},
                    },
                    Utf16ToUtf8(UpToNul(phoneNr)), failure, outcome);
}

}  // namespace merel
