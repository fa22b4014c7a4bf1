#include "base/modem_errors.h"

namespace merel {

namespace {

struct Meaning {
    int number;
    const char* text;
};

// Message service errors. Below 128 the network's own causes, 128 to 255 the service centre's,
// from 300 the modem's; from 512 each manufacturer has its own, so those say so.
constexpr Meaning kCms[] = {
    {1, "unassigned number"},
    {8, "barred by the operator"},
    {10, "call barred"},
    {21, "short message transfer rejected"},
    {27, "destination out of service"},
    {28, "unidentified subscriber"},
    {29, "facility rejected"},
    {30, "unknown subscriber"},
    {38, "network out of order"},
    {41, "temporary failure"},
    {42, "congestion"},
    {47, "network resources unavailable"},
    {50, "requested facility not subscribed"},
    {69, "requested facility not implemented"},
    {95, "invalid message"},
    {96, "invalid mandatory information"},
    {111, "protocol error"},
    {127, "interworking error"},
    {128, "telematic interworking not supported"},
    {144, "data coding scheme not supported"},
    {159, "data coding scheme error"},
    {175, "command error"},
    {176, "message format not supported"},
    {192, "service centre busy"},
    {193, "no subscription at the service centre"},
    {194, "service centre failure"},
    {195, "invalid destination address"},
    {196, "destination barred"},
    {197, "duplicate message rejected"},
    {198, "validity period format not supported"},
    {199, "validity period not supported"},
    {208, "SIM message storage full"},
    {210, "error in the modem"},
    {211, "memory capacity exceeded"},
    {255, "unspecified error"},
    {300, "modem failure"},
    {301, "SMS service of the modem reserved"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid PDU mode parameter"},
    {305, "invalid text mode parameter"},
    {310, "SIM not inserted"},
    {311, "SIM PIN required"},
    {312, "PH-SIM PIN required"},
    {313, "SIM failure"},
    {314, "SIM busy"},
    {315, "SIM wrong"},
    {316, "SIM PUK required"},
    {317, "SIM PIN2 required"},
    {318, "SIM PUK2 required"},
    {320, "memory failure"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {332, "network timeout"},
    {340, "no acknowledgement expected"},
    {500, "unknown error"},
    {512, "manufacturer-specific; often: no connection to the network for the SMS"},
    {513, "manufacturer-specific; often: lower layer failure, the radio link was lost"},
    {514, "manufacturer-specific; often: protocol error with the network"},
    {515, "manufacturer-specific; often: the modem is still starting or busy, try again"},
};

// Phone, SIM and network errors.
constexpr Meaning kCme[] = {
    {0, "phone failure"},
    {1, "no connection to phone"},
    {2, "phone adaptor link reserved"},
    {3, "operation not allowed"},
    {4, "operation not supported"},
    {5, "PH-SIM PIN required"},
    {10, "SIM not inserted"},
    {11, "SIM PIN required"},
    {12, "SIM PUK required"},
    {13, "SIM failure"},
    {14, "SIM busy"},
    {15, "SIM wrong"},
    {16, "incorrect password"},
    {17, "SIM PIN2 required"},
    {18, "SIM PUK2 required"},
    {20, "memory full"},
    {21, "invalid index"},
    {22, "not found"},
    {23, "memory failure"},
    {24, "text string too long"},
    {25, "invalid characters in text string"},
    {26, "dial string too long"},
    {27, "invalid characters in dial string"},
    {30, "no network service"},
    {31, "network timeout"},
    {32, "network not allowed, emergency calls only"},
    {40, "network personalisation PIN required"},
    {100, "unknown error"},
    {103, "illegal MS"},
    {106, "illegal ME"},
    {107, "GPRS services not allowed"},
    {111, "PLMN not allowed"},
    {112, "location area not allowed"},
    {113, "roaming not allowed in this location area"},
};

template <std::size_t N>
const char* Find(const Meaning (&table)[N], int number) {
    for (const Meaning& m : table) {
        if (m.number == number) return m.text;
    }
    return nullptr;
}

}  // namespace

const char* ModemErrorMeaning(ModemErrorFamily family, int number) {
    return family == ModemErrorFamily::kCms ? Find(kCms, number) : Find(kCme, number);
}

std::string ModemErrorText(ModemErrorFamily family, int number) {
    std::string text = family == ModemErrorFamily::kCms ? "+CMS ERROR: " : "+CME ERROR: ";
    text.append(std::to_string(number));
    if (const char* meaning = ModemErrorMeaning(family, number)) {
        text.append(" (").append(meaning).append(")");
    }
    return text;
}

HRESULT ModemErrorResult(ModemErrorFamily family, int number) {
    if (number < 0 || number >= kModemErrorNumberLimit) return kModemError;
    const HRESULT base = family == ModemErrorFamily::kCms ? kModemCmsErrorBase : kModemCmeErrorBase;
    return static_cast<HRESULT>(static_cast<std::uint32_t>(base) +
                                static_cast<std::uint32_t>(number));
}

}  // namespace merel
