// The command-line client `merel-sms`, written once for both transports: it parses the
// arguments, runs one command through a ManagerClient and reports on the given streams.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/call_log.h"
#include "cli/failure.h"
#include "cli/manager_client.h"

namespace merel::cli {

struct ConnectOptions {
    bool systemBus = false;       // D-Bus only
    double timeoutSeconds = 600;  // for each call
    std::string modem;            // D-Bus only: the instance of the service; empty: the plain one
};

// Connects to the manager. Failing to connect is not an error here: the client's calls then
// fail with kServerNotStarted and its LastErrorText() says why.
using ClientFactory = std::function<std::unique_ptr<ManagerClient>(const ConnectOptions&)>;

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;  // progress is shown only on a terminal
    bool inIsTerminal = false;   // a text read from a terminal is asked for
};

// Reads the service's record of its calls from the system's log (see platform.h).
using JournalReader =
    std::function<bool(const std::string& since, std::vector<LoggedCall>& calls, Failure& failure)>;

// The instances of the service on the bus that `options` chooses, running or startable, each
// once and in order ("" for the plain service). False, with `error`, when the bus cannot be
// asked.
using InstanceLister = std::function<bool(const ConnectOptions& options,
                                          std::vector<std::string>& instances, std::string& error)>;

// `args` as main() gets them, the program name first; strings in UTF-8. Returns the exit code.
int RunCli(const ClientFactory& connect, const std::vector<std::string>& args, Console& console,
           const JournalReader& journal = {}, const InstanceLister& instances = {});

}  // namespace merel::cli
