#include <string>

#include "base/narrow.h"
#include "sms/pdu.h"
#include "sms/submission_steps.h"
#include "sms/submission.h"

namespace merel {

namespace {

// With 70 units of text, a number of up to 510 characters keeps the PDU string and its
// end-of-message bytes within the 1024-byte command buffer that the commands are designed
// around; a longer number is refused rather than cut.
constexpr std::size_t kMaxPduModeNumber = 510;

}  // namespace

HRESULT SubmitPduMessage(const CommandWriter& write, std::u16string_view phoneNr,
                         std::u16string_view message) {
    const std::u16string number = NumberWithoutSpaces(phoneNr);
    if (number.size() > kMaxPduModeNumber) return kE_INVALIDARG;

    // Encoded before anything is written, so that a number that cannot be encoded leaves the
    // modem untouched.
    EncodedPdu pdu;
    const HRESULT encoded = EncodeSubmitPdu(number, UpToNul(message), pdu);
    if (Failed(encoded)) return encoded;

    return WriteInOrder(write, {
                                   "AT+CSCS=\"UCS2\"\n\r",
                                   "AT+CMEE=2\n\r",
                                   "AT+CMGF=0\n\r",
                                   "AT+CMGS=" + std::to_string(pdu.length) + "\n\r",
                                   pdu.hex + "\x1A\n\r",
                                   "AT$RESET",
                               });
}

}  // namespace merel
