// The benchmark's results: samples collected run by run, turned into rows of
// measure | this product | reference | ratio, written as a Markdown table and as JSON.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stats.h"

namespace merel::bench {

// Lines "KEY VALUE..." (a key seen again gets more values) and "skip KEY REASON...".
struct Samples {
    std::map<std::string, std::vector<double>> values;
    std::map<std::string, std::string> skipped;
};
Samples ParseSamples(std::string_view text);

struct Goal {
    enum class Kind {
        kNone,
        kRatioAtMost,   // the medians' ratio at most `limit`
        kRatioAtLeast,  // the medians' ratio at least `limit` (for rates: more is better)
        kWithin,        // every product value within `limit` of the reference's median
    };
    Kind kind = Kind::kNone;
    double limit = 0;
};

struct RowSpec {
    std::string measure;
    std::string unit;
    std::string product;    // a sample key
    std::string reference;  // a sample key, or a number for a fixed reference
    std::string referenceLabel;
    Goal goal;
    bool showExcess = false;  // the ratio cell adds the difference of the medians, in unit and %
};

struct Row {
    RowSpec spec;
    std::optional<Summary> product;
    std::optional<Summary> reference;
    std::optional<double> ratio;  // none when a side is missing or the reference is 0
    std::optional<bool> met;      // none without a goal or without data
    std::string note;             // why the product side is missing
};

std::vector<Row> BuildRows(const std::vector<RowSpec>& specs, const Samples& samples);

std::string GoalText(const Goal& goal, std::string_view unit);
std::string MarkdownTable(const std::vector<Row>& rows);
std::string Json(const std::vector<Row>& rows);

}  // namespace merel::bench
