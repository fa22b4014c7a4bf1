#include "host/common/command_line_scan.h"

namespace merel::host {
namespace {

constexpr std::u16string_view kRegister = u"RegServer", kUnregister = u"UnregServer";

char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

// True when `text` starts with `word` (compared without case).
bool StartsWithNoCase(std::u16string_view text, std::u16string_view word) {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(word[i])) return false;
    }
    return true;
}

// True when `text` starts with `word` and the word ends there.
bool StartsWithWord(std::u16string_view text, std::u16string_view word) {
    return StartsWithNoCase(text, word) &&
           (text.size() == word.size() || text[word.size()] == u' ' || text[word.size()] == u'\t');
}

}  // namespace

std::optional<ServerCommand> RegistrationSwitch(std::u16string_view word) {
    if (word.size() == kUnregister.size() && StartsWithNoCase(word, kUnregister)) {
        return ServerCommand::kUnregister;
    }
    if (word.size() == kRegister.size() && StartsWithNoCase(word, kRegister)) {
        return ServerCommand::kRegister;
    }
    return std::nullopt;
}

ServerCommand ScanCommandLine(std::u16string_view commandLine) {
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        if (commandLine[i] != u'-' && commandLine[i] != u'/') continue;
        const std::u16string_view rest = commandLine.substr(i + 1);
        if (StartsWithWord(rest, kUnregister)) return ServerCommand::kUnregister;
        if (StartsWithWord(rest, kRegister)) return ServerCommand::kRegister;
    }
    return ServerCommand::kRun;
}

bool HasSwitch(std::u16string_view commandLine, std::u16string_view word) {
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        if (commandLine[i] != u'-' && commandLine[i] != u'/') continue;
        if (StartsWithWord(commandLine.substr(i + 1), word)) return true;
    }
    return false;
}

}  // namespace merel::host
