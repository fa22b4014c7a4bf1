#include "host/dbus/command_line.h"

#include "base/narrow.h"

namespace merel::dbus {

std::u16string CommandLineOf(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) line += ' ';
        line += argv[i];
    }
    return Utf8ToUtf16(line);
}

}  // namespace merel::dbus
