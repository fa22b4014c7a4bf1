#include "host/win32/command_line.h"

namespace merel::host {
namespace {

char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

// True when `text` starts with `word` (compared without case) and the word ends there.
bool StartsWithWord(std::u16string_view text, std::u16string_view word) {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(word[i])) return false;
    }
    return text.size() == word.size() || text[word.size()] == u' ' || text[word.size()] == u'\t';
}

}  // namespace

ServerCommand ScanCommandLine(std::u16string_view commandLine) {
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        if (commandLine[i] != u'-' && commandLine[i] != u'/') continue;
        const std::u16string_view rest = commandLine.substr(i + 1);
        if (StartsWithWord(rest, u"UnregServer")) return ServerCommand::kUnregister;
        if (StartsWithWord(rest, u"RegServer")) return ServerCommand::kRegister;
    }
    return ServerCommand::kRun;
}

}  // namespace merel::host
