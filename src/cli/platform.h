// What each platform's build of merel-sms provides to the portable front end.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/call_log.h"
#include "cli/failure.h"
#include "cli/front_end.h"

namespace merel::cli {

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options);
// See InstanceLister in front_end.h.
bool ListInstances(const ConnectOptions& options, std::vector<std::string>& instances,
                   std::string& error);
bool StderrIsTerminal();
bool StdinIsTerminal();

// Standard input as a stream whose read failures (a closed descriptor, a directory) reach the
// reader as exceptions that say why, rather than looking like its end. Called first, before
// anything opens a file.
std::istream& StandardInput();

// The service's record of its calls from the system's log, oldest first: those since `since` (as
// journalctl takes it; empty: all). False, with `failure`, when the log cannot be read.
bool ReadCallJournal(const std::string& since, std::vector<LoggedCall>& calls, Failure& failure);
// One object of journalctl's JSON output; nothing for an entry that is no record.
std::optional<LoggedCall> FromJournalJson(std::string_view line);

}  // namespace merel::cli
