#include "report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sstream>

namespace merel::bench {

namespace {

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    while (!line.empty()) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const std::size_t end = line.find_first_of(" \t\r");
        words.push_back(line.substr(0, end));
        line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    }
    return words;
}

std::optional<double> Number(std::string_view word) {
    const std::string text(word);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

// Three significant figures or more: enough to tell 1000 ms from 1004 ms and 81 µs from 88.
std::string Format(double value) {
    char buffer[32];
    const double magnitude = std::fabs(value);
    std::snprintf(buffer, sizeof buffer,
                  magnitude >= 100 ? "%.1f"
                  : magnitude >= 1 ? "%.2f"
                                   : "%.3f",
                  value);
    return buffer;
}

// Built by appending: GCC 12 at -O3 reports "literal" + std::string chains as overlapping
// copies (-Wrestrict, a false positive).
std::string Concat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view p : pieces) out += p;
    return out;
}

std::string Cell(const Summary& s, std::string_view unit) {
    std::string text = Format(s.median);
    if (s.count > 1 && s.min != s.max)
        text += Concat({" (", Format(s.min), "–", Format(s.max), ")"});
    return Concat({text, " ", unit});
}

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string Printf(const char* format, double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string JsonNumber(double value) {
    return Printf("%.4f", value);
}

std::string JsonSummary(const std::optional<Summary>& s) {
    if (!s) return "null";
    return Concat({"{\"min\":", JsonNumber(s->min), ",\"median\":", JsonNumber(s->median),
                   ",\"max\":", JsonNumber(s->max), ",\"runs\":", std::to_string(s->count), "}"});
}

std::optional<bool> GoalMet(const Row& row) {
    const Goal& goal = row.spec.goal;
    switch (goal.kind) {
        case Goal::Kind::kNone:
            return std::nullopt;
        case Goal::Kind::kRatioAtMost:
            if (!row.ratio) return std::nullopt;
            return *row.ratio <= goal.limit;
        case Goal::Kind::kRatioAtLeast:
            if (!row.ratio) return std::nullopt;
            return *row.ratio >= goal.limit;
        case Goal::Kind::kWithin:
            if (!row.product || !row.reference) return std::nullopt;
            return row.product->min >= row.reference->median - goal.limit &&
                   row.product->max <= row.reference->median + goal.limit;
    }
    return std::nullopt;
}

}  // namespace

Samples ParseSamples(std::string_view text) {
    Samples samples;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        const auto words = Words(line);
        if (words.size() >= 2 && words[0] == "skip") {
            std::string reason;
            for (std::size_t i = 2; i < words.size(); ++i) {
                if (i > 2) reason += ' ';
                reason += words[i];
            }
            samples.skipped[std::string(words[1])] = reason;
        } else if (!words.empty()) {
            auto& values = samples.values[std::string(words[0])];
            for (std::size_t i = 1; i < words.size(); ++i) {
                if (auto v = Number(words[i])) values.push_back(*v);
            }
        }
    }
    return samples;
}

std::vector<Row> BuildRows(const std::vector<RowSpec>& specs, const Samples& samples) {
    auto lookup = [&samples](const std::string& key) -> std::optional<Summary> {
        if (auto fixed = Number(key)) return Summary{*fixed, *fixed, *fixed, 1};
        const auto found = samples.values.find(key);
        return found == samples.values.end() ? std::nullopt : Summarize(found->second);
    };
    std::vector<Row> rows;
    for (const RowSpec& spec : specs) {
        Row row{spec, lookup(spec.product), lookup(spec.reference), {}, {}, {}};
        if (!row.product) {
            const auto skip = samples.skipped.find(spec.product);
            row.note = skip != samples.skipped.end() ? skip->second : "not measured";
        }
        if (row.product && row.reference && row.reference->median != 0) {
            row.ratio = row.product->median / row.reference->median;
        }
        row.met = GoalMet(row);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string GoalText(const Goal& goal, std::string_view unit) {
    switch (goal.kind) {
        case Goal::Kind::kNone:
            return "";
        case Goal::Kind::kRatioAtMost:
            return Concat({"≤ ", Printf("%g", goal.limit), "×"});
        case Goal::Kind::kRatioAtLeast:
            return Concat({"≥ ", Printf("%g", goal.limit), "×"});
        case Goal::Kind::kWithin:
            return Concat({"± ", Printf("%g", goal.limit), " ", unit});
    }
    return "";
}

std::string MarkdownTable(const std::vector<Row>& rows) {
    std::string out =
        "| measure | this product | reference | ratio | goal |\n"
        "|---|---|---|---|---|\n";
    for (const Row& row : rows) {
        const std::string& unit = row.spec.unit;
        const std::string product =
            row.product ? Cell(*row.product, unit) : Concat({"skipped: ", row.note});
        std::string reference = row.spec.referenceLabel;
        if (row.reference) reference += Concat({" ", Cell(*row.reference, unit)});
        std::string ratio = row.ratio ? Printf("%.3f", *row.ratio) + "×" : "—";
        if (row.ratio && row.spec.showExcess) {
            const double excess = row.product->median - row.reference->median;
            ratio += Concat({" (", excess >= 0 ? "+" : "", Format(excess), " ", unit, ", ",
                             Printf("%+.2f", 100 * (*row.ratio - 1)), " %)"});
        }
        std::string goal = GoalText(row.spec.goal, unit);
        if (row.met) goal += *row.met ? ": met" : ": missed";
        out += Concat({"| ", row.spec.measure, " | ", product, " | ", reference, " | ", ratio,
                       " | ", goal, " |\n"});
    }
    return out;
}

std::string Json(const std::vector<Row>& rows) {
    std::string out = "[\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const std::string note = row.note.empty() ? "null" : Concat({"\"", Escape(row.note), "\""});
        out += Concat({"  {\"measure\":\"",
                       Escape(row.spec.measure),
                       "\",\"unit\":\"",
                       Escape(row.spec.unit),
                       "\",\"product\":",
                       JsonSummary(row.product),
                       ",\"reference\":",
                       JsonSummary(row.reference),
                       ",\"reference_label\":\"",
                       Escape(row.spec.referenceLabel),
                       "\",\"ratio\":",
                       row.ratio ? JsonNumber(*row.ratio) : "null",
                       ",\"goal\":\"",
                       Escape(GoalText(row.spec.goal, row.spec.unit)),
                       "\",\"met\":",
                       row.met ? (*row.met ? "true" : "false") : "null",
                       ",\"note\":",
                       note,
                       "}",
                       i + 1 < rows.size() ? ",\n" : "\n"});
    }
    return out + "]\n";
}

}  // namespace merel::bench
