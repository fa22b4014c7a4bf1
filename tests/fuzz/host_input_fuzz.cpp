// What the hosts decide on a call's arrival, before the manager sees it, fed any input:
// - the length check of string arguments refuses exactly the calls with an argument beyond
//   its limit, with E_INVALIDARG naming the first such argument, its length and the limit;
// - the call queue, under any sequence of calls from a few callers, callers leaving and the
//   worker taking calls, takes a call exactly when its caller and the whole queue are within
//   their bounds, and never holds more;
// - the record of a call, as a line on standard error, reads back as the fields it was written
//   from, whatever they hold (line breaks become spaces), and any line reads without harm.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "host/common/argument_limits.h"
#include "host/common/call_queue.h"
#include "interface/record_line.h"

using namespace merel;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void CheckLengths(fuzz::FuzzInput& in) {
    const host::Units units = in.Byte() % 2 ? host::Units::kUtf8Bytes : host::Units::kUtf16Units;
    std::vector<host::Measured> arguments;
    for (int n = in.Byte() % 4; n > 0; --n) {
        const auto argument = static_cast<host::StringArgument>(in.Byte() % 3);
        // Lengths cluster at the limits, and reach far beyond them.
        std::size_t length = 0;
        switch (in.Byte() % 3) {
            case 0:
                length = host::MaxLength(argument) + (in.Byte() % 3) - 1;
                break;
            case 1:
                length = static_cast<std::uint32_t>(in.Int32());
                break;
            default:
                length = in.Unit();
                break;
        }
        arguments.push_back({argument, length});
    }
    std::optional<Failure> refused;
    switch (arguments.size()) {
        case 0:
            refused = host::RefuseOversized(units, {});
            break;
        case 1:
            refused = host::RefuseOversized(units, {arguments[0]});
            break;
        case 2:
            refused = host::RefuseOversized(units, {arguments[0], arguments[1]});
            break;
        default:
            refused = host::RefuseOversized(units, {arguments[0], arguments[1], arguments[2]});
            break;
    }
    const host::Measured* first = nullptr;
    for (const host::Measured& m : arguments) {
        if (m.length > host::MaxLength(m.argument)) {
            first = &m;
            break;
        }
    }
    fuzz::Require(refused.has_value() == (first != nullptr));
    if (!refused) return;
    const std::string text = refused->Text();
    fuzz::Require(refused->hr == kE_INVALIDARG);
    // A string of the length the D-Bus service cuts long strings to may have been longer.
    const bool cut =
        units == host::Units::kUtf8Bytes && first->length == host::kLongestArrivingString;
    fuzz::Require(Contains(
        text, (cut ? "it has at least " : "it has ") + std::to_string(first->length) + " "));
    fuzz::Require(Contains(text, "at most " + std::to_string(host::MaxLength(first->argument))));
    const char* names[] = {"number (", "text (", "port name ("};
    fuzz::Require(text.starts_with(names[static_cast<int>(first->argument)]));
}

void CheckQueue(fuzz::FuzzInput& in) {
    const CallQueue::Bounds bounds{1u + in.Byte() % 4, 1u + in.Byte() % 8};
    Lifetime lifetime{std::chrono::milliseconds(1000), std::chrono::milliseconds(0), [] {}};
    // Never started: the test takes the worker's part by dropping callers, so that what waits
    // is known at every step.
    CallQueue queue(
        lifetime, [] {}, bounds);
    const std::string callers[] = {"", ":1.1", ":1.2", ":1.3"};
    std::map<std::string, std::size_t> waiting;
    std::size_t all = 0;
    for (int step = 0; !in.Empty() && step < 256; ++step) {
        const std::string& caller = callers[in.Byte() % 4];
        if (in.Byte() % 4 == 0) {
            queue.DropCaller(caller);
            if (!caller.empty()) {
                all -= waiting[caller];
                waiting[caller] = 0;
            }
            continue;
        }
        const bool room =
            all < bounds.inAll && (caller.empty() || waiting[caller] < bounds.perCaller);
        const CallQueue::Taken taken = queue.Push(
            caller, [] { return kS_OK; }, [](CallQueue::Outcome, HRESULT) {});
        fuzz::Require(taken == (room ? CallQueue::Taken::kQueued : CallQueue::Taken::kFull));
        if (room) {
            ++waiting[caller];
            ++all;
        }
        fuzz::Require(queue.Queued() == all && all <= bounds.inAll);
    }
    queue.Stop({}, std::chrono::milliseconds(0));
    fuzz::Require(lifetime.LockCount() == 0);
}

}  // namespace

// Bytes of the input as text, with the characters that matter to the line's form made likely.
std::string Text(fuzz::FuzzInput& in) {
    static const char kTricky[] = {' ', '"', '\\', '[', ']', '=', '\n', '\r', '<', '>'};
    std::string text;
    for (int n = in.Byte() % 24; n > 0; --n) {
        const std::uint8_t b = in.Byte();
        text.push_back(b < 100 ? kTricky[b % sizeof kTricky] : static_cast<char>(b));
    }
    return text;
}

std::string Flat(std::string text) {
    for (char& c : text) c = c == '\n' || c == '\r' ? ' ' : c;
    return text;
}

void CheckRecordLine(fuzz::FuzzInput& in) {
    const int priority = in.Byte() % 8;
    const std::string message = Text(in);
    wire::RecordFields fields;
    for (int n = in.Byte() % 5; n > 0; --n) {
        std::string key = "MEREL_";
        for (char c : Text(in)) key.push_back(c >= 'A' && c <= 'Z' ? c : 'X');
        fields.emplace_back(std::move(key), Text(in));
    }
    const std::string line = wire::RecordLine(priority, message, fields);
    fuzz::Require(line.find('\n') == std::string::npos);
    const auto parsed = wire::ParseRecordLine(line);
    // A line without fields has nothing to read back; one with fields reads back whole, the
    // message with any " [MEREL_" in it turned to " (MEREL_".
    if (fields.empty()) return;
    fuzz::Require(parsed.has_value());
    std::string shownMessage = Flat(message);
    for (std::size_t at; (at = shownMessage.find(" [MEREL_")) != std::string::npos;) {
        shownMessage[at + 1] = '(';
    }
    wire::RecordFields expected = {{"PRIORITY", std::to_string(priority)},
                                   {"MESSAGE", shownMessage}};
    for (const auto& [key, value] : fields) expected.emplace_back(key, Flat(value));
    fuzz::Require(*parsed == expected);
    // Any text at all, read as a line.
    std::string other;
    while (!in.Empty()) other.push_back(static_cast<char>(in.Byte()));
    (void)wire::ParseRecordLine(other);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    switch (in.Byte() % 3) {
        case 0:
            while (!in.Empty()) CheckLengths(in);
            break;
        case 1:
            CheckQueue(in);
            break;
        default:
            CheckRecordLine(in);
            break;
    }
    return 0;
}
