#include "host/common/argument_limits.h"

#include <string>
#include <utility>

#include "interface/description.h"

namespace merel::host {

namespace {

// What a message calls the argument, and its name in the interface.
struct Naming {
    const char* words;
    wire::Slot slot;
    std::size_t index;
};

Naming NamingOf(StringArgument argument) {
    switch (argument) {
        case StringArgument::kNumber:
            return {"number", wire::Slot::kSendTextMessage, 0};
        case StringArgument::kText:
            return {"text", wire::Slot::kSendTextMessage, 1};
        case StringArgument::kPort:
            break;
    }
    return {"port name", wire::Slot::kSetSettings, 0};
}

const char* UnitWords(Units units) {
    return units == Units::kUtf8Bytes ? "bytes of UTF-8" : "UTF-16 units";
}

}  // namespace

std::size_t MaxLength(StringArgument argument) {
    return argument == StringArgument::kPort ? kMaxPortName : kMaxNumberOrText;
}

std::optional<Failure> RefuseOversized(Units units, std::initializer_list<Measured> arguments) {
    for (const Measured& m : arguments) {
        const std::size_t limit = MaxLength(m.argument);
        if (m.length <= limit) continue;
        const Naming naming = NamingOf(m.argument);
        std::string what = naming.words;
        what.append(" (")
            .append(wire::Method(naming.slot).arguments[naming.index].name)
            .append(") refused");
        std::string detail = "it has ";
        if (units == Units::kUtf8Bytes && m.length == kLongestArrivingString) {
            detail.append("at least ");
        }
        detail.append(std::to_string(m.length))
            .append(" ")
            .append(UnitWords(units))
            .append("; the server takes at most ")
            .append(std::to_string(limit));
        return Failure{kE_INVALIDARG, std::move(what), std::move(detail), {}};
    }
    return std::nullopt;
}

}  // namespace merel::host
