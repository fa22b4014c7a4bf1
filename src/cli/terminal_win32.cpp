#include <windows.h>

#include <iostream>

#include "cli/platform.h"

namespace merel::cli {

std::istream& StandardInput() {
    return std::cin;
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StdinIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace merel::cli
