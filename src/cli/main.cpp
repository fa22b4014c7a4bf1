// merel-sms: sends SMS through the MerelSMSManager server and manages its settings.
#include <iostream>
#include <string>
#include <vector>

#include "cli/platform.h"

#if defined(_WIN32)
#include <windows.h>

#include "base/narrow.h"

// Arguments arrive as UTF-16; the front end takes UTF-8, which the console then shows.
int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(merel::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    }
#else
int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
#endif
    std::istream& in = merel::cli::StandardInput();
    merel::cli::Console console{in, std::cout, std::cerr, merel::cli::StderrIsTerminal(),
                                merel::cli::StdinIsTerminal()};
    return merel::cli::RunCli(merel::cli::ConnectToManager, args, console,
                              merel::cli::ReadCallJournal, merel::cli::ListInstances);
}
