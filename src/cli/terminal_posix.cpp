#include <unistd.h>

#include "cli/platform.h"

namespace merel::cli {

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

}  // namespace merel::cli
