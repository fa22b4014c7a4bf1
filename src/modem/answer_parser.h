// Reads what a modem sends back, byte by byte as it arrives, and says what each answer is.
//
// Lines end at CR or LF; empty lines are dropped, so the verbose framing (CR LF text CR LF),
// the numeric one (text CR) and the echo of our own LF CR line ends all read alike. The
// message-input prompt "> " has no line end and is reported as soon as its space arrives.
//
// Which answer belongs to the command: the parser knows the command written last (Wrote).
// - A line that repeats what was written (echo on) is reported as an echo, and nothing more,
//   until the modem answers; after that a line like it is the modem's own.
// - OK, ERROR, +CMS ERROR, +CME ERROR, the numeric 0 and 4 are final results.
// - A line with a prefix ("+CSQ: 17,99", "^RSSI: 12") answers the command only when the prefix
//   is the command's own name; any other prefixed line is unsolicited. "+CMGS: <mr>" with
//   <mr> from 0 to 255 is the message reference (no modem sends it on its own).
// - RING and NO CARRIER (numeric 2 and 3) are always unsolicited: we never dial.
// - A line without a prefix (a manufacturer's name, a model) is information while a command
//   waits for its final result, and unsolicited otherwise.
// So an unsolicited line is never taken for an answer, except one of the command's own prefix
// arriving while the command waits (a +CREG report during AT+CREG?), which no reader can tell
// apart.
//
// One parser serves the port while it is open, so that a line a call left open (AT$RESET) is
// still known to the next; each call takes its own transcript.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "modem/answer_transcript.h"

namespace merel::modem {

enum class AnswerKind {
    kEcho,              // our own command, repeated by the modem
    kOk,                // final: OK, or numeric 0
    kError,             // final: ERROR, numeric 4, or COMMAND NOT SUPPORT and the like
    kCmsError,          // final: +CMS ERROR: <number or words>
    kCmeError,          // final: +CME ERROR: <number or words>
    kPrompt,            // "> ": the modem waits for the message
    kMessageReference,  // +CMGS: <mr>, the reference the network gave the SMS
    kInformation,       // a line answering the command (+CSQ: 17,99; a model's name)
    kUnsolicited,       // a line the modem sent on its own (+CMTI, ^RSSI, RING ...)
};

struct AnswerEvent {
    AnswerKind kind;
    // The line as received, without its line end; "> " for the prompt.
    std::string text;
    // The error number or the message reference; -1 when the answer carries none (ERROR,
    // "+CMS ERROR: SMSC address unknown").
    int number = -1;

    bool operator==(const AnswerEvent&) const = default;
};

// Whether the event ends the command: OK or any refusal.
bool IsFinalResult(const AnswerEvent& event);

class AnswerParser {
  public:
    // Longest line kept; a longer one is reported cut at this length, and its rest is dropped
    // up to the next line end.
    static constexpr std::size_t kMaxLine = 2048;

    // The bytes just written to the modem: a command line, a message body or "AT$RESET".
    // A write without a line end (AT$RESET) joins the next write on the modem's line, and in
    // its echo. A write after the prompt, or one that does not start with AT, is the message
    // for the command before it.
    void Wrote(std::string_view bytes);
    // The modem gave up the line it was reading (an ESC): nothing written before joins the next
    // write.
    void LineDropped() { openEcho_.clear(); }

    // Bytes as read from the port, any number, split anywhere. Returns the answers they
    // complete, in order; bytes of an unfinished line wait for the next call.
    std::vector<AnswerEvent> Feed(std::string_view bytes);

    // Everything received since the last call to TakeTranscript, within its cap.
    const AnswerTranscript& Transcript() const { return transcript_; }
    // The transcript of one call, handed over; the next call starts an empty one.
    std::string TakeTranscript();

  private:
    void EndLine(std::vector<AnswerEvent>& events);
    AnswerEvent Classify(std::string line);
    bool IsEcho(const std::string& line);
    bool PromptMayBeEcho() const;

    AnswerTranscript transcript_;
    std::string line_;      // the line being received, control characters left out
    bool lineCut_ = false;  // the line passed kMaxLine: drop the rest of it

    // What the modem would echo of our writes, line by line, and the start of a line the last
    // write left open.
    std::vector<std::string> echoes_;
    std::string openEcho_;
    std::string carried_;  // the open line this write went on with
    // The name ("+CMGS", "+CSQ", empty for basic commands) of the command awaiting its final
    // result, and whether one is awaited.
    std::string command_;
    bool awaiting_ = false;
    // The prompt came since the last command: the next write is the message.
    bool promptSeen_ = false;
};

}  // namespace merel::modem
