// The Linux command line for the registration switches, which the Windows server's scan reads.
#pragma once

#include <string>

namespace merel::dbus {

// The arguments, program path included, joined with single blanks into one UTF-16 line.
std::u16string CommandLineOf(int argc, char** argv);

}  // namespace merel::dbus
