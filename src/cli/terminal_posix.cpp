#include <unistd.h>

#include "cli/platform.h"

namespace merel::cli {

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

}  // namespace merel::cli
