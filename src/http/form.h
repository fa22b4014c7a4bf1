// The parameters of a query string or a form body, and the texts that come in other
// character sets, for the interface that gateways and scripts already use (sendsms).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace merel::http {

using FormParams = std::multimap<std::string, std::string>;

// "a=1&b=x%20y": percent escapes decoded, '+' a space. In "to" a '+' that starts a number (at
// the start, or after a space) stays the '+' of an international number, as scripts written
// without %2B mean it; a '+' before an escaped "%2B" is a space between numbers; any other
// '+' there is ambiguous and fails the whole parse with `error`.
bool ParseForm(std::string_view text, FormParams& params, std::string& error);

// The first value of `key`, if any.
std::optional<std::string> First(const FormParams& params, const std::string& key);

// `bytes` in `charset` (UTF-8 when empty; ISO-8859-1 and UTF-16BE also, case and dashes
// aside) as UTF-8; nothing, with `error`, for another charset or bytes that cannot be it.
std::optional<std::string> ToUtf8(const std::string& bytes, std::string_view charset,
                                  std::string& error);

}  // namespace merel::http
