// What a modem sent during one call, kept for a person reading a failure. Bytes are kept as
// received. Past the cap, the first half stays (what was waiting and the first answers) and so
// do the last bytes (the verdict, or the silence before a time-out), with a marker between them
// saying how many bytes were left out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace merel::modem {

class AnswerTranscript {
  public:
    // The most that Text() ever returns, the marker included.
    static constexpr std::size_t kCap = 4096;
    static constexpr std::size_t kHead = kCap / 2;

    void Append(std::string_view bytes);
    // "<first bytes>\n[... 1234 bytes left out ...]\n<last bytes>" once past the cap.
    std::string Text() const;
    // Every byte received, the ones left out included.
    std::size_t Received() const { return received_; }
    void Clear();

  private:
    std::string head_;
    std::string tail_;  // the last bytes past the head, at most kCap - kHead of them
    std::size_t received_ = 0;
};

// The modem's bytes as text any message or log can carry: printable ASCII as it is, CR and LF
// as \r and \n, a backslash doubled, every other byte as \xNN ("\r\nOK\r\n").
std::string EscapeModemBytes(std::string_view bytes);

}  // namespace merel::modem
