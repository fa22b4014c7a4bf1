// The Linux command line: the registration switches, which the Windows server's scan reads,
// and what a Linux user expects besides (--help, --version, a refusal of words the service
// does not know, so that a mistyped switch never starts it by surprise).
#pragma once

#include <string>

namespace merel::dbus {

// The arguments, program path included, joined with single blanks into one UTF-16 line.
std::u16string CommandLineOf(int argc, char** argv);

struct ArgumentCheck {
    enum class Verdict {
        kScan,     // nothing but registration switches, or nothing at all: go on with the scan
        kHelp,     // print `text` on standard output, exit 0
        kVersion,  // print `text` on standard output, exit 0
        kRefused,  // print `text` on standard error, exit kUsageExit
    };
    Verdict verdict = Verdict::kScan;
    std::string text;
};

// EX_USAGE of sysexits.h.
inline constexpr int kUsageExit = 64;

// Looks at argv[1..]: the first argument that decides (help, version, an unknown one) wins.
ArgumentCheck CheckArguments(int argc, char** argv);

}  // namespace merel::dbus
