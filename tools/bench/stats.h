// Statistics of repeated measurements, and the write spacing read from modem-sim's transcript.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace merel::bench {

struct Summary {
    double min = 0;
    double median = 0;
    double max = 0;
    std::size_t count = 0;
};

// Nothing for no values. The median of an even count is the mean of the middle two.
std::optional<Summary> Summarize(std::vector<double> values);

// The nearest-rank percentile (0 < p <= 100): the smallest value with at least p % of the
// values at or below it. 0 for no values.
double Percentile(std::vector<double> values, double p);

// The time between the first bytes of consecutive commands within each send of a modem-sim
// JSON transcript (one record per line), in ms. A send ends with its "AT$RESET"; the gap from
// there to the next send's first command is not a write spacing and is left out.
std::vector<double> WriteSpacings(std::string_view transcript);

}  // namespace merel::bench
