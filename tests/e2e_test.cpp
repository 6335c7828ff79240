// SPDX-License-Identifier: MIT
// End to end: main's whole output, quickly on a scripted measurement, and one
// whole sweep of the real executable.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools.h"

namespace {

const std::string exe = MEMSWEEP_RUN;  // how to run the built memsweep
const std::string scripted = MEMSWEEP_SCRIPTED_EXE;

struct Row {
    int label, stride;
    double gbs;
};

// table checks the shape of a run's standard output and returns its rows.
std::vector<Row> table(const std::string &out)
{
    std::vector<std::string> lines = lines_of(out);
    EXPECT_EQ(lines.size(), 211u);
    EXPECT_TRUE(!out.empty() && out.back() == '\n');
    std::vector<Row> rows;
    if (lines.empty())
        return rows;
    EXPECT_EQ(lines[0], "");
    size_t n = 1;
    for (int label = 14; label >= 1; label--) {
        for (int stride = 1; stride <= 15; stride++, n++) {
            if (n >= lines.size())
                return rows;
            Row r{};
            char tail;
            int got = sscanf(lines[n].c_str(), "%d\t%d\t%lf%c", &r.label, &r.stride, &r.gbs, &tail);
            EXPECT_EQ(got, 3) << lines[n];
            EXPECT_EQ(r.label, label) << lines[n];
            EXPECT_EQ(r.stride, stride) << lines[n];
            EXPECT_EQ(lines[n].find_first_not_of("0123456789\t"), std::string::npos) << lines[n];
            rows.push_back(r);
        }
    }
    return rows;
}

// main's whole table, on a scripted measurement: the golden file is what the
// documented arithmetic prints for fake_measure's cycle counts at 2500 MHz.
TEST(Table, PrintsAnEmptyLineThen210RowsByteForByteAndExitsZero)
{
    Outcome o = run_shell(quote(scripted));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    std::string golden = slurp(std::string(MEMSWEEP_TESTS_DIR) + "/data/scripted_table.tsv");
    EXPECT_EQ(table(golden).size(), 210u);
    EXPECT_EQ(o.out, golden);
    // The cells where the order of operations or the rounding decides the
    // figure (see fake_measure.cpp).
    for (const char *row : {"\n14\t1\t2\n", "\n14\t3\t2\n", "\n14\t14\t33\n"})
        EXPECT_NE(o.out.find(row), std::string::npos) << row;
}

// Each row reaches standard output as soon as it is measured: a run stopped
// by Ctrl-C keeps every row it finished, and a full disk stops the run at
// the first row (had it gone on, the second measurement would have stopped
// it by SIGINT instead).
TEST(Table, KeepsEveryFinishedRowWhenStoppedAndStopsAtTheFirstRowThatCantBeWritten)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = dir.path + "/table.tsv";
    Outcome o = run_shell("MEMSWEEP_FAKE_STOP_AFTER=20 " + quote(scripted) + " >" + quote(file));
    EXPECT_NE(o.status, 0);
    std::string golden = slurp(std::string(MEMSWEEP_TESTS_DIR) + "/data/scripted_table.tsv");
    std::vector<std::string> want = lines_of(golden);
    want.resize(21);
    EXPECT_EQ(lines_of(slurp(file)), want);

    o = run_shell("MEMSWEEP_FAKE_STOP_AFTER=1 " + quote(scripted) + " >/dev/full");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find("standard output"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
}

// Slow: one whole sweep of the real executable, about a minute on an idle
// machine and several on a busy one.
TEST(Sweep, PrintsTheTableShapeWithPositiveFiguresAndExitsZero)
{
    Outcome o = run_shell(quote(exe));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    std::vector<Row> rows = table(o.out);
    ASSERT_EQ(rows.size(), 210u);
    // Rounded to whole GB/s, a large working set at a long stride may show 0
    // on a slow machine; every working set shows a positive figure somewhere.
    for (int label = 0; label < 14; label++) {
        double sum = 0.0;
        for (int stride = 0; stride < 15; stride++)
            sum += rows[label * 15 + stride].gbs;
        EXPECT_GT(sum, 0.0) << "label " << 14 - label;
    }
}

}  // namespace
