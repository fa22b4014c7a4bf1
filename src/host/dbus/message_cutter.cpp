#include "host/dbus/message_cutter.h"

#include <algorithm>
#include <vector>

#include "host/common/argument_limits.h"

namespace merel::dbus {

namespace {

constexpr std::size_t kFixedHeader = 16;
constexpr std::size_t kBodyLengthAt = 4;
constexpr std::size_t kFieldsLengthAt = 12;
constexpr unsigned char kSignatureField = 8;
// The greeting's lines are short; a longer one is no bus speaking.
constexpr std::size_t kLongestGreetingLine = 4096;

std::uint64_t Align(std::uint64_t n, std::uint64_t to) {
    return (n + to - 1) / to * to;
}

std::uint32_t ReadU32(std::string_view at, bool bigEndian) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(at[bigEndian ? i : 3 - i]);
        v = (v << 8) | byte;
    }
    return v;
}

void WriteU32(char* at, std::uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        at[bigEndian ? 3 - i : i] = static_cast<char>(v & 0xFF);
        v >>= 8;
    }
}

bool BigEndian(std::string_view header) {
    return header[0] == 'B';
}

// Where a header field lies in the header, and the value of a signature field.
struct Field {
    unsigned char code;
    std::size_t begin, end;
    std::string_view signature;
};

// The fields of a whole header, or nothing when one has a type that no field has.
std::optional<std::vector<Field>> ParseFields(std::string_view header) {
    const bool big = BigEndian(header);
    const std::size_t end = kFixedHeader + ReadU32(header.substr(kFieldsLengthAt), big);
    std::vector<Field> fields;
    std::size_t at = kFixedHeader;
    while (at < end) {
        at = Align(at, 8);
        // Code, signature length 1, type, NUL.
        if (at + 4 > end || header[at + 1] != 1 || header[at + 3] != '\0') return std::nullopt;
        Field field{static_cast<unsigned char>(header[at]), at, 0, {}};
        const char type = header[at + 2];
        at += 4;
        if (type == 's' || type == 'o' || type == 'u') {
            at = Align(at, 4);
            if (at + 4 > end) return std::nullopt;
            if (type == 'u') {
                at += 4;
            } else {
                const std::uint32_t length = ReadU32(header.substr(at), big);
                at += 4;
                if (length >= end - at) return std::nullopt;
                at += length + 1;
            }
        } else if (type == 'g') {
            if (at >= end) return std::nullopt;
            const auto length = static_cast<unsigned char>(header[at++]);
            if (length >= end - at) return std::nullopt;
            field.signature = header.substr(at, length);
            at += length + 1;
        } else {
            return std::nullopt;
        }
        field.end = at;
        fields.push_back(field);
    }
    return fields;
}

// The header with no signature and no body: the library then takes the message as one
// without arguments.
std::optional<std::string> WithoutBody(std::string_view header) {
    const std::optional<std::vector<Field>> fields = ParseFields(header);
    if (!fields) return std::nullopt;
    std::string out(header.substr(0, kFixedHeader));
    for (const Field& f : *fields) {
        if (f.code == kSignatureField) continue;
        // Fields start on multiples of 8, so each keeps the alignment of its value.
        out.resize(Align(out.size(), 8), '\0');
        out.append(header.substr(f.begin, f.end - f.begin));
    }
    const bool big = BigEndian(header);
    WriteU32(out.data() + kBodyLengthAt, 0, big);
    WriteU32(out.data() + kFieldsLengthAt, static_cast<std::uint32_t>(out.size() - kFixedHeader),
             big);
    out.resize(Align(out.size(), 8), '\0');
    return out;
}

// Numbers and strings: the values a cut body may hold.
std::size_t SizeOf(char type) {
    switch (type) {
        case 'y':
            return 1;
        case 'n':
        case 'q':
            return 2;
        case 'b':
        case 'i':
        case 'u':
        case 's':  // its length
            return 4;
        case 'x':
        case 't':
        case 'd':
            return 8;
        default:
            return 0;
    }
}

bool Plain(std::string_view signature) {
    return std::all_of(signature.begin(), signature.end(),
                       [](char type) { return SizeOf(type) != 0; });
}

// A string cut inside a character ends in blanks instead of the character's first bytes, so
// that it stays valid UTF-8 and the handler can read it.
void EndOnWholeCharacter(std::string& body) {
    for (std::size_t back = 1; back <= 3 && back <= body.size(); ++back) {
        const auto byte = static_cast<unsigned char>(body[body.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back)
            std::fill(body.end() - static_cast<std::ptrdiff_t>(back), body.end(), ' ');
        return;
    }
}

}  // namespace

void MessageCutter::BodyCutter::Take(std::string_view in) {
    for (;;) {
        if (failed_) return;
        if (step_ == Step::kNextValue) {
            if (in.empty()) return;
            if (next_ == signature_.size()) {  // bytes after the last value
                failed_ = true;
                return;
            }
            valueSize_ = SizeOf(signature_[next_]);
            step_ = Step::kPadding;
            left_ = Align(taken_, valueSize_) - taken_;
            body_.resize(Align(body_.size(), valueSize_), '\0');
        }
        if (left_ > 0) {
            if (in.empty()) return;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, in.size()));
            if (step_ == Step::kFixed) value_.append(in.substr(0, n));
            if (step_ == Step::kKeep) body_.append(in.substr(0, n));
            in.remove_prefix(n);
            left_ -= n;
            taken_ += n;
        }
        if (left_ == 0) Advance();
        if (body_.size() > kLargestCutBody) failed_ = true;
    }
}

void MessageCutter::BodyCutter::Advance() {
    switch (step_) {
        case Step::kPadding:
            step_ = Step::kFixed;
            left_ = valueSize_;
            value_.clear();
            return;
        case Step::kFixed:
            if (signature_[next_] != 's') {
                body_.append(value_);
                ++next_;
                step_ = Step::kNextValue;
                return;
            }
            {
                const std::uint32_t length = ReadU32(value_, bigEndian_);
                const std::size_t keep =
                    std::min<std::size_t>(length, host::kLongestArrivingString);
                body_.append(4, '\0');
                WriteU32(body_.data() + body_.size() - 4, static_cast<std::uint32_t>(keep),
                         bigEndian_);
                skipAfter_ = length - keep;
                step_ = Step::kKeep;
                left_ = keep;
            }
            return;
        case Step::kKeep:
            if (skipAfter_ > 0) EndOnWholeCharacter(body_);
            step_ = Step::kSkip;
            left_ = skipAfter_;
            return;
        case Step::kSkip:
            step_ = Step::kEnd;
            left_ = 1;  // the string's NUL
            return;
        case Step::kEnd:
            body_.push_back('\0');
            ++next_;
            step_ = Step::kNextValue;
            return;
        case Step::kNextValue:
            return;
    }
}

std::optional<std::string> MessageCutter::BodyCutter::Finish() {
    if (failed_ || step_ != Step::kNextValue || next_ != signature_.size()) return std::nullopt;
    return std::move(body_);
}

bool MessageCutter::Feed(std::string_view in, std::string& out) {
    while (!in.empty()) {
        switch (phase_) {
            case Phase::kGreeting: {
                const std::size_t lineEnd = in.find('\n');
                const std::size_t n = lineEnd == std::string_view::npos ? in.size() : lineEnd + 1;
                line_.append(in.substr(0, n));
                out.append(in.substr(0, n));
                in.remove_prefix(n);
                if (line_.size() > kLongestGreetingLine) return false;
                if (lineEnd != std::string_view::npos) {
                    // "OK <guid>" ends the greeting; the messages follow.
                    if (line_.starts_with("OK ")) phase_ = Phase::kHeader;
                    line_.clear();
                }
                break;
            }
            case Phase::kHeader: {
                const auto n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(headerSize_ - header_.size(), in.size()));
                header_.append(in.substr(0, n));
                in.remove_prefix(n);
                if (header_.size() == headerSize_ && !HeaderTaken(out)) return false;
                break;
            }
            case Phase::kPass:
            case Phase::kCut:
            case Phase::kDrop: {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, in.size()));
                if (phase_ == Phase::kPass) out.append(in.substr(0, n));
                if (phase_ == Phase::kCut) cutter_->Take(in.substr(0, n));
                in.remove_prefix(n);
                bodyLeft_ -= n;
                if (bodyLeft_ == 0) {
                    if (phase_ == Phase::kCut) EndCut(out);
                    phase_ = Phase::kHeader;
                }
                break;
            }
        }
    }
    return true;
}

// A whole fixed part, or a whole header, has been read: decides what becomes of the message.
bool MessageCutter::HeaderTaken(std::string& out) {
    if (header_[0] != 'l' && header_[0] != 'B') return false;
    const bool big = BigEndian(header_);
    const std::uint32_t bodyLength = ReadU32(std::string_view(header_).substr(kBodyLengthAt), big);
    const std::uint32_t fieldsLength =
        ReadU32(std::string_view(header_).substr(kFieldsLengthAt), big);
    const std::uint64_t whole = Align(kFixedHeader + std::uint64_t{fieldsLength}, 8);
    if (header_.size() == kFixedHeader && fieldsLength > kLargestHeaderFields) {
        phase_ = Phase::kDrop;
        bodyLeft_ = whole - kFixedHeader + bodyLength;
    } else if (header_.size() < whole) {
        headerSize_ = whole;  // read the fields
        return true;
    } else if (bodyLength <= kLargestWholeBody) {
        out.append(header_);
        phase_ = Phase::kPass;
        bodyLeft_ = bodyLength;
    } else {
        const std::optional<std::vector<Field>> fields = ParseFields(header_);
        std::string_view signature;
        if (fields) {
            for (const Field& f : *fields) {
                if (f.code == kSignatureField) signature = f.signature;
            }
        }
        if (fields && Plain(signature)) {
            cutter_.emplace(signature, big);
            phase_ = Phase::kCut;
        } else {
            if (fields) out.append(*WithoutBody(header_));
            phase_ = Phase::kDrop;
        }
        bodyLeft_ = bodyLength;
    }
    if (bodyLeft_ == 0) phase_ = Phase::kHeader;
    if (phase_ != Phase::kCut) header_.clear();
    headerSize_ = kFixedHeader;
    return true;
}

void MessageCutter::EndCut(std::string& out) {
    std::optional<std::string> body = cutter_->Finish();
    cutter_.reset();
    if (!body) {
        if (std::optional<std::string> bare = WithoutBody(header_)) out.append(*bare);
    } else {
        WriteU32(header_.data() + kBodyLengthAt, static_cast<std::uint32_t>(body->size()),
                 BigEndian(header_));
        out.append(header_).append(*body);
    }
    header_.clear();
}

}  // namespace merel::dbus
