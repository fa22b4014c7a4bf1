// The SMS text for an Alertmanager webhook notification: what fired, how many, and why, in the
// few characters an SMS has.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace merel::http {

// The SMS text for one Alertmanager webhook notification (JSON body, version 4), at most
// `limit` characters (Unicode code points). Empty optional and `error` set when the body is
// not such a notification.
std::optional<std::string> AlertmanagerText(std::string_view body, std::size_t limit,
                                            std::string& error);

}  // namespace merel::http
