#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace merel::bench {

std::optional<Summary> Summarize(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return Summary{values.front(), median, values.back(), n};
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100 * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

namespace {

// The text after `"name":` in one JSON record, or nothing. modem-sim writes its records
// without spaces, and the fields read here hold no nested objects.
std::optional<std::string_view> Field(std::string_view record, std::string_view name) {
    std::string key = "\"";
    key.append(name).append("\":");
    const std::size_t at = record.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    return record.substr(at + key.size());
}

}  // namespace

std::vector<double> WriteSpacings(std::string_view transcript) {
    std::vector<double> spacings;
    // The first byte of the previous command of the same send, when there is one. A plain pair
    // rather than an optional: GCC 12's 32-bit cross compiler warns falsely on the optional here.
    double previous = 0;
    bool inSend = false;
    while (!transcript.empty()) {
        const std::size_t end = transcript.find('\n');
        const std::string_view record = transcript.substr(0, end);
        transcript =
            end == std::string_view::npos ? std::string_view{} : transcript.substr(end + 1);
        const auto type = Field(record, "type");
        const auto time = Field(record, "t_ms");
        if (!type || !type->starts_with("\"command\"") || !time) continue;
        const double ms = std::strtod(std::string(time->substr(0, 32)).c_str(), nullptr);
        const auto text = Field(record, "text");
        // The ESC that each open of the port writes belongs to no send: it is neither the
        // end of a spacing nor the start of one.
        if (text && text->starts_with("\"<ESC>\"")) {
            inSend = false;
            continue;
        }
        if (inSend) spacings.push_back(ms - previous);
        previous = ms;
        inSend = !(text && text->starts_with("\"AT$RESET\""));
    }
    return spacings;
}

}  // namespace merel::bench
