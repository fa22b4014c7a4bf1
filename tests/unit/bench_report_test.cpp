#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report.h"
#include "stats.h"

namespace merel::bench {
namespace {

TEST(BenchStats, SummaryAndPercentile) {
    struct Case {
        std::vector<double> values;
        Summary summary;
        double p99;
    };
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    const Case cases[] = {
        {{7}, {7, 7, 7, 1}, 7},
        {{3, 1, 2}, {1, 2, 3, 3}, 3},
        {{4, 1, 3, 2}, {1, 2.5, 4, 4}, 4},  // even count: the middle two averaged
        {hundred, {1, 50.5, 100, 100}, 99},
    };
    for (const Case& c : cases) {
        const auto s = Summarize(c.values);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->min, c.summary.min);
        EXPECT_EQ(s->median, c.summary.median);
        EXPECT_EQ(s->max, c.summary.max);
        EXPECT_EQ(s->count, c.summary.count);
        EXPECT_EQ(Percentile(c.values, 99), c.p99);
    }
    EXPECT_FALSE(Summarize({}));
    EXPECT_EQ(Percentile({}, 99), 0);
    EXPECT_EQ(Percentile({5, 1}, 1), 1);
}

std::string Command(double t, const std::string& text) {
    return "{\"type\":\"command\",\"index\":1,\"t_ms\":" + std::to_string(t) +
           ",\"pause_ms\":null,\"bytes_hex\":\"00\",\"text\":\"" + text + "\",\"complete\":true}\n";
}

TEST(BenchStats, WriteSpacingsStayWithinEachSend) {
    const std::string message =
        "{\"type\":\"message\",\"mode\":\"text\",\"command\":3,\"text\":\"AT$RESET\"}\n";
    struct Case {
        std::string transcript;
        std::vector<double> spacings;
    };
    const Case cases[] = {
        {"", {}},
        {Command(10, "AT+CMGF=1<LF><CR>"), {}},
        // Two sends: the gap after AT$RESET is not a spacing, nor is a message record a write.
        {Command(0, "AT+CMGF=1<LF><CR>") + Command(1000.5, "Hi<Ctrl-Z><LF><CR>") + message +
             Command(2001, "AT$RESET") + Command(9000, "AT+CMGF=0<LF><CR>") +
             Command(9999, "AT$RESET"),
         {1000.5, 1000.5, 999}},
        // A send cut short (no AT$RESET) still runs into the next command.
        {Command(0, "AT+CMEE=2<LF><CR>") + Command(4, "AT+CMGF=0<LF><CR>"), {4}},
        // The ESC of an Init, long before the send, is no part of it.
        {Command(0, "<ESC>") + Command(5000, "AT+CMGF=1<LF><CR>") + Command(6000, "AT$RESET"),
         {1000}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WriteSpacings(c.transcript), c.spacings) << c.transcript;
    }
}

TEST(BenchReport, SamplesAccumulateAndSkipsKeepTheirReason) {
    const Samples s = ParseSamples(
        "send_text 5003.5 5004\nsend_text 5002\r\nskip com_cold Wine is not installed\n"
        "ping_median x 0.08\n\n");
    EXPECT_EQ(s.values.at("send_text"), (std::vector<double>{5003.5, 5004, 5002}));
    EXPECT_EQ(s.values.at("ping_median"), (std::vector<double>{0.08}));
    EXPECT_EQ(s.skipped.at("com_cold"), "Wine is not installed");
}

TEST(BenchReport, RowsTableAndJson) {
    Samples s = ParseSamples(
        "send 5010 5020 5030\nstatus 0.12\nping 0.1\nidle 3\nzero 0\nspacing 996 1005.5\n"
        "skip com Wine is not installed\n");
    const std::vector<RowSpec> specs = {
        {"send", "ms", "send", "5000", "floor", {Goal::Kind::kRatioAtMost, 1.005}, true},
        {"status", "ms", "status", "ping", "Peer.Ping", {Goal::Kind::kRatioAtMost, 1.1}},
        {"spacing", "ms", "spacing", "1000", "pause", {Goal::Kind::kWithin, 5}},
        {"idle", "calls", "idle", "zero", "minimal", {Goal::Kind::kWithin, 0}},
        {"com", "ms", "com", "ping", "GetTypeInfoCount", {}},
    };
    const auto rows = BuildRows(specs, s);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_DOUBLE_EQ(*rows[0].ratio, 1.004);
    EXPECT_EQ(rows[0].met, true);
    EXPECT_EQ(rows[1].met, false);
    EXPECT_EQ(rows[2].met, false);  // 1005.5 is beyond 1000 ± 5
    EXPECT_FALSE(rows[3].ratio);    // nothing to divide by
    EXPECT_EQ(rows[3].met, false);
    EXPECT_FALSE(rows[4].product);
    EXPECT_FALSE(rows[4].met);

    const std::string table = MarkdownTable(rows);
    EXPECT_NE(table.find("| send | 5020.0 (5010.0–5030.0) ms | floor 5000.0 ms | "
                         "1.004× (+20.00 ms, +0.40 %) | ≤ 1.005×: met |"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("| com | skipped: Wine is not installed | GetTypeInfoCount 0.100 ms | "
                         "— |  |"),
              std::string::npos)
        << table;
    const std::string json = Json(rows);
    EXPECT_NE(json.find("{\"measure\":\"send\",\"unit\":\"ms\",\"product\":{\"min\":5010.0000,"
                        "\"median\":5020.0000,\"max\":5030.0000,\"runs\":3},\"reference\":{"
                        "\"min\":5000.0000,\"median\":5000.0000,\"max\":5000.0000,\"runs\":1},"
                        "\"reference_label\":\"floor\",\"ratio\":1.0040,\"goal\":\"≤ 1.005×\","
                        "\"met\":true,\"note\":null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"ratio\":null,\"goal\":\"\",\"met\":null,"
                        "\"note\":\"Wine is not installed\"}\n]"),
              std::string::npos)
        << json;
}

TEST(BenchReport, CellsShowEnoughDigitsAndTheRangeOnlyWhenThereIsOne) {
    struct Case {
        std::string samples;
        std::string product;  // the table's cell
        std::string ratio;
    };
    const Case cases[] = {
        {"p 0.0754\nr 0.0701\n", "0.075 ms", "1.076× (+0.005 ms, +7.56 %)"},
        {"p 12.5 12.5\nr 25\n", "12.50 ms", "0.500× (-12.50 ms, -50.00 %)"},
        {"p 999.94 1000 1004.46\nr 1000\n", "1000.0 (999.9–1004.5) ms",
         "1.000× (+0.000 ms, +0.00 %)"},
        {"p 3\nr 0\n", "3.00 ms", "—"},
    };
    for (const Case& c : cases) {
        const RowSpec spec{"m", "ms", "p", "r", "ref", {}, true};
        const std::string table = MarkdownTable(BuildRows({spec}, ParseSamples(c.samples)));
        EXPECT_NE(table.find("| m | " + c.product + " | ref "), std::string::npos) << table;
        EXPECT_NE(table.find(" | " + c.ratio + " |  |\n"), std::string::npos) << table;
    }
}

TEST(BenchReport, JsonEscapesQuotesAndBackslashes) {
    const RowSpec spec{"a \"quoted\" \\ measure", "ms", "x", "1", "ref", {}};
    const std::string json = Json(BuildRows({spec}, ParseSamples("skip x no \"strace\"\n")));
    EXPECT_NE(json.find("\"measure\":\"a \\\"quoted\\\" \\\\ measure\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"note\":\"no \\\"strace\\\"\""), std::string::npos) << json;
}

TEST(BenchReport, ARateGoalIsMetAtOrAboveItsRatio) {
    // Rates, where more is better: two instances against one.
    const Samples s = ParseSamples("two 23.9 24 23.8\nslow 23.6\none 12 11.9 12.1\n");
    const std::vector<RowSpec> specs = {
        {"spread", "SMS/min", "two", "one", "one instance", {Goal::Kind::kRatioAtLeast, 1.98}},
        {"slow", "SMS/min", "slow", "one", "one instance", {Goal::Kind::kRatioAtLeast, 1.98}},
        {"exact", "SMS/min", "one", "one", "itself", {Goal::Kind::kRatioAtLeast, 1}},
        {"gone", "SMS/min", "none", "one", "one instance", {Goal::Kind::kRatioAtLeast, 1.98}},
    };
    const auto rows = BuildRows(specs, s);
    EXPECT_EQ(rows[0].met, true);  // 23.9 / 12
    EXPECT_EQ(rows[1].met, false);
    EXPECT_EQ(rows[2].met, true);
    EXPECT_FALSE(rows[3].met);
    const std::string table = MarkdownTable(rows);
    EXPECT_NE(table.find("| spread | 23.90 (23.80–24.00) SMS/min | one instance 12.00 "
                         "(11.90–12.10) SMS/min | 1.992× | ≥ 1.98×: met |"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("| slow | 23.60 SMS/min | one instance 12.00 (11.90–12.10) SMS/min | "
                         "1.967× | ≥ 1.98×: missed |"),
              std::string::npos)
        << table;
    EXPECT_NE(Json(rows).find("\"goal\":\"≥ 1.98×\",\"met\":false"), std::string::npos);
}

}  // namespace
}  // namespace merel::bench
