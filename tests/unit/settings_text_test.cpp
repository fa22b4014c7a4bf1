// The settings text on its own: the writer's exact bytes and limits, the reader's line and
// value rules, and the round trip between the two.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/hresult.h"
#include "base/narrow.h"
#include "settings/settings_text.h"

namespace merel {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

const std::string kCom1Defaults =
    "Port:COM1\r\n"
    "Baudrate:460800\r\n"
    "DataBits:8\r\n"
    "Parity:0(0=None,1=Odd,2=Even)\r\n"
    "StopBits:0(0=1,1=1.5,2=2)\r\n"
    "Handshaking:1(0=Off,1=Hardware,2=Software)\r\n"
    "ReadTimeout:0(0=Nonblocking,1=Blockinging)\r\n"
    "SMSCharacterSet:0(0=PCCP437(default),1=UCS2(PDU mode))\r\n";

SettingsRecord Com1Defaults() {
    SettingsRecord r;
    r.port = u"COM1";
    return r;
}

// A record in which no member has its default, so that a change by the reader always shows.
SettingsRecord Unusual() {
    SettingsRecord r;
    r.port = u"before";
    r.baudrate = 1;
    r.dataBits = 2;
    r.parity = 3;
    r.stopBits = 4;
    r.handshake = 5;
    r.readTimeout = 6;
    r.characterSet = 7;
    return r;
}

SettingsRecord Parsed(std::u16string_view text, SettingsRecord start = Unusual()) {
    ParseSettingsText(text, start);
    return start;
}

std::vector<std::size_t> LineLengths(const std::string& bytes) {
    std::vector<std::size_t> lengths;
    std::size_t start = 0;
    for (auto end = bytes.find("\r\n"); end != std::string::npos; end = bytes.find("\r\n", start)) {
        lengths.push_back(end + 2 - start);
        start = end + 2;
    }
    EXPECT_EQ(start, bytes.size()) << "text after the last CR LF";
    return lengths;
}

// ---- writer ----

TEST(SettingsTextWriter, FileForCom1AndDefaultsByteForByte) {
    std::string bytes;
    ASSERT_EQ(BuildSettingsBytes(Com1Defaults(), bytes), kS_OK);
    EXPECT_EQ(bytes, kCom1Defaults);
    EXPECT_EQ(bytes.size(), 242u);
    const std::string firstLine = "\x50\x6F\x72\x74\x3A\x43\x4F\x4D\x31\x0D\x0A";
    EXPECT_EQ(bytes.substr(0, 11), firstLine);
    EXPECT_EQ(LineLengths(bytes), (std::vector<std::size_t>{11, 17, 12, 31, 27, 44, 44, 56}));
    EXPECT_EQ(BuildSettingsText(Com1Defaults()), WidenLatin1(kCom1Defaults));
}

TEST(SettingsTextWriter, EmptyPortGives238Bytes) {
    std::string bytes;
    ASSERT_EQ(BuildSettingsBytes(SettingsRecord{}, bytes), kS_OK);
    EXPECT_EQ(bytes.size(), 238u);
    EXPECT_EQ(bytes.substr(0, 7), "Port:\r\n");
    EXPECT_EQ(bytes.substr(7), kCom1Defaults.substr(11));
}

TEST(SettingsTextWriter, NumbersAreSignedDecimalWithoutPadding) {
    SettingsRecord r;
    r.port = u"  COM 3 ";
    r.baudrate = 115200;
    r.dataBits = 16;
    r.parity = -1;
    r.stopBits = kMin;
    r.handshake = kMax;
    r.readTimeout = 0;
    r.characterSet = -10;
    std::string bytes;
    ASSERT_EQ(BuildSettingsBytes(r, bytes), kS_OK);
    EXPECT_EQ(bytes,
              "Port:  COM 3 \r\n"
              "Baudrate:115200\r\n"
              "DataBits:16\r\n"
              "Parity:-1(0=None,1=Odd,2=Even)\r\n"
              "StopBits:-2147483648(0=1,1=1.5,2=2)\r\n"
              "Handshaking:2147483647(0=Off,1=Hardware,2=Software)\r\n"
              "ReadTimeout:0(0=Nonblocking,1=Blockinging)\r\n"
              "SMSCharacterSet:-10(0=PCCP437(default),1=UCS2(PDU mode))\r\n");
}

TEST(SettingsTextWriter, PortUnitsBecomeTheirLowByte) {
    SettingsRecord r;
    r.port = u"\u00E9\u0141\uFF7A";  // é, and two units above U+00FF
    std::string bytes;
    ASSERT_EQ(BuildSettingsBytes(r, bytes), kS_OK);
    EXPECT_EQ(bytes.substr(0, 10), "Port:\xE9\x41\x7A\r\n");
}

TEST(SettingsTextWriter, TextLimitIs1023BytesWhateverMakesItLong) {
    std::string bytes;
    SettingsRecord r;
    r.port.assign(785, u'P');  // 238 + 785 = 1023
    ASSERT_EQ(BuildSettingsBytes(r, bytes), kS_OK);
    EXPECT_EQ(bytes.size(), 1023u);

    const std::string before = "untouched";
    bytes = before;
    r.port.assign(786, u'P');
    EXPECT_EQ(BuildSettingsBytes(r, bytes), kE_INVALIDARG);
    EXPECT_EQ(bytes, before);

    // A seventh baud-rate digit takes the room of the last port character.
    r.port.assign(785, u'P');
    r.baudrate = 1000000;
    EXPECT_EQ(BuildSettingsBytes(r, bytes), kE_INVALIDARG);
    EXPECT_EQ(bytes, before);
}

TEST(SettingsTextWriter, RefusesPortUnitsWithZeroLowByte) {
    for (const char16_t unit : {u'\u0000', u'\u0100', u'\uFF00'}) {
        SettingsRecord r;
        r.port = u"COM";
        r.port += unit;
        r.port += u"1";
        std::string bytes = "untouched";
        EXPECT_EQ(BuildSettingsBytes(r, bytes), kE_INVALIDARG) << int(unit);
        EXPECT_EQ(bytes, "untouched");
    }
}

// ---- reader ----

TEST(SettingsTextReader, FileForCom1AndDefaultsReadsBack) {
    EXPECT_EQ(Parsed(WidenLatin1(kCom1Defaults)), Com1Defaults());
    SettingsRecord expected;
    EXPECT_EQ(Parsed(WidenLatin1(kCom1Defaults.substr(0, 5) + kCom1Defaults.substr(9))), expected);
}

TEST(SettingsTextReader, KeysThatDoNotOccurKeepTheirValues) {
    EXPECT_EQ(Parsed(u""), Unusual());
    EXPECT_EQ(Parsed(u"\r\n\r\n"), Unusual());
    SettingsRecord expected = Unusual();
    expected.parity = 2;
    EXPECT_EQ(Parsed(u"junk\r\nParity:2\r\nmore junk"), expected);
}

TEST(SettingsTextReader, EachKeySetsItsOwnMember) {
    const struct {
        const char16_t* line;
        std::int32_t SettingsRecord::*member;
    } cases[] = {
        {u"Baudrate:42", &SettingsRecord::baudrate},
        {u"DataBits:42", &SettingsRecord::dataBits},
        {u"Parity:42", &SettingsRecord::parity},
        {u"StopBits:42", &SettingsRecord::stopBits},
        {u"Handshaking:42", &SettingsRecord::handshake},
        {u"ReadTimeout:42", &SettingsRecord::readTimeout},
        {u"SMSCharacterSet:42", &SettingsRecord::characterSet},
    };
    for (const auto& c : cases) {
        SettingsRecord expected = Unusual();
        expected.*c.member = 42;
        EXPECT_EQ(Parsed(c.line), expected) << Utf16ToUtf8(c.line);
    }
}

TEST(SettingsTextReader, CodeValuesReadLikeNumbersFromTheWholeRestOfTheLine) {
    const struct {
        const char16_t* value;
        std::int32_t expected;
    } cases[] = {
        {u"16", 16},
        {u"-1", -1},
        {u"+3", 3},
        {u" 7", 7},
        {u" \t 2(0=None,1=Odd,2=Even)", 2},
        {u"1(0=Off,1=Hardware,2=Software)", 1},
        {u"", 0},
        {u"x1", 0},
        {u"- 1", 0},
        {u"--1", 0},
        {u"+-1", 0},
        {u"0012", 12},
        {u"\uFF11", 0},  // a full-width digit is no decimal digit here
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parsed(u"DataBits:" + std::u16string(c.value)).dataBits, c.expected)
            << Utf16ToUtf8(c.value);
        EXPECT_EQ(Parsed(u"SMSCharacterSet:" + std::u16string(c.value)).characterSet, c.expected)
            << Utf16ToUtf8(c.value);
    }
}

TEST(SettingsTextReader, BaudRateConversionAndSaturation) {
    const struct {
        const char16_t* value;
        std::int32_t expected;
    } cases[] = {
        {u" 9600 (x)", 9600},
        {u"abc", 0},
        {u"", 0},
        {u"-9600", -9600},
        {u"2147483647", kMax},
        {u"2147483648", kMax},
        {u"99999999999999999999999999", kMax},
        {u"-2147483648", kMin},
        {u"-2147483649", kMin},
        {u"-99999999999999999999999999", kMin},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parsed(u"Baudrate:" + std::u16string(c.value)).baudrate, c.expected)
            << Utf16ToUtf8(c.value);
    }
}

TEST(SettingsTextReader, PortValueIsTheRestOfTheLineUnchanged) {
    EXPECT_EQ(Parsed(u"Port: COM1 \r\n").port, u" COM1 ");
    EXPECT_EQ(Parsed(u"Port:\r\n").port, u"");
    EXPECT_EQ(Parsed(u"Port:").port, u"");
    EXPECT_EQ(Parsed(u"Port:\\\\.\\COM12:x\r\n").port, u"\\\\.\\COM12:x");
    EXPECT_EQ(Parsed(u"Port:\tCOM\u00E9\r\n").port, u"\tCOM\u00E9");
}

TEST(SettingsTextReader, OnlyExactKeysAtTheLineStartCount) {
    for (const char16_t* line :
         {u"port:COM9", u"PORT:COM9", u" Port:COM9", u"\tPort:COM9", u"PortName:COM9", u"Port COM9",
          u"Port", u":Port:COM9", u"XPort:COM9", u"Baudrate :9", u"Baud:9", u"baudrate:9",
          u" DataBits:9", u"Parity=9", u"SMSCharacterset:9"}) {
        EXPECT_EQ(Parsed(line), Unusual()) << Utf16ToUtf8(line);
    }
    // The key ends at the first colon, so a doubled colon leaves an unconvertible value.
    EXPECT_EQ(Parsed(u"Baudrate::9600").baudrate, 0);
}

TEST(SettingsTextReader, LastOccurrenceOfAKeyWins) {
    const auto r = Parsed(u"Port:COM1\r\nBaudrate:1200\r\nPort:COM2\r\nBaudrate:x\r\n");
    EXPECT_EQ(r.port, u"COM2");
    EXPECT_EQ(r.baudrate, 0);
}

TEST(SettingsTextReader, EveryKindOfLineEndEndsALine) {
    const std::string crlf = kCom1Defaults;
    std::string lf, cr, mixed;
    const char* const ends[] = {"\r\n", "\n", "\r"};
    int n = 0;
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\r') continue;
        if (crlf[i] != '\n') {
            lf += crlf[i], cr += crlf[i], mixed += crlf[i];
            continue;
        }
        lf += '\n';
        cr += '\r';
        mixed += ends[n++ % 3];
    }
    for (const auto& text : {lf, cr, mixed}) {
        SettingsRecord expected = Com1Defaults();
        EXPECT_EQ(Parsed(WidenLatin1(text)), expected) << text;
    }
    // Empty lines between line ends of every kind are skipped over.
    const auto r = Parsed(u"Port:A\r\r\n\n\rParity:2\n\r\nStopBits:1");
    EXPECT_EQ(r.port, u"A");
    EXPECT_EQ(r.parity, 2);
    EXPECT_EQ(r.stopBits, 1);
}

TEST(SettingsTextReader, LastLineWithoutLineEndIsRead) {
    std::string text = kCom1Defaults;
    text.replace(text.find("SMSCharacterSet:0"), 17, "SMSCharacterSet:1");
    text.resize(text.size() - 2);
    auto expected = Com1Defaults();
    expected.characterSet = 1;
    EXPECT_EQ(Parsed(WidenLatin1(text)), expected);
    EXPECT_EQ(Parsed(u"Port:COM7").port, u"COM7");
    EXPECT_EQ(Parsed(u"Baudrate:9600").baudrate, 9600);
}

TEST(SettingsTextReader, LineEndInsideAValueEndsIt) {
    const auto r = Parsed(u"Port:COM1\rBaudrate:19200\nDataBits:7");
    EXPECT_EQ(r.port, u"COM1");
    EXPECT_EQ(r.baudrate, 19200);
    EXPECT_EQ(r.dataBits, 7);
}

// ---- round trip ----

TEST(SettingsTextRoundTrip, EveryWritableRecordReadsBackUnchanged) {
    std::vector<SettingsRecord> records;
    records.push_back(SettingsRecord{});
    records.push_back(Com1Defaults());
    SettingsRecord r;
    r.port = u" COM 4 ";
    r.baudrate = 115200;
    r.dataBits = 16;
    r.parity = -1;
    r.stopBits = 10;
    r.handshake = -32768;
    r.readTimeout = 32767;
    r.characterSet = 1;
    records.push_back(r);
    r.port = u"/dev/ttyUSB0:weird:name\u00FF";
    r.baudrate = kMin;
    r.dataBits = kMax;
    r.parity = kMin;
    records.push_back(r);
    // Three numbers 25 characters longer than the defaults' and the longest port that fits.
    r.port.assign(785 - 25, u'x');
    r.baudrate = kMin;
    r.dataBits = r.parity = kMin;
    r.stopBits = r.handshake = r.readTimeout = r.characterSet = 0;
    records.push_back(r);

    for (const auto& record : records) {
        std::string bytes;
        ASSERT_EQ(BuildSettingsBytes(record, bytes), kS_OK) << Utf16ToUtf8(record.port);
        EXPECT_LE(bytes.size(), 1023u);
        EXPECT_EQ(Parsed(WidenLatin1(bytes)), record) << bytes;
        EXPECT_EQ(Parsed(BuildSettingsText(record)), record) << bytes;
    }
}

}  // namespace
}  // namespace merel
