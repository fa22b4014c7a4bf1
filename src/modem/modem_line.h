// What the manager knows of the modem's side of the open port, kept from one call to the next.
#pragma once

#include <vector>

#include "modem/answer_parser.h"

namespace merel::modem {

struct ModemLine {
    // One parser per open port: a line that one call left open is still known to the next.
    AnswerParser parser;
    // The answers read since the caller last took them.
    std::vector<AnswerEvent> heard;
    // The last write was AT$RESET, which has no line end: the modem reads the next command on
    // the same line ("AT$RESETAT+CSCS=...") and answers ERROR, which then says nothing about it.
    bool resetOnLine = false;
    // The modem answered ERROR to the character set PCCP437 on a line of its own: every text
    // sent on this port may arrive garbled, so every text-mode send warns again.
    bool refusesPccp437 = false;
};

}  // namespace merel::modem
