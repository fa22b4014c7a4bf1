// What each platform's build of merel-sms provides to the portable front end.
#pragma once

#include <memory>

#include "cli/front_end.h"

namespace merel::cli {

std::unique_ptr<ManagerClient> ConnectToManager(const ConnectOptions& options);
bool StderrIsTerminal();
bool StdinIsTerminal();

}  // namespace merel::cli
