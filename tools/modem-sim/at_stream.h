// Splits the bytes that arrive at the modem into commands, keeping every byte and its timing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merel::modem {

struct Command {
    std::string bytes;     // every byte of the command, its terminator included
    double firstMs = 0;    // arrival of its first byte, in ms since the start
    double lastMs = 0;     // arrival of its last byte
    bool complete = true;  // false for bytes still waiting for their terminator at the end
};

// A command line ends at CR (so both LF CR and a plain CR end it). After a command that
// starts a message ("AT+CMGS=..."), the body runs up to Ctrl-Z, and an LF and CR right after
// the Ctrl-Z belong to the body. "AT$RESET" is sent without any line end, so it counts as a
// command the moment its last letter arrives. ESC (the message-input escape) ends a body
// without sending it, and ends a command line without running it: the bytes up to it and
// the ESC form one command, and a lone ESC is a command of its own.
class AtStreamSplitter {
  public:
    // Bytes that arrived together at `ms`; gives the commands they complete, in order.
    std::vector<Command> Feed(std::string_view bytes, double ms);
    // Bytes that never got their terminator, as an incomplete command.
    std::optional<Command> Flush();

  private:
    enum class State { kLine, kBody, kAfterCtrlZ, kAfterCtrlZLf };

    void Append(char byte, double ms);
    void Finish(std::vector<Command>& done, bool body);

    State state_ = State::kLine;
    Command pending_;
    bool hasPending_ = false;
};

// True when the command, without its line end, starts with `prefix` (ASCII letters compared
// without regard to case, as modems do).
bool CommandStartsWith(std::string_view bytes, std::string_view prefix);

// True when the command ends with ESC: a body or a line given up.
bool EndsWithEscape(std::string_view bytes);

// The command without the CR and LF bytes around it.
std::string_view TrimLineEnds(std::string_view bytes);

}  // namespace merel::modem
