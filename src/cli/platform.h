// What each platform's build of merel-sms provides to the portable front end.
#pragma once

#include <iosfwd>
#include <memory>

#include "cli/front_end.h"

namespace merel::cli {

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options);
bool StderrIsTerminal();
bool StdinIsTerminal();

// Standard input as a stream whose read failures (a closed descriptor, a directory) reach the
// reader as exceptions that say why, rather than looking like its end. Called first, before
// anything opens a file.
std::istream& StandardInput();

}  // namespace merel::cli
