// SPDX-License-Identifier: MIT
// memsweep-plot: the picture's shaping in-process (picture.h), its gnuplot
// data (gnuplot.h), the gnuplot program loaded with made-up data, and a few
// pictures drawn end to end.
#include <gtest/gtest.h>
#include <math.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/writer.h"
#include "plot/gnuplot.h"
#include "plot/picture.h"
#include "tools.h"

namespace {

using format::Record;

const std::string plot_exe = MEMSWEEP_PLOT_EXE;

bool has(const std::vector<std::string> &lines, const std::string &part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(part) != std::string::npos; });
}

// figures is a point's passes around a median, spread by `spread` of it.
format::Figures figures(double median, int passes = 5, double spread = 0.01)
{
    std::vector<double> p;
    for (int k = 0; k < passes; k++)
        p.push_back(median * (1.0 + spread * (k - passes / 2) / std::max(1, passes / 2)));
    return format::figures_of(p);
}

// table is memsweep's grid of labels and strides as a table reads.
Record table(int l0 = 1, int l1 = 14, int s0 = 1, int s1 = 15, double scale = 1.0)
{
    Record r;
    r.is_table = true;
    r.passes = 1;
    for (int l = l1; l >= l0; l--)
        for (int s = s0; s <= s1; s++)
            r.cells.push_back({l, s, format::figures_of({scale * (100.0 / l + s)})});
    return r;
}

// record is a made-up record of every list: 5 passes, its latency, a
// bandwidth plane of 1 and 2 threads, and a loaded latency with a knee.
Record record(double scale = 1.0)
{
    Record r = table(1, 14, 1, 15, scale);
    r.is_table = false;
    r.passes = 5;
    for (format::CellPoint &c : r.cells)
        c.gbs = figures(c.gbs.median);
    r.version = "0.1.0";
    r.start = "2026-12-08T13:44:15Z";
    r.model = "Test CPU_9";
    r.cpu = 1;
    r.cpus = 2;
    r.pages = "system";
    r.counter_mhz = 2000.0;
    r.cpu_mhz = 2000.0;
    r.factor = 1.0;
    r.caches = {{"L1d", 32768}, {"L2", 1 << 20}};
    for (uint64_t b = 16384; b <= (128u << 20); b *= 4)
        r.latency.push_back({b, figures(b > (1u << 20) ? 90.0 : 1.5)});
    r.has_plane = r.has_bandwidth = true;
    for (const char *kernel : {"vector-read", "copy"})
        for (int threads : {1, 2})
            for (uint64_t b = 16384; b <= (64u << 20); b *= 16)
                r.bandwidth.push_back({kernel, "avx2", threads, b, figures(scale * threads * (b > (1u << 20) ? 20 : 80))});
    r.loaded.push_back({"", format::idle_delay, 0.0, {}, figures(100.0)});
    // Listed out of the loads' order; the longer the delay, the less load.
    const double loads[] = {20.0, 5.0, 15.0, 10.0};
    const double ns[] = {400.0, 110.0, 250.0, 150.0};
    for (int i = 0; i < 4; i++)
        r.loaded.push_back({"vector-read", (uint64_t)(1000 * (25 - loads[i])), loads[i], {loads[i]}, figures(ns[i])});
    return r;
}

plot::Inputs inputs(std::vector<Record> records)
{
    plot::Inputs in;
    in.records = std::move(records);
    in.names = {"a.json", "b.json"};
    in.names.resize(in.records.size());
    in.machine_title = "memsweep on this machine";
    return in;
}

plot::Picture picture(const plot::Inputs &in)
{
    plot::Picture p;
    std::string why = plot::picture_of(in, &p);
    EXPECT_EQ(why, "");
    return p;
}

// ====================== The shaping ======================

TEST(Grid, TakesAFullGridOfRunsAndSaysWhatIsMissing)
{
    plot::Grid g;
    EXPECT_EQ(plot::grid_of(table(3, 9, 2, 5), &g), "");
    EXPECT_EQ(g.min_label, 3);
    EXPECT_EQ(g.max_stride, 5);
    EXPECT_NE(plot::describe(g).find("64K to 4M"), std::string::npos);
    EXPECT_NE(plot::describe(g).find("2 to 5"), std::string::npos);

    Record gap = table(1, 4, 1, 3);
    gap.cells.erase(std::remove_if(gap.cells.begin(), gap.cells.end(),
                                   [](const format::CellPoint &c) { return c.label == 2; }),
                    gap.cells.end());
    EXPECT_NE(plot::grid_of(gap, &g).find("labels 1 to 4 have gaps"), std::string::npos);
    Record short_one = table(1, 4, 1, 3);
    short_one.cells.pop_back();
    EXPECT_NE(plot::grid_of(short_one, &g).find("11 cells, but 4 sizes by 3 strides need 12"), std::string::npos);
    EXPECT_NE(plot::grid_of(table(1, 4, 2, 2), &g).find("at least two"), std::string::npos);
}

TEST(Caches, StandBetweenTheLargestSetTheyHoldAndTheNext)
{
    std::vector<plot::CacheMark> m = plot::cache_marks({{"L1d", 49152}, {"L2", 1 << 20}, {"L3", 0}});
    ASSERT_EQ(m.size(), 2u);  // a size of 0 is no cache to mark
    EXPECT_EQ(m[0].x, 2.5);   // 48K: between 32K (label 2) and 64K
    EXPECT_EQ(m[0].size, "48K");
    EXPECT_EQ(m[1].x, 7.5);  // 1M is label 7
    EXPECT_EQ(m[1].size, "1M");
    EXPECT_EQ(plot::cache_list({{"L1d", 49152}, {"L2", 1 << 20}}), "L1d 48K, L2 1M");
    // A record may list any number: the picture marks a machine's few.
    EXPECT_EQ(plot::cache_marks(std::vector<format::CacheSize>(200, {"L9", 4096})).size(), plot::most_marks);
}

TEST(Caches, OfThisMachineAreItsDataAndUnifiedCachesInWholeNumbers)
{
    TempFolder f;
    auto index = [&](int i, const std::string &level, const std::string &type, const std::string &size) {
        std::string at = "/index" + std::to_string(i);
        f.put(at + "/level", level + "\n");
        f.put(at + "/type", type + "\n");
        f.put(at + "/size", size + "\n");
    };
    index(0, "1", "Data", "48K");
    index(1, "1", "Instruction", "32K");
    index(2, "2", "Unified", "2M");
    index(3, "3", "Unified", "1G");
    index(4, "3", "Unified", "12Q");  // no size
    index(5, "x", "Unified", "1M");   // no level
    std::vector<format::CacheSize> c = plot::caches_in(f.path);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].name, "L1d");
    EXPECT_EQ(c[0].bytes, 49152u);
    EXPECT_EQ(c[1].bytes, 2u << 20);
    EXPECT_EQ(c[2].bytes, uint64_t(1) << 30);
    EXPECT_TRUE(plot::caches_in(f.path + "/none").empty());
}

TEST(Title, OfATableIsThisMachinesModelAndRateWhereCpuinfoHasThem)
{
    TempFolder f;
    f.put("/cpuinfo", "processor\t: 0\nmodel name\t: Made-up CPU 9\ncpu MHz\t\t: 2400.5\n\n"
                      "processor\t: 1\nmodel name\t: Other\ncpu MHz\t\t: 800\n");
    std::string t = plot::machine_title(f.path + "/cpuinfo");
    EXPECT_NE(t.find("Made-up CPU 9"), std::string::npos) << t;
    EXPECT_NE(t.find("2400 MHz"), std::string::npos) << t;  // the first of each
    EXPECT_EQ(t.find("Other"), std::string::npos) << t;
    f.put("/odd", "cpu MHz : fast\n");
    EXPECT_EQ(plot::machine_title(f.path + "/odd").find("MHz"), std::string::npos);
    EXPECT_NE(plot::machine_title(f.path + "/missing").find("an unknown CPU"), std::string::npos);
    // 64-bit Arm's cpuinfo names its core by ids, and has no rate.
    f.put("/arm", "processor\t: 0\nCPU implementer\t: 0x41\nCPU part\t: 0xd0c\n");
    EXPECT_EQ(plot::machine_title(f.path + "/arm"), "memsweep on Neoverse-N1");
}

TEST(Layout, PutsThePanelsInAGridOfTwoOrThreeARow)
{
    plot::Layout two = plot::layout_of(2, 0);
    EXPECT_EQ(two.columns * 10 + two.rows, 21);
    plot::Layout four = plot::layout_of(4, 1);
    EXPECT_EQ(four.columns * 10 + four.rows, 22);
    plot::Layout five = plot::layout_of(5, 2);
    EXPECT_EQ(five.columns * 10 + five.rows, 32);
    EXPECT_EQ(five.width, 3 * plot::panel_width);
    EXPECT_GT(five.height, 2 * plot::panel_height);  // room for the title and the caption
    EXPECT_GT(plot::layout_of(5, 4).height, five.height);
    EXPECT_FALSE(plot::legend_outside(plot::legend_inside));
    EXPECT_TRUE(plot::legend_outside(plot::legend_inside + 1));
}

TEST(Scale, ColoursByTheHighestFigureOrTheFarthestRatio)
{
    EXPECT_EQ(plot::colour_top({{1, 1, 3.0, 0, ""}, {1, 2, 7.5, 0, ""}, {1, 3, NAN, 0, ""}}), 7.5);
    EXPECT_EQ(plot::colour_top({{1, 1, 0.0, 0, ""}}), 1.0);
    EXPECT_EQ(plot::ratio_top({0.5, 1.2, INFINITY, NAN, 0.0}), 2.0);
    EXPECT_EQ(plot::ratio_top({1.01}), 1.05);
}

TEST(Picture, OfOneRecordShowsHowItWasMadeAndEveryPanel)
{
    Record r = record();
    r.cells[0].gbs = figures(50.0, 5, 0.2);  // spread too far to trust
    r.factor = 1.25;
    r.warnings = {"the machine was busy"};
    plot::Picture p = picture(inputs({r}));
    EXPECT_NE(p.title.find("Test CPU_9"), std::string::npos);
    EXPECT_NE(p.title.find("2026-12-08T13:44:15Z"), std::string::npos);
    ASSERT_EQ(p.caption.size(), 2u);
    EXPECT_NE(p.caption[0].find("5 passes on CPU 1"), std::string::npos) << p.caption[0];
    EXPECT_NE(p.caption[0].find("counter 2000.000 MHz, cpu MHz factor 1.250"), std::string::npos);
    EXPECT_NE(p.caption[1].find("1 cell "), std::string::npos) << p.caption[1];
    EXPECT_NE(p.caption[1].find("1 warning"), std::string::npos);
    EXPECT_TRUE(has(p.notes, "the machine was busy"));
    EXPECT_EQ(p.panels, 5);
    EXPECT_EQ(p.layout.columns, 3);
    EXPECT_EQ(p.report, "");  // one input reports nothing
    ASSERT_EQ(p.cells.size(), 210u);
    EXPECT_EQ(p.cells.front().label, 1);  // labels up, strides up
    EXPECT_EQ(p.cells[1].stride, 2);
    EXPECT_EQ(std::count_if(p.cells.begin(), p.cells.end(), [](const plot::Cell &c) { return c.flag == 1; }), 1);
    ASSERT_EQ(p.marks.size(), 2u);  // the record's own caches
    r.factor = 1.0;
    r.passes = 1;
    for (format::CellPoint &c : r.cells)
        c.gbs = format::figures_of({c.gbs.median});
    p = picture(inputs({r}));
    EXPECT_EQ(p.caption[0].find("factor"), std::string::npos);
    EXPECT_EQ(p.caption[1].rfind("one pass", 0), 0u);
}

TEST(Picture, OfATableIsItsCellsUnderThisMachinesTitle)
{
    plot::Inputs in = inputs({table()});
    in.caches = {{"L2", 1 << 20}};
    plot::Picture p = picture(in);
    EXPECT_EQ(p.title, "memsweep on this machine");
    EXPECT_EQ(p.panels, 2);
    EXPECT_TRUE(p.caption.empty());
    EXPECT_EQ(p.marks.size(), 1u);
    in.title = "mine";
    EXPECT_EQ(picture(in).title, "mine");
}

TEST(Curves, BandwidthDrawsTheVectorReadAtEveryCountAndTheOthersAtTheEnds)
{
    Record r;
    for (int threads : {1, 2, 4})
        for (const char *kernel : {"vector-read", "write", "mystery"})
            for (uint64_t b : {uint64_t(1) << 20, uint64_t(1) << 14})
                r.bandwidth.push_back({kernel, "scalar", threads, b, figures(10.0 * threads)});
    std::vector<plot::Curve> c = plot::bandwidth_curves(r);
    ASSERT_EQ(c.size(), 5u);  // vector-read 1, 2, 4; write 1 and 4; no mystery
    EXPECT_EQ(c[2].title, "vector-read, 4 threads");
    EXPECT_EQ(c[3].title, "write, 1 thread");
    EXPECT_EQ(c[3].dash, 1);
    EXPECT_EQ(c[4].dash, 2);  // the most threads dashed
    ASSERT_EQ(c[0].rows.size(), 2u);
    EXPECT_LT(c[0].rows[0].x, c[0].rows[1].x);  // by working set
    EXPECT_NE(c[0].colour, c[1].colour);
}

TEST(Curves, PlateauIsTheVectorReadAtItsLargestSetAtTheFewestAndMostThreads)
{
    Record r = record();
    std::string plateau = plot::plateau_text(r);
    EXPECT_EQ(plateau.rfind("memory: 20.0 GB/s on 1 thread", 0), 0u) << plateau;
    EXPECT_NE(plateau.find("40.0 on 2"), std::string::npos) << plateau;
    r.caches.push_back({"L3", uint64_t(1) << 30});
    EXPECT_EQ(plot::plateau_text(r).rfind("largest sets: ", 0), 0u);
    r.bandwidth.clear();
    EXPECT_EQ(plot::plateau_text(r), "");
}

TEST(Curves, LoadedLatencyClimbsInOrderOfLoadAndStarsOnlyAClearKnee)
{
    Record r = record();
    std::vector<plot::Knee> knees;
    std::vector<plot::Curve> c = plot::loaded_curves(r, "", "#000000", nullptr, &knees);
    ASSERT_EQ(c.size(), 1u);  // no copy points
    std::vector<double> x(c[0].rows.size());
    std::transform(c[0].rows.begin(), c[0].rows.end(), x.begin(), [](const plot::Row &row) { return row.x; });
    EXPECT_EQ(x, (std::vector<double>{0.0, 5.0, 10.0, 15.0, 20.0}));
    EXPECT_EQ(c[0].rows[0].low, r.loaded[0].ns.min);  // each point with its range
    ASSERT_EQ(knees.size(), 1u);  // 150 ns at 10 GB/s, 250 at 15: a clear crossing of 200
    EXPECT_EQ(knees[0].ns, 200.0);
    EXPECT_GT(knees[0].gbs, 10.0);
    EXPECT_LT(knees[0].gbs, 15.0);

    // Two records' points by the verdicts of their pairs: B's point of a
    // load no point of A's comes near is in B alone, a cross.
    Record b = record();
    b.loaded.push_back({"vector-read", 1, 40.0, {40.0}, figures(600.0)});
    std::vector<int> of_a;
    std::vector<int> of_b;
    compare::Comparison judged = compare::compare_records(r, b, compare::Settings());
    plot::loaded_points(r, b, judged, &of_a, &of_b);
    ASSERT_EQ(of_b.size(), b.loaded.size());
    EXPECT_EQ(of_a, std::vector<int>(r.loaded.size(), plot::open_point));  // all the same
    EXPECT_EQ(of_b.back(), plot::cross);

    // The point before the crossing reaches twice the idle latency in some
    // pass: the crossing may be noise, and gets no star.
    r.loaded[4].ns = figures(150.0, 5, 0.5);
    knees.clear();
    plot::loaded_curves(r, "", "#000000", nullptr, &knees);
    EXPECT_TRUE(knees.empty());
}

TEST(Picture, OfTwoRecordsTakesEveryVerdictAndConditionFromTheComparison)
{
    Record a = record();
    Record b = record(1.5);
    b.counter_mhz = 2100.0;
    b.governors = "performance on 2";
    b.warnings = {"busy"};
    plot::Inputs in = inputs({a, b});
    plot::Picture p = picture(in);
    compare::Settings s = in.settings;
    s.across_machines = true;
    compare::Comparison c = compare::compare_records(a, b, s);
    ASSERT_FALSE(c.conditions.empty());
    for (const std::string &d : c.conditions) {
        EXPECT_NE(std::find(p.caption.begin(), p.caption.end(), d), p.caption.end()) << d;
        EXPECT_TRUE(has(p.notes, d)) << d;
    }
    EXPECT_TRUE(has(p.notes, "warning in B: busy"));
    EXPECT_TRUE(has(p.notes, "two machines:"));  // the counters differ
    std::vector<std::string> report = lines_of(p.report);
    ASSERT_EQ(report.size(), c.points.size() + 1);
    EXPECT_EQ(report.back(), compare::summary(c, s));
    EXPECT_EQ(report[0], compare::point_line(c.points[0]).substr(5));  // a cell's line without its kind
    EXPECT_EQ(std::count_if(p.cells.begin(), p.cells.end(), [](const plot::Cell &x) { return x.text == "1.50"; }),
              210);
    EXPECT_EQ(p.panels, 4);
    EXPECT_EQ(p.layout.columns, 2);
    ASSERT_NE(p.title.find("Test CPU_9"), std::string::npos);
    EXPECT_EQ(p.title.find("Test CPU_9"), p.title.rfind("Test CPU_9"));  // one model, named once
    EXPECT_GT(p.bandwidth_scale, 1.4);

    // The same record twice: every cell the same, drawn as 1 and "=".
    p = picture(inputs({a, a}));
    EXPECT_TRUE(std::all_of(p.cells.begin(), p.cells.end(),
                            [](const plot::Cell &x) { return x.text == "=" && x.value == 1.0 && x.flag == 1; }));
    EXPECT_FALSE(has(p.notes, "two machines:"));
}

TEST(Picture, OfATableBesideAnythingHasEveryCellUnknown)
{
    Record zero = table();
    zero.cells[0].gbs = format::figures_of({0.0});
    plot::Picture p = picture(inputs({zero, record()}));
    std::vector<std::string> report = lines_of(p.report);
    ASSERT_EQ(report.size(), 211u);
    EXPECT_EQ(report[0], "14\t1\tNaN\tunknown");  // memsweep's order; A's figure was 0
    EXPECT_EQ(report.back().rfind("unknown 210: ", 0), 0u);
    EXPECT_EQ(p.panels, 1);  // a record beside a table is drawn as one
    EXPECT_EQ(p.title, "memsweep on this machine");

    plot::Picture refused;
    EXPECT_NE(plot::picture_of(inputs({table(1, 13), table()}), &refused).find("differ in shape"),
              std::string::npos);
}

// ====================== The gnuplot data ======================

TEST(Gnuplot, RunsWithNumbersInTheCLocalesFormAndTheRestOfTheCallersLocale)
{
    // the environment for gnuplot of the given one, sorted
    auto child = [](std::vector<std::string> given) {
        std::vector<char *> env(given.size() + 1, nullptr);
        std::transform(given.begin(), given.end(), env.begin(), [](std::string &e) -> char * { return &e.front(); });
        std::vector<std::string> got = plot::child_environment(env.data());
        std::sort(got.begin(), got.end());
        return got;
    };
    std::vector<std::string> got = child({"PATH=/bin", "LC_ALL=de_DE.UTF-8", "LC_TIME=fr_FR", "LANG=en_GB"});
    EXPECT_EQ(got, (std::vector<std::string>{"LANG=de_DE.UTF-8", "LC_NUMERIC=C", "PATH=/bin"}));
    got = child({"LANG=de_DE.UTF-8", "LC_NUMERIC=de_DE.UTF-8", "LC_CTYPE=C.UTF-8"});
    EXPECT_EQ(got, (std::vector<std::string>{"LANG=de_DE.UTF-8", "LC_CTYPE=C.UTF-8", "LC_NUMERIC=C"}));
}

TEST(Gnuplot, TextAndNumbersReachItAsValuesOnly)
{
    EXPECT_EQ(plot::quoted("it's \\n `x` @y"), "'it''s \\n `x` @y'");
    EXPECT_EQ(plot::quoted("two\nlines\x1b"), "'two?lines?'");
    EXPECT_EQ(plot::number(NAN), "NaN");
    EXPECT_EQ(plot::number(2.5e-310), "1e-300");
    EXPECT_EQ(plot::number(-1.7e308), "-1e+300");
    EXPECT_EQ(plot::number(25.125), "25.125");
    plot::Picture p = picture(inputs({table()}));
    std::string v = plot::variables(p, "png");
    EXPECT_NE(v.find("mark_count = 0\narray mark_x[1]\n"), std::string::npos) << v;
    EXPECT_NE(v.find("latency_count = 0\n"), std::string::npos);
}

// gnuplot_here says why gnuplot can't be run here, or "".
std::string gnuplot_here()
{
    return plot::gnuplot_found() ? "" : "gnuplot is not installed (scripts/setup installs it)";
}

// draw runs the installed-beside program on a picture in a fresh folder,
// and returns gnuplot's verdict and the picture's size.
std::string draw(const plot::Picture &p, const std::string &format, size_t *bytes)
{
    TempFolder f;
    std::string why = plot::write_data(p, format, f.path);
    volatile int child = 0;
    if (why.empty())
        why = plot::run_gnuplot(std::string(MEMSWEEP_PLOT_PROGRAM), f.path, &child);
    *bytes = slurp(f.path + "/picture").size();
    return why;
}

TEST(Gnuplot, LoadsTheProgramWithEveryPanelOfOneInputAndOfTwo)
{
    if (!gnuplot_here().empty())
        GTEST_SKIP() << gnuplot_here();
    size_t bytes = 0;
    plot::Picture one = picture(inputs({record()}));
    one.knees.push_back({12.0, 200.0});
    EXPECT_EQ(draw(one, "svg", &bytes), "");
    EXPECT_GT(bytes, 10000u);
    Record b = record(1.2);
    b.loaded[2].load_gbs = 5.2;
    EXPECT_EQ(draw(picture(inputs({record(), b})), "png", &bytes), "");
    EXPECT_GT(bytes, 10000u);
    // Figures at the ends of what a double holds are drawn, not refused.
    Record extreme = record();
    extreme.cells[0].gbs = format::figures_of({2.5e-310});
    extreme.cells[1].gbs = format::figures_of({1.7e308});
    extreme.latency[0].ns = format::figures_of({1.7e308});
    EXPECT_EQ(draw(picture(inputs({extreme})), "png", &bytes), "");
}

// ====================== The command ======================

class Command : public testing::Test
{
   protected:
    TempFolder folder;
    std::string dir = folder.path;

    void SetUp() override
    {
        if (!gnuplot_here().empty())
            GTEST_SKIP() << gnuplot_here();
    }

    std::string put(const std::string &name, const std::string &text)
    {
        folder.put("/" + name, text);
        return dir + "/" + name;
    }

    std::string put_record(const std::string &name, const Record &r)
    {
        format::Written w = format::write_record(r);
        EXPECT_EQ(w.error, "");
        return put(name, w.text);
    }

    static std::string table_text(const Record &t)
    {
        std::string text;
        for (const format::CellPoint &c : t.cells)
            text += std::to_string(c.label) + "\t" + std::to_string(c.stride) + "\t" +
                    memsweep_figure(c.gbs.median) + "\n";
        return text;
    }

    static std::string memsweep_figure(double x)
    {
        char text[32];
        snprintf(text, sizeof text, "%.2f", x);
        return text;
    }

    // plot runs memsweep-plot from the build tree with only the system's
    // folders on PATH.
    Outcome plot(const std::string &args, const std::string &under = "")
    {
        return run_shell(under + "PATH=/usr/bin:/bin " + quote(plot_exe) + " -c none " + args);
    }
};

// expect_picture checks a PNG's signature and size, or an SVG's root.
void expect_picture(const std::string &path, unsigned width)
{
    std::string pic = slurp(path);
    ASSERT_GT(pic.size(), 24u) << path;
    if (pic.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) {
        EXPECT_NE(pic.find("<svg"), std::string::npos) << path;
        return;
    }
    unsigned w = (unsigned)(unsigned char)pic[16] << 24 | (unsigned)(unsigned char)pic[17] << 16 |
                 (unsigned)(unsigned char)pic[18] << 8 | (unsigned)(unsigned char)pic[19];
    EXPECT_EQ(w, width);
}

TEST_F(Command, DrawsATableFromStandardInputAndAsSvgByName)
{
    std::string t = put("t.tsv", table_text(table()));
    Outcome o = plot("-o " + quote(dir + "/t.png") + " < " + quote(t));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out + o.err, "");
    expect_picture(dir + "/t.png", 2 * plot::panel_width);
    o = plot("-o " + quote(dir + "/T.SVG") + " " + quote(t));
    EXPECT_EQ(o.status, 0) << o.err;
    expect_picture(dir + "/T.SVG", 0);
}

TEST_F(Command, DrawsARecordAndComparesTwoUnderADecimalComma)
{
    std::string a = put_record("a.json", record());
    Record slower = record(0.8);
    slower.warnings = {"busy"};
    std::string b = put_record("b.json", slower);
    Outcome o = plot("-o " + quote(dir + "/r.png") + " " + quote(a));
    EXPECT_EQ(o.status, 0) << o.err;
    expect_picture(dir + "/r.png", 3 * plot::panel_width);

    // numbers written and read with a point, whatever the caller's locale
    std::string locales = dir + "/locales";
    std::string under = "LOCPATH=" + quote(locales) + " LC_ALL=de_DE.UTF-8 ";
    run_shell("mkdir -p " + quote(locales) + " && localedef -i de_DE -f UTF-8 " + quote(locales + "/de_DE.UTF-8"));
    bool comma = run_shell(under + "awk 'BEGIN { printf \"%.1f\", 1.5 }'").out == "1,5";
    o = plot("-o " + quote(dir + "/ab.png") + " " + quote(a) + " " + quote(b), comma ? under : "");
    EXPECT_EQ(o.status, 0) << o.err;
    expect_picture(dir + "/ab.png", 2 * plot::panel_width);
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_GT(lines.size(), 210u);
    EXPECT_EQ(lines[0].substr(0, 5), "14\t1\t");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 6), "slower");
    EXPECT_NE(lines[0].find("0.800"), std::string::npos) << lines[0];
    EXPECT_NE(o.err.find("warning in B: busy"), std::string::npos) << o.err;
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma (localedef, and de_DE from the locales package)";
}

TEST_F(Command, RefusesBadInputWithOneLineAndLeavesNoPicture)
{
    std::string good = put("good.tsv", table_text(table()));
    const struct Case {
        std::string args, says;
    } cases[] = {
        {quote(put("bad.tsv", "1\t1\t5\n1\tx\t5\n")), "line 2"},
        {quote(put("gap.tsv", "1\t1\t5\n1\t2\t5\n3\t1\t5\n3\t2\t5\n")), "have gaps"},
        {"- - < " + quote(good), "not both"},
        {quote(good) + " " + quote(put("short.tsv", table_text(table(1, 13)))), "differ in shape"},
        {quote(put("trunc.json", "{\"format\": \"memsweep-record\", ")), "trunc.json: "},
        {"-t", "needs a value"},
        {quote(good) + " " + quote(good) + " " + quote(good), "at most two"},
    };
    for (const Case &c : cases) {
        Outcome o = plot("-o " + quote(dir + "/p.png") + " " + c.args);
        EXPECT_EQ(o.status, 1) << c.args;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << c.args << ": " << o.err;
        EXPECT_EQ(o.err.find("gnuplot"), std::string::npos) << o.err;
        EXPECT_EQ(access((dir + "/p.png").c_str(), F_OK), -1) << c.args;
    }
    // A name that is no picture's, and a folder there, before any input is read.
    EXPECT_NE(plot("-o " + quote(dir + "/p.jpg") + " /nonexistent").err.find(".png or .svg"), std::string::npos);
    folder.put("/taken.png/x", "");
    Outcome o = plot("-o " + quote(dir + "/taken.png") + " /nonexistent");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.find("nonexistent"), std::string::npos) << o.err;
    // A file larger than any record is refused as the reader refuses it,
    // without reading it all.
    std::string huge = dir + "/huge.json";
    ASSERT_EQ(run_shell("truncate -s 200M " + quote(huge)).status, 0);
    o = plot("-o " + quote(dir + "/p.png") + " " + quote(huge));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("larger than any record"), std::string::npos) << o.err;
    // A scratch folder that can't be made is said to be one.
    o = plot("-o " + quote(dir + "/p.png") + " " + quote(good), "TMPDIR=/nonexistent ");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("scratch folder in /nonexistent"), std::string::npos) << o.err;
}

TEST_F(Command, PutsThePictureInPlaceOnlyWhenAllIsWrittenAndLeavesNoScratch)
{
    std::string t = put("t.tsv", table_text(table()));
    std::string tmp = dir + "/tmp";
    ASSERT_EQ(run_shell("mkdir " + quote(tmp)).status, 0);
    std::string under = "TMPDIR=" + quote(tmp) + " ";
    // Through a link to the file it names; the link stays a link.
    put("real.png", "old");
    ASSERT_EQ(symlink("real.png", (dir + "/link.png").c_str()), 0);
    Outcome o = plot("-o " + quote(dir + "/link.png") + " " + quote(t), under);
    EXPECT_EQ(o.status, 0) << o.err;
    expect_picture(dir + "/real.png", 2 * plot::panel_width);
    // A report that can't be written leaves the old picture as it was.
    put("kept.png", "old");
    o = plot("-o " + quote(dir + "/kept.png") + " " + quote(t) + " " + quote(t) + " >/dev/full", under);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("standard output"), std::string::npos) << o.err;
    EXPECT_EQ(slurp(dir + "/kept.png"), "old");
    // A FIFO there is refused before any input is read.
    ASSERT_EQ(mkfifo((dir + "/fifo.png").c_str(), 0600), 0);
    o = plot("-o " + quote(dir + "/fifo.png") + " /nonexistent", under);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("fifo.png"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("nonexistent"), std::string::npos) << o.err;
    // Nothing of gnuplot's data is left, drawn or not.
    EXPECT_EQ(run_shell("ls -A " + quote(tmp)).out, "");
}

TEST_F(Command, DrawsHostileTextAsWrittenAndRunsNothing)
{
    std::string name = "we'ird `touch ran` $(touch ran) @x \\n.tsv";
    std::string t = put(name, table_text(table()));
    Outcome o = run_shell("cd " + quote(dir) + " && PATH=/usr/bin:/bin " + quote(plot_exe) +
                          " -c none -t \"it's \\\"\\n \\`touch ran\\` @title\" -o " + quote("o'ut.svg") + " " +
                          quote(name) + " " + quote(t));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(access((dir + "/ran").c_str(), F_OK), -1);
    std::string svg = slurp(dir + "/o'ut.svg");
    EXPECT_NE(svg.find("touch ran"), std::string::npos);  // drawn as written
}

}  // namespace
