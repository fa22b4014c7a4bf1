#include "pdu_decode.h"

#include <cstdint>
#include <vector>

#include "base/narrow.h"

namespace merel::modem {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string HexByte(std::uint8_t b) {
    return ToHex(std::string(1, static_cast<char>(b)));
}

// Reads octets front to back; running past the end is reported, never undefined.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::size_t Left() const { return bytes_.size() - pos_; }
    bool Take(std::size_t n, std::vector<std::uint8_t>& out) {
        if (n > Left()) return false;
        out.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return true;
    }
    bool Octet(std::uint8_t& out) {
        if (Left() == 0) return false;
        out = bytes_[pos_++];
        return true;
    }

  private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t pos_ = 0;
};

// Semi-octet address digits, low nibble first (3GPP TS 23.040, 9.1.2.3).
bool AddressDigits(const std::vector<std::uint8_t>& octets, unsigned count, std::string& digits,
                   std::string& error) {
    static constexpr char kDigit[] = "0123456789*#abc";
    for (unsigned i = 0; i < count; ++i) {
        const unsigned nibble = (i % 2 == 0) ? (octets[i / 2] & 0x0F) : (octets[i / 2] >> 4);
        if (nibble == 0xF) {
            error = "address digit " + std::to_string(i + 1) + " is the filler F";
            return false;
        }
        digits.push_back(kDigit[nibble]);
    }
    if (count % 2 != 0 && (octets[count / 2] >> 4) != 0xF) {
        error = "address filler is not F";
        return false;
    }
    return true;
}

enum class Alphabet { kGsm7, kEightBit, kUcs2, kCompressed, kReserved };

// The alphabet that a data coding scheme selects (3GPP TS 23.038, clause 4).
Alphabet AlphabetOf(std::uint8_t dcs) {
    if ((dcs & 0x80) == 0) {  // general data coding, with or without automatic deletion
        if (dcs & 0x20) return Alphabet::kCompressed;
        switch ((dcs >> 2) & 3) {
            case 0:
                return Alphabet::kGsm7;
            case 1:
                return Alphabet::kEightBit;
            case 2:
                return Alphabet::kUcs2;
            default:
                return Alphabet::kReserved;
        }
    }
    switch (dcs >> 4) {
        case 0xC:
        case 0xD:
            return Alphabet::kGsm7;
        case 0xE:
            return Alphabet::kUcs2;
        case 0xF:
            return (dcs & 0x04) ? Alphabet::kEightBit : Alphabet::kGsm7;
        default:
            return Alphabet::kReserved;
    }
}

std::string Bytes(const std::vector<std::uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

}  // namespace

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

DecodedSubmit DecodeSubmitPdu(std::string_view hex) {
    DecodedSubmit d;
    if (hex.empty()) {
        d.error = "empty PDU";
        return d;
    }
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (HexValue(hex[i]) < 0) {
            d.error = "character " + std::to_string(i + 1) + " is not a hexadecimal digit";
            return d;
        }
    }
    if (hex.size() % 2 != 0) {
        d.error = "odd number of hexadecimal digits";
        return d;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(HexValue(hex[i]) * 16 + HexValue(hex[i + 1])));
    }

    Reader r(bytes);
    std::uint8_t scaLength = 0;
    std::vector<std::uint8_t> sca;
    r.Octet(scaLength);
    if (!r.Take(scaLength, sca)) {
        d.error = "service-centre address runs past the end";
        return d;
    }
    d.tpduOctets = static_cast<unsigned>(r.Left());

    std::uint8_t first = 0, reference = 0, daLength = 0, toa = 0;
    if (!r.Octet(first)) {
        d.error = "no first octet";
        return d;
    }
    if ((first & 0x03) != 0x01) {
        d.error = "not an SMS-SUBMIT (message type " + std::to_string(first & 0x03) + ")";
        return d;
    }
    if (!r.Octet(reference) || !r.Octet(daLength) || !r.Octet(toa)) {
        d.error = "destination address cut short";
        return d;
    }
    d.toa = HexByte(toa);
    std::vector<std::uint8_t> address;
    if (!r.Take((daLength + 1u) / 2, address)) {
        d.error = "destination address runs past the end";
        return d;
    }
    if (((toa >> 4) & 0x07) == 0x5) {
        d.error = "alphanumeric destination address";
        return d;
    }
    std::string digits;
    if (!AddressDigits(address, daLength, digits, d.error)) return d;
    const bool international = ((toa >> 4) & 0x07) == 0x1;
    d.number = (international && !digits.empty() ? "+" : "") + digits;

    std::uint8_t pid = 0, dcs = 0;
    if (!r.Octet(pid) || !r.Octet(dcs)) {
        d.error = "protocol identifier or data coding scheme missing";
        return d;
    }
    d.dcs = HexByte(dcs);
    static constexpr std::size_t kValidityOctets[] = {0, 7, 1, 7};  // by TP-VPF
    std::vector<std::uint8_t> validity;
    if (!r.Take(kValidityOctets[(first >> 3) & 0x03], validity)) {
        d.error = "validity period runs past the end";
        return d;
    }
    std::uint8_t udl = 0;
    if (!r.Octet(udl)) {
        d.error = "user-data length missing";
        return d;
    }

    const Alphabet alphabet = AlphabetOf(dcs);
    const std::size_t udOctets = alphabet == Alphabet::kGsm7 ? (udl * 7u + 7) / 8 : udl;
    std::vector<std::uint8_t> ud;
    if (!r.Take(udOctets, ud)) {
        d.error = "user data shorter than its length " + std::to_string(udl);
        return d;
    }
    if (r.Left() != 0) {
        d.error = std::to_string(r.Left()) + (r.Left() == 1 ? " octet" : " octets") +
                  " after the user data";
        return d;
    }

    std::size_t headerOctets = 0;
    if (first & 0x40) {
        if (ud.empty() || ud[0] + 1u > ud.size()) {
            d.error = "user-data header runs past the user data";
            return d;
        }
        headerOctets = ud[0] + 1u;
        d.udh = ToHex(Bytes(std::vector<std::uint8_t>(ud.begin(), ud.begin() + headerOctets)));
    }
    const std::vector<std::uint8_t> body(ud.begin() + static_cast<std::ptrdiff_t>(headerOctets),
                                         ud.end());
    d.userDataHex = ToHex(Bytes(body));

    if (alphabet == Alphabet::kUcs2) {
        if (body.size() % 2 != 0) {
            d.error = "odd number of octets in UCS2 user data";
            return d;
        }
        std::u16string units;
        for (std::size_t i = 0; i < body.size(); i += 2) {
            units.push_back(static_cast<char16_t>(body[i] << 8 | body[i + 1]));
        }
        d.text = Utf16ToUtf8(units);
    }
    return d;
}

}  // namespace merel::modem
