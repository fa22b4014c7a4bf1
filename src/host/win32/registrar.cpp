#include "host/win32/registrar.h"

#include <optional>

namespace merel::host {
namespace {

struct Value {
    std::u16string name;
    std::u16string data;
    // A REG_DWORD (data unused) rather than a string.
    std::optional<std::uint32_t> dword;
};

struct Key {
    enum class Removal { kNormal, kNoRemove, kForceRemove };
    Removal removal = Removal::kNormal;
    std::u16string name;
    std::optional<std::u16string> defaultValue;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

struct Token {
    std::u16string text;
    bool quoted = false;
};

char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Splits the script into words and 'quoted' strings. Fails on an unterminated quote.
// A DWORD as the scripts write it: decimal, or 0x and hex digits.
std::optional<std::uint32_t> ParseDword(std::u16string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == u'0' && AsciiLower(text[1]) == u'x') {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char16_t c : text) {
        const char16_t lower = AsciiLower(c);
        unsigned digit;
        if (lower >= u'0' && lower <= u'9') {
            digit = lower - u'0';
        } else if (base == 16 && lower >= u'a' && lower <= u'f') {
            digit = lower - u'a' + 10;
        } else {
            return std::nullopt;
        }
        if (digit >= base) return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::vector<Token>> Tokenize(std::u16string_view script) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    if (!script.empty() && script[0] == u'\xFEFF') i = 1;
    while (i < script.size()) {
        if (IsBlank(script[i])) {
            ++i;
            continue;
        }
        Token token;
        if (script[i] == u'\'') {
            token.quoted = true;
            ++i;
            for (;;) {
                if (i >= script.size()) return std::nullopt;
                if (script[i] == u'\'') {
                    if (i + 1 < script.size() && script[i + 1] == u'\'') {
                        token.text += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                token.text += script[i++];
            }
        } else {
            while (i < script.size() && !IsBlank(script[i])) token.text += script[i++];
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

class Parser {
  public:
    Parser(std::vector<Token> tokens, const ScriptVariables& variables)
        : tokens_(std::move(tokens)), variables_(variables) {}

    // The keys of every root block of the script, those below HKEY_LOCAL_MACHINE with their
    // names prefixed by kLocalMachine.
    std::optional<std::vector<Key>> Parse() {
        std::vector<Key> keys;
        while (pos_ < tokens_.size()) {
            std::u16string prefix;
            if (Take(u"HKLM") || Take(u"HKEY_LOCAL_MACHINE")) {
                prefix = kLocalMachine;
            } else if (!Take(u"HKCR") && !Take(u"HKEY_CLASSES_ROOT")) {
                return std::nullopt;
            }
            if (!Take(u"{")) return std::nullopt;
            while (!Take(u"}")) {
                if (AtEnd() || IsWord(u"val")) return std::nullopt;
                auto key = ParseKey();
                if (!key) return std::nullopt;
                key->name.insert(0, prefix);
                keys.push_back(std::move(*key));
            }
        }
        return keys;
    }

  private:
    bool AtEnd() const { return pos_ >= tokens_.size(); }

    // An unquoted word; quoting makes any text a plain name.
    bool IsWord(std::u16string_view word) const {
        return !AtEnd() && !tokens_[pos_].quoted && EqualsNoCase(tokens_[pos_].text, word);
    }

    bool Take(std::u16string_view word) {
        if (!IsWord(word)) return false;
        ++pos_;
        return true;
    }

    // A name or value: any token but the structural ones, with its variables replaced.
    std::optional<std::u16string> TakeText() {
        if (AtEnd() || IsWord(u"{") || IsWord(u"}") || IsWord(u"=")) return std::nullopt;
        return Expand(tokens_[pos_++].text);
    }

    // "= s 'text'": only string values occur in our scripts.
    std::optional<std::u16string> TakeAssignedString() {
        if (!Take(u"=") || !Take(u"s")) return std::nullopt;
        return TakeText();
    }

    std::optional<Key> ParseKey() {
        Key key;
        if (Take(u"NoRemove")) {
            key.removal = Key::Removal::kNoRemove;
        } else if (Take(u"ForceRemove")) {
            key.removal = Key::Removal::kForceRemove;
        } else if (IsWord(u"Delete")) {
            return std::nullopt;
        }
        auto name = TakeText();
        if (!name || name->empty()) return std::nullopt;
        key.name = std::move(*name);
        if (IsWord(u"=")) {
            key.defaultValue = TakeAssignedString();
            if (!key.defaultValue) return std::nullopt;
        }
        if (!Take(u"{")) return key;
        while (!Take(u"}")) {
            if (AtEnd()) return std::nullopt;
            if (Take(u"val")) {
                Value value;
                auto valueName = TakeText();
                if (!valueName) return std::nullopt;
                value.name = std::move(*valueName);
                if (IsWord(u"=") && pos_ + 1 < tokens_.size() && !tokens_[pos_ + 1].quoted &&
                    EqualsNoCase(tokens_[pos_ + 1].text, u"d")) {
                    pos_ += 2;
                    auto text = TakeText();
                    value.dword = text ? ParseDword(*text) : std::nullopt;
                    if (!value.dword) return std::nullopt;
                } else {
                    auto data = TakeAssignedString();
                    if (!data) return std::nullopt;
                    value.data = std::move(*data);
                }
                key.values.push_back(std::move(value));
            } else {
                auto subkey = ParseKey();
                if (!subkey) return std::nullopt;
                key.subkeys.push_back(std::move(*subkey));
            }
        }
        return key;
    }

    std::optional<std::u16string> Expand(std::u16string_view text) {
        std::u16string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != u'%') {
                out += text[i];
                continue;
            }
            const std::size_t end = text.find(u'%', i + 1);
            if (end == std::u16string_view::npos) return std::nullopt;
            const std::u16string_view name = text.substr(i + 1, end - i - 1);
            if (name.empty()) {
                out += u'%';
            } else {
                const std::u16string* found = nullptr;
                for (const auto& [varName, varValue] : variables_) {
                    if (EqualsNoCase(varName, name)) found = &varValue;
                }
                if (!found) return std::nullopt;
                out += *found;
            }
            i = end;
        }
        return out;
    }

    std::vector<Token> tokens_;
    const ScriptVariables& variables_;
    std::size_t pos_ = 0;
};

std::optional<std::vector<Key>> ParseScript(std::u16string_view script,
                                            const ScriptVariables& variables) {
    auto tokens = Tokenize(script);
    if (!tokens) return std::nullopt;
    return Parser(std::move(*tokens), variables).Parse();
}

std::u16string Join(const std::u16string& parent, const std::u16string& name) {
    return parent.empty() ? name : parent + u'\\' + name;
}

HRESULT Register(const Key& key, const std::u16string& parent, RegistryWriter& registry) {
    const std::u16string path = Join(parent, key.name);
    if (key.removal == Key::Removal::kForceRemove && registry.KeyExists(path)) {
        if (const auto e = registry.DeleteTree(path)) return FoldError(e);
    }
    if (const auto e = registry.CreateKey(path)) return FoldError(e);
    if (key.defaultValue) {
        if (const auto e = registry.SetString(path, u"", *key.defaultValue)) return FoldError(e);
    }
    for (const Value& value : key.values) {
        const auto e = value.dword ? registry.SetDword(path, value.name, *value.dword)
                                   : registry.SetString(path, value.name, value.data);
        if (e) return FoldError(e);
    }
    for (const Key& subkey : key.subkeys) {
        if (const HRESULT hr = Register(subkey, path, registry); Failed(hr)) return hr;
    }
    return kS_OK;
}

// Something that is already gone needs no removing.
std::int32_t IgnoreMissing(std::int32_t e) {
    return (e == win32::kFileNotFound || e == win32::kPathNotFound) ? 0 : e;
}

HRESULT Unregister(const Key& key, const std::u16string& parent, RegistryWriter& registry) {
    const std::u16string path = Join(parent, key.name);
    if (!registry.KeyExists(path)) return kS_OK;
    if (key.removal == Key::Removal::kForceRemove) {
        return FoldError(IgnoreMissing(registry.DeleteTree(path)));
    }
    for (const Key& subkey : key.subkeys) {
        if (const HRESULT hr = Unregister(subkey, path, registry); Failed(hr)) return hr;
    }
    if (key.removal == Key::Removal::kNoRemove) {
        for (const Value& value : key.values) {
            const auto e = IgnoreMissing(registry.DeleteValue(path, value.name));
            if (e) return FoldError(e);
        }
        return kS_OK;
    }
    // A key that other software has added to stays with it.
    if (registry.HasSubKeys(path)) return kS_OK;
    return FoldError(IgnoreMissing(registry.DeleteTree(path)));
}

}  // namespace

HRESULT RegisterScript(std::u16string_view script, const ScriptVariables& variables,
                       RegistryWriter& registry) {
    const auto keys = ParseScript(script, variables);
    if (!keys) return kScriptError;
    for (const Key& key : *keys) {
        if (const HRESULT hr = Register(key, u"", registry); Failed(hr)) return hr;
    }
    return kS_OK;
}

HRESULT UnregisterScript(std::u16string_view script, const ScriptVariables& variables,
                         RegistryWriter& registry) {
    const auto keys = ParseScript(script, variables);
    if (!keys) return kScriptError;
    for (const Key& key : *keys) {
        if (const HRESULT hr = Unregister(key, u"", registry); Failed(hr)) return hr;
    }
    return kS_OK;
}

}  // namespace merel::host
