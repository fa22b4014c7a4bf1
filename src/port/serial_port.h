// The four port operations, written once over the SerialDevice seam. They act on the
// manager's port handle and last-error members, which the caller lends them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/hresult.h"
#include "modem/modem_line.h"
#include "port/pause.h"
#include "port/serial_device.h"

namespace merel {

// The fixed part of the write limit that ConfigurePort gives a port that has none, so that a
// line that takes no bytes ends the send instead of holding it for ever.
inline constexpr std::uint32_t kWriteTimeoutConstantMs = 10000;

// Milliseconds per byte allowed on top of the fixed part: twice the time of a 10-bit byte
// (8-N-1) at the given rate, rounded up to whole milliseconds.
std::uint32_t WriteTimeoutMultiplierMs(std::uint32_t baudrate);

// The line settings of every configuration that Init and TestPort make: 8 data bits, no
// parity, one stop bit, hardware handshake, nonblocking reads. The stored line settings never
// reach the port.
struct LineSettings {
    std::int32_t dataBits, parity, stopBits, handshake, readTimeout;
};
inline constexpr LineSettings kFixedLine{8, 0, 0, 1, 0};

struct PortLayer {
    SerialDevice& device;
    Pause& pause;
    PortHandle& m_hPort;
    std::int32_t& m_dwLastError;
    std::u16string& openName;  // the name the open handle was opened by
    Failure& failure;          // what a failed operation says
    Failure& openFailure;      // why no port is open: the last open failed, or the device went
                               // away; empty once an open succeeds
    std::int32_t& portOpen;    // the status flags: a port the layer closes is neither
    std::int32_t& portInit;    // open nor configured any more
    std::int32_t& cancelOwed;  // an ESC is owed to the modem: it may hold an open message
    modem::ModemLine& line;    // what the modem said; a new open starts it afresh
};

// Whether a device call's error says that the device itself is gone (a USB modem pulled out):
// its handle then takes no more calls, and only a new open reaches the device once it is back.
bool DeviceGone(std::int32_t error);

HRESULT OpenPort(const PortLayer& port, const std::u16string& name);
HRESULT ConfigurePort(const PortLayer& port, std::uint32_t baudrate, std::int32_t dataBits,
                      std::int32_t parity, std::int32_t stopBits, std::int32_t handshake,
                      std::int32_t readTimeout);
// Writes the command's bytes in one write, then pauses kCommandPauseMs, reading what the modem
// answers meanwhile into port.line.heard. Without an open port the failure says why the port is
// not open, where an open failed. An owed ESC goes first; when the line does not take it,
// nothing else is written and the failure says so.
HRESULT WriteCommand(const PortLayer& port, std::string_view command);
// Like WriteCommand, but the pause after the command ends as soon as the modem has given its
// final result, and lasts at most `milliseconds`: for queries, which change nothing.
HRESULT WriteQuery(const PortLayer& port, std::string_view command, std::uint32_t milliseconds);
// Reads on for at most `milliseconds`, until the modem has given a final result since the
// answers were last taken.
void AwaitFinalResult(const PortLayer& port, std::uint32_t milliseconds);
// Reads what the modem has sent and nobody has read (lines it sent on its own between calls):
// it goes into the transcript, and not among the answers of what is written next.
void SkipWaiting(const PortLayer& port);
// The answers read since the last call, handed over.
std::vector<modem::AnswerEvent> TakeAnswers(const PortLayer& port);

// A message that AT+CMGS opened stays open on the modem until its body ends with Ctrl-Z, and
// whatever is written meanwhile becomes part of it, whoever writes it. ESC (the message-input
// escape of 3GPP TS 27.005) drops such a message; a modem in command state ignores it. The
// ESC is written like a command, the pause included: the modem answers it and must be back in
// command state before the next command arrives.
//
// Every open makes a cancel owed, as a process that died may have left a message open; Init
// and TestPort pay it at once, and WriteCommand pays it before anything else. A cancel is
// owed to the port that is open: a closed port owes nothing, as its next open owes anew.

// Init and TestPort, once the port is configured: writes the owed ESC. A line that does not
// take it leaves it owed to the next send and the call succeeds; only a device that went away
// on the write fails it.
HRESULT SettleOwedCancel(const PortLayer& port);
// Drops the message that the running send opened and could not finish: owes the cancel and
// writes it when the line takes it. The send's failure stays, with what became of the message
// added to it.
void CancelMessage(const PortLayer& port);
// A closed port clears both status flags.
HRESULT ClosePort(const PortLayer& port);

// Any operation above whose device call fails with an error of DeviceGone closes the handle
// (whatever the close says: a dead handle would hold the port for good), clears both status
// flags and keeps why in openFailure, so that the next Init or TestPort opens the port afresh.

// Closes and reopens the named port, configures it with the fixed line settings, records the
// outcome in the two status flags and settles the owed cancel.
HRESULT TestPort(const PortLayer& port, const std::u16string& name, std::uint32_t baudrate);

}  // namespace merel
