// Follows the modem settings that commands make and reads each submitted message.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace merel::modem {

struct Message {
    bool cancelled = false;  // ESC ended the body: the modem sends nothing
    bool pdu = false;        // PDU mode, else text mode
    int command = 0;         // index of the command that carried the body
    std::string charset;     // the last AT+CSCS value, empty when none was given

    // Text mode: the quoted number and the body, both as bytes.
    std::string numberBytes;
    std::string textBytes;

    // PDU mode.
    std::string pduHex;
    std::optional<long> cmgsLength;  // the length that AT+CMGS announced, if it was a number
    bool lengthOk = false;           // it equals the octets after the service-centre address
    std::string error;               // why the PDU could not be read
    std::string number, toa, dcs, userDataHex, udh;
    std::optional<std::string> text;  // UTF-8
};

class ModemSession {
  public:
    // One command as the splitter gave it, with its index; gives the message that a body
    // completes.
    std::optional<Message> Accept(int index, std::string_view bytes);

    // The character set the modem really has: an answering modem that refuses AT+CSCS keeps
    // the one it had, and the text is read as the modem reads it.
    void FollowCharset(std::string charset) { charset_ = std::move(charset); }

  private:
    int format_ = -1;  // AT+CMGF: 0 PDU, 1 text, -1 not given
    std::string charset_;
    std::optional<std::string> cmgsArgument_;  // set while a body is expected
};

// Bytes read as ISO-8859-1, written as UTF-8: the sender narrows each UTF-16 unit to its low
// byte, so this gives back the characters up to U+00FF.
std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace merel::modem
