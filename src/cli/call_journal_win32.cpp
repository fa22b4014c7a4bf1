#include "cli/platform.h"

namespace merel::cli {

bool ReadCallJournal(const std::string&, std::vector<LoggedCall>&, Failure& failure) {
    failure = {kS_OK, "on Windows the record is in the Event Log, source MerelSMSManager",
               "Get-WinEvent -ProviderName MerelSMSManager -MaxEvents 20 | Format-List",
               kExitUsage};
    return false;
}

}  // namespace merel::cli
