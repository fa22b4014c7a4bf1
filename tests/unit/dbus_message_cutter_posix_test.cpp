#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/argument_limits.h"
#include "host/dbus/message_cutter.h"

namespace merel::dbus {
namespace {

constexpr std::size_t kCut = host::kLongestArrivingString;

// Writes D-Bus values as the wire has them, aligned from the start of what it writes.
class Wire {
  public:
    explicit Wire(bool big) : big_(big) {}
    Wire& Pad(std::size_t to) {
        bytes_.resize((bytes_.size() + to - 1) / to * to, '\0');
        return *this;
    }
    Wire& Byte(std::uint8_t v) {
        bytes_.push_back(static_cast<char>(v));
        return *this;
    }
    Wire& U32(std::uint32_t v) {
        Pad(4);
        for (int i = 0; i < 4; ++i) {
            bytes_.push_back(static_cast<char>(big_ ? v >> (24 - 8 * i) : v >> (8 * i)));
        }
        return *this;
    }
    Wire& U64(std::uint64_t v) {
        Pad(8);
        for (int i = 0; i < 8; ++i) {
            bytes_.push_back(static_cast<char>(big_ ? v >> (56 - 8 * i) : v >> (8 * i)));
        }
        return *this;
    }
    Wire& String(std::string_view s) {
        U32(static_cast<std::uint32_t>(s.size()));
        bytes_.append(s).push_back('\0');
        return *this;
    }
    Wire& Signature(std::string_view s) {
        Byte(static_cast<std::uint8_t>(s.size()));
        bytes_.append(s).push_back('\0');
        return *this;
    }
    // A header field of one string-like type.
    Wire& Field(std::uint8_t code, char type, std::string_view value) {
        Pad(8).Byte(code).Signature(std::string(1, type));
        return type == 'g' ? Signature(value) : String(value);
    }
    const std::string& bytes() const { return bytes_; }

  private:
    bool big_;
    std::string bytes_;
};

// A call of SendTextMessage as a client's bus library writes it, as the bus delivers it.
std::string Call(std::string_view signature, const std::string& body, bool big = false,
                 std::uint32_t serial = 7) {
    Wire fields(big);
    fields.Field(1, 'o', "/SMSMgr")
        .Field(2, 's', "MerelSMSManager.SMSMgr")
        .Field(3, 's', "SendTextMessage")
        .Field(6, 's', "MerelSMSManager.SMSMgr")
        .Field(7, 's', ":1.42");
    if (!signature.empty()) fields.Field(8, 'g', signature);
    Wire m(big);
    m.Byte(big ? 'B' : 'l').Byte(1).Byte(0).Byte(1);
    m.U32(static_cast<std::uint32_t>(body.size())).U32(serial);
    // The fields are laid out from offset 16, which is a multiple of 8: their alignment holds.
    m.U32(static_cast<std::uint32_t>(fields.bytes().size()));
    std::string out = m.bytes() + fields.bytes();
    out.resize((out.size() + 7) / 8 * 8, '\0');
    return out + body;
}

const std::string kGreeting = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\n";

// What the library gets when `stream` arrives in pieces of `piece` bytes.
std::string Cut(const std::string& stream, std::size_t piece) {
    MessageCutter cutter;
    std::string out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        EXPECT_TRUE(cutter.Feed(std::string_view(stream).substr(at, piece), out));
    }
    return out;
}

// Every way of arriving gives the same bytes: one piece, byte by byte, and odd pieces.
void ExpectCutTo(const std::string& stream, const std::string& expected) {
    for (const std::size_t piece :
         {stream.size(), std::size_t{1}, std::size_t{7}, std::size_t{65536}}) {
        EXPECT_EQ(Cut(stream, piece), expected) << "in pieces of " << piece;
    }
}

TEST(MessageCutter, PassesTheGreetingAndMessagesOfUsualSizeUntouched) {
    for (const bool big : {false, true}) {
        const std::string small =
            Call("ssi", Wire(big).String("+49 170 1234567").String("Hello").U32(0).bytes(), big);
        const std::string atTheLimit =
            Call("s", Wire(big).String(std::string(kLargestWholeBody - 5, 'x')).bytes(), big);
        const std::string noBody = Call("", "", big);
        const std::string stream = kGreeting + small + atTheLimit + noBody + small;
        ExpectCutTo(stream, stream);
    }
}

TEST(MessageCutter, CutsTheLongStringsOfALargeCallAndKeepsItsOtherValues) {
    for (const bool big : {false, true}) {
        const std::string number = "+49 170 1234567";
        const std::string text(1024 * 1024, 'x');
        // "i" after the cut string lands at a new offset; "t" needs 8-byte alignment.
        const std::string sent = Call(
            "ysits",
            Wire(big).Byte(3).String(text).U32(42).U64(0x0102030405060708).String(number).bytes(),
            big, 9);
        const std::string kept = Call("ysits",
                                      Wire(big)
                                          .Byte(3)
                                          .String(std::string(kCut, 'x'))
                                          .U32(42)
                                          .U64(0x0102030405060708)
                                          .String(number)
                                          .bytes(),
                                      big, 9);
        ExpectCutTo(kGreeting + sent + Call("", ""), kGreeting + kept + Call("", ""));
    }
}

TEST(MessageCutter, ACutInsideACharacterEndsInBlanks) {
    // "é" is two bytes; with one ASCII byte in front, the cut falls inside one.
    const std::string text = "a" + [] {
        std::string s;
        for (int i = 0; i < 40000; ++i) s += "\xC3\xA9";
        return s;
    }();
    std::string kept = text.substr(0, kCut - 1) + " ";
    ExpectCutTo(kGreeting + Call("s", Wire(false).String(text).bytes()),
                kGreeting + Call("s", Wire(false).String(kept).bytes()));
    // A four-byte character cut after its first byte.
    const std::string wide =
        std::string(kCut - 1, 'a') + "\xF0\x9F\x98\x80" + std::string(70000, 'b');
    ExpectCutTo(
        kGreeting + Call("s", Wire(false).String(wide).bytes()),
        kGreeting + Call("s", Wire(false).String(std::string(kCut - 1, 'a') + " ").bytes()));
}

TEST(MessageCutter, ALargeMessageOfAnotherShapeLosesItsBody) {
    // An array is not cut: the message goes on without signature and body, so that the library
    // answers that the arguments are invalid. The next message is untouched.
    const std::string next = Call("s", Wire(false).String("next").bytes(), false, 8);
    const std::string array = Wire(false).U32(100000).bytes() + std::string(100000, 'z');
    ExpectCutTo(kGreeting + Call("ay", array) + next, kGreeting + Call("", "") + next);
    // So does a plain one whose strings overrun its body, or that has bytes left over.
    std::string overrun = Call("s", Wire(false).String(std::string(100000, 'o')).bytes());
    overrun[overrun.size() - 100005 + 3] = '\x7F';  // the string's length, far too long
    ExpectCutTo(kGreeting + overrun + next, kGreeting + Call("", "") + next);
    const std::string extra =
        Call("u", Wire(false).U32(1).bytes() + std::string(kLargestWholeBody, '\0'));
    ExpectCutTo(kGreeting + extra + next, kGreeting + Call("", "") + next);
    // And one with too many long strings to keep even cut.
    Wire many(false);
    for (std::size_t i = 0; i < kLargestCutBody / kCut + 1; ++i)
        many.String(std::string(kCut, 'm'));
    ExpectCutTo(kGreeting + Call(std::string(kLargestCutBody / kCut + 1, 's'), many.bytes()) + next,
                kGreeting + Call("", "") + next);
}

TEST(MessageCutter, AMessageWithAnOversizedHeaderIsDropped) {
    std::string huge = Call("", "");
    // Fields beyond the limit, announced in the fixed part: the whole message goes.
    const std::uint32_t fields = kLargestHeaderFields + 8;
    huge = huge.substr(0, 12) + Wire(false).U32(fields).bytes() + std::string(fields, '\0') +
           std::string(100, 'b');
    huge[4] = 100;  // body length
    const std::string next = Call("s", Wire(false).String("next").bytes());
    ExpectCutTo(kGreeting + huge + next, kGreeting + next);
}

TEST(MessageCutter, RefusesAStreamThatIsNotABus) {
    MessageCutter cutter;
    std::string out;
    EXPECT_TRUE(cutter.Feed(kGreeting, out));
    EXPECT_FALSE(cutter.Feed(std::string(16, 'X'), out));
    MessageCutter endless;
    EXPECT_FALSE(endless.Feed(std::string(5000, 'D'), out));
}

}  // namespace
}  // namespace merel::dbus
