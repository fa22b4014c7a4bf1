#include "modem/answer_transcript.h"

#include <algorithm>
#include <cstdio>

namespace merel::modem {

namespace {

constexpr std::size_t kTailCap = AnswerTranscript::kCap - AnswerTranscript::kHead;

std::string Marker(std::size_t leftOut) {
    std::string marker = "\n[... ";
    marker.append(std::to_string(leftOut)).append(" bytes left out ...]\n");
    return marker;
}

}  // namespace

void AnswerTranscript::Append(std::string_view bytes) {
    received_ += bytes.size();
    const std::size_t toHead = std::min(bytes.size(), kHead - head_.size());
    head_.append(bytes.substr(0, toHead));
    bytes.remove_prefix(toHead);
    if (bytes.size() >= kTailCap) {
        tail_.assign(bytes.substr(bytes.size() - kTailCap));
        return;
    }
    const std::size_t total = tail_.size() + bytes.size();
    if (total > kTailCap) tail_.erase(0, total - kTailCap);
    tail_.append(bytes);
}

std::string AnswerTranscript::Text() const {
    if (received_ <= kCap) return head_ + tail_;
    // The marker takes the place of the oldest bytes of the tail; its length depends on the
    // count it gives, so it is made again until its length settles.
    std::string marker = Marker(received_ - head_.size() - tail_.size());
    std::size_t shown;
    for (;;) {
        shown = tail_.size() - marker.size();
        std::string next = Marker(received_ - head_.size() - shown);
        const bool settled = next.size() == marker.size();
        marker = std::move(next);
        if (settled) break;
    }
    std::string text = head_;
    text.append(marker).append(tail_, tail_.size() - shown, shown);
    return text;
}

void AnswerTranscript::Clear() {
    head_.clear();
    tail_.clear();
    received_ = 0;
}

std::string EscapeModemBytes(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\n') {
            out.append("\\n");
        } else if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out.append(escaped);
        }
    }
    return out;
}

}  // namespace merel::modem
