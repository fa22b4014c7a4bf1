// The transcript lines of the simulated modem: readable text or one JSON object per line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "answerer.h"
#include "at_stream.h"
#include "session.h"

namespace merel::modem {

struct CommandRecord {
    int index = 0;  // 1 for the first command
    Command command;
    std::optional<double> pauseMs;  // since the previous command's last byte
};

// Printable ASCII stays; LF, CR, Ctrl-Z and ESC are named; any other byte is shown as <XX>.
std::string Printable(std::string_view bytes);

// A JSON string literal, quotes included; the input is UTF-8 and stays so.
std::string JsonString(std::string_view utf8);

std::string CommandJson(const CommandRecord& record);
std::string MessageJson(const Message& message);
std::string CommandLine(const CommandRecord& record);
std::string MessageLine(const Message& message);

// An answer written at `ms`. A message given up by an early byte is told with the message it
// gives up (`sent`, the last one the modem took), as a "cancelled" record.
std::string AnswerJson(const Answer& answer, double ms, const std::optional<Message>& sent);
std::string AnswerLine(const Answer& answer, double ms, const std::optional<Message>& sent);

}  // namespace merel::modem
