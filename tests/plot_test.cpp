// SPDX-License-Identifier: MIT
// memsweep-plot: pictures from good tables, one clear line for bad ones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "tools.h"

namespace {

const std::string plot = std::string(MEMSWEEP_SOURCE_DIR) + "/scripts/memsweep-plot";
const std::string real_table = std::string(MEMSWEEP_SOURCE_DIR) + "/docs/sweep-amd-epyc.tsv";

class Plot : public testing::Test {
protected:
    TempFolder folder;
    std::string dir = folder.path;

    void SetUp() override
    {
        if (run_shell("command -v gnuplot").status != 0)
            GTEST_SKIP() << "gnuplot is not installed (scripts/setup installs it)";
        ASSERT_FALSE(dir.empty());
    }

    // write puts text in a file of the test's folder, making folders on the
    // way, and returns its path.
    std::string write(const std::string &name, const std::string &text)
    {
        std::string path = dir + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        FILE *f = fopen(path.c_str(), "w");
        if (f == nullptr)
            throw std::runtime_error("can't write " + path);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        return path;
    }

    bool exists(const std::string &name) const { return access((dir + "/" + name).c_str(), F_OK) == 0; }

    // grid is a table of the given labels and strides, value f(label, stride).
    static std::string grid(int l0, int l1, int s0, int s1, double (*f)(int, int))
    {
        std::string t = "\n";
        for (int l = l1; l >= l0; l--)
            for (int s = s0; s <= s1; s++)
                t += std::to_string(l) + "\t" + std::to_string(s) + "\t" + std::to_string((int)f(l, s)) + "\n";
        return t;
    }

    static double slope(int l, int s) { return 60.0 / s + 100.0 / l; }
    static double faster(int l, int s) { return 1.5 * (int)slope(l, s); }

    Outcome plot_to(const std::string &out, const std::string &args)
    {
        return run_shell(quote(plot) + " -c none -o " + quote(out) + " " + args);
    }
};

// expect_png checks the PNG signature and that the picture is large enough to
// read.
void expect_png(const std::string &path)
{
    std::string png = slurp(path);
    ASSERT_GT(png.size(), 24u) << path;
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    auto be32 = [&](size_t at) {
        return (unsigned)(unsigned char)png[at] << 24 | (unsigned)(unsigned char)png[at + 1] << 16 |
               (unsigned)(unsigned char)png[at + 2] << 8 | (unsigned)(unsigned char)png[at + 3];
    };
    EXPECT_GE(be32(16), 1000u);  // width
    EXPECT_GE(be32(20), 500u);   // height
    EXPECT_GT(png.size(), 20000u);
}

TEST_F(Plot, DrawsASmallTableAsAPng)
{
    std::string table = write("small.tsv", grid(3, 6, 1, 4, slope));
    Outcome o = plot_to(dir + "/small.png", table);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    expect_png(dir + "/small.png");
}

TEST_F(Plot, DrawsARealRunFromStandardInputAndAsSvgByName)
{
    Outcome o = plot_to(dir + "/real.png", "< " + real_table);
    ASSERT_EQ(o.status, 0) << o.err;
    expect_png(dir + "/real.png");

    // The name's suffix chooses the format in either case; "_" in the title
    // stays an underscore, not a subscript.
    o = run_shell(quote(plot) + " -c none -t 'A title of my_own' -o " + quote(dir + "/real.SVG") + " " +
                  quote(real_table));
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/real.SVG");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("A title of my_own"), std::string::npos);
    EXPECT_NE(svg.find("128M"), std::string::npos);
    EXPECT_NE(svg.find("GB/s"), std::string::npos);
}

TEST_F(Plot, MarksDataAndUnifiedCachesFromSysfs)
{
    std::string caches = dir + "/cache";
    auto describe = [&](const std::string &index, const std::string &level, const char *type, const char *size) {
        write("cache/" + index + "/level", level + "\n");
        write("cache/" + index + "/type", std::string(type) + "\n");
        write("cache/" + index + "/size", std::string(size) + "\n");
    };
    describe("index0", "1", "Data", "48K");
    describe("index1", "1", "Instruction", "32K");
    describe("index2", "2", "Unified", "2048K");
    std::string table = write("t.tsv", grid(1, 14, 1, 15, slope));

    Outcome o = run_shell(quote(plot) + " -c " + quote(caches) + " -o " + quote(dir + "/marked.svg") + " " + quote(table));
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/marked.svg");
    EXPECT_NE(svg.find("L1d 48K<"), std::string::npos);
    EXPECT_NE(svg.find("L2 2M<"), std::string::npos);
    EXPECT_EQ(svg.find("L1i"), std::string::npos);
    // 48K holds 32K but not 64K: on the heat map (drawn last) its mark stands
    // between the two sizes' labels.
    auto x_of = [&](const std::string &text) {
        size_t at = svg.rfind(">" + text + "<");
        size_t t = at == std::string::npos ? at : svg.rfind("translate(", at);
        return t == std::string::npos ? -1.0 : atof(svg.c_str() + t + 10);
    };
    EXPECT_GT(x_of("L1d 48K"), x_of("32K"));
    EXPECT_LT(x_of("L1d 48K"), x_of("64K"));

    // A folder named with -c that isn't there gets a word, and the picture
    // is drawn without marks.
    o = run_shell(quote(plot) + " -c " + quote(dir + "/no-such-folder") + " -o " + quote(dir + "/plain.svg") + " " +
                  quote(table));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "memsweep-plot: " + dir + "/no-such-folder: no such folder: the picture has no cache marks\n");
    EXPECT_EQ(slurp(dir + "/plain.svg").find("L1d"), std::string::npos);
}

TEST_F(Plot, ComparesTwoTablesCellByCell)
{
    std::string a = write("a_run.tsv", grid(1, 14, 1, 15, slope));
    std::string b = write("b_run.tsv", grid(1, 14, 1, 15, faster));
    Outcome o = plot_to(dir + "/ratio.png", a + " " + b);
    ASSERT_EQ(o.status, 0) << o.err;
    expect_png(dir + "/ratio.png");

    o = plot_to(dir + "/ratio.svg", a + " " + b);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/ratio.svg");
    EXPECT_NE(svg.find("1.50"), std::string::npos);
    EXPECT_NE(svg.find("B / A"), std::string::npos);
    EXPECT_NE(svg.find("b_run.tsv / " + a), std::string::npos);
}

// Titles, table names and cache descriptions are text to draw: none of them
// runs as a command, in gnuplot's back-quotes or the shell's $(...).
TEST_F(Plot, RunsNothingThatItsTextSays)
{
    std::string table = write("t`touch made1`$(touch made2).tsv", grid(1, 4, 1, 3, slope));
    write("cache/index0/level", "1\";system(\"touch${IFS}made5\");\"\n");
    write("cache/index0/type", "Data\n");
    write("cache/index0/size", "32K\n");
    std::string in_dir = "cd " + dir + " && " + plot, quoted = " '" + table + "'";
    Outcome one = run_shell(in_dir + " -c cache -t 'x `touch made3` $(touch made4)' -o one.png" + quoted);
    Outcome two = run_shell(in_dir + " -c none -o two.png" + quoted + quoted);
    for (const char *made : {"made1", "made2", "made3", "made4", "made5"})
        EXPECT_FALSE(exists(made)) << made;
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    expect_png(dir + "/one.png");
    expect_png(dir + "/two.png");
}

// The default title reads /proc/cpuinfo; however large or absent the file,
// the picture is drawn without a word on standard error.
TEST_F(Plot, TitlesAMachineOfAThousandCpusOrOfNoCpuinfo)
{
    if (geteuid() != 0 || run_shell("unshare -m true").status != 0)
        GTEST_SKIP() << "needs root and unshare -m to put a file over /proc/cpuinfo";
    std::string flags = "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr constant_tsc nonstop_tsc";
    while (flags.size() < 1600)
        flags += " flag" + std::to_string(flags.size());
    std::string cpuinfo;
    for (int cpu = 0; cpu < 1024; cpu++)
        cpuinfo += "processor\t: " + std::to_string(cpu) +
                   "\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU_9 @ 2.00GHz\ncpu MHz\t\t: 2000.4\nflags\t\t: " +
                   flags + "\n\n";
    std::string fake = write("cpuinfo", cpuinfo);
    std::string table = write("t.tsv", grid(1, 4, 1, 3, slope));
    auto run_over = [&](const std::string &mount, const std::string &out) {
        return run_shell("unshare -m sh -c '" + mount + " && exec " + plot + " -c none -o " + dir + "/" + out + " " +
                         table + "'");
    };

    Outcome o = run_over("mount --bind " + fake + " /proc/cpuinfo", "many.svg");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(slurp(dir + "/many.svg").find("memsweep on Test CPU_9 @ 2.00GHz at 2000 MHz"), std::string::npos);

    o = run_over("mount -t tmpfs none /proc", "none.svg");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(slurp(dir + "/none.svg").find("memsweep on an unknown CPU"), std::string::npos);
}

TEST_F(Plot, RejectsBadInputWithOneLineAndNoPicture)
{
    std::string good = grid(1, 3, 1, 3, slope);
    std::string other_shape = write("other.tsv", grid(1, 4, 1, 3, slope));
    struct Case {
        const char *what, *text, *message;
    } const cases[] = {
        {"empty", "", "empty"},
        {"blank lines only", "\n\n", "empty"},
        {"two columns", "1\t1\t5\n1\t2\n", "expected 3 columns"},
        {"four columns", "1\t1\t5\t7\n", "expected 3 columns"},
        {"a missing line", "1\t1\t5\n1\t2\t5\n2\t1\t5\n", "3 lines, but 2 sizes by 2 strides need 4"},
        {"a duplicate line", "1\t1\t5\n1\t1\t5\n", "appear twice"},
        {"one size", "1\t1\t5\n1\t2\t5\n", "at least two sizes"},
        {"a gap in the sizes", "1\t1\t5\n1\t2\t5\n3\t1\t5\n3\t2\t5\n", "labels 1 to 3 have gaps"},
        {"a word for a throughput", "1\t1\tfast\n", "not a non-negative number"},
        {"a negative throughput", "1\t1\t-3\n", "not a non-negative number"},
        {"a word for a label", "x\t1\t5\n", "not a whole number"},
        {"label 0", "0\t1\t5\n", "label 0 is out of range"},
        {"label 15", "15\t1\t5\n", "label 15 is out of range"},
        {"stride 0", "1\t0\t5\n", "stride 0 is out of range"},
        {"stride 16", "1\t16\t5\n", "stride 16 is out of range"},
    };
    for (const Case &c : cases) {
        std::string table = write("bad.tsv", c.text);
        Outcome o = plot_to(dir + "/bad.png", table);
        EXPECT_EQ(o.status, 1) << c.what;
        EXPECT_EQ(lines_of(o.err).size(), 1u) << c.what << ": " << o.err;
        EXPECT_EQ(o.err.rfind("memsweep-plot: ", 0), 0u) << c.what << ": " << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.what << ": " << o.err;
        EXPECT_NE(access((dir + "/bad.png").c_str(), F_OK), 0) << c.what;
    }

    // A backslash in the name is part of the name, not an escape.
    std::string odd = write("runs\\new.tsv", "1\t1\n");
    Outcome o = plot_to(dir + "/bad.png", quote(odd));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "memsweep-plot: " + odd + ": line 1: expected 3 columns (label, stride, throughput), found 2\n");

    std::string a = write("a.tsv", good);
    o = plot_to(dir + "/bad.png", a + " " + other_shape);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("differ in shape"), std::string::npos) << o.err;
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;

    o = plot_to(dir + "/bad.gif", a);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(".png or .svg"), std::string::npos) << o.err;

    o = plot_to(dir + "/bad.png", dir + "/no-such-table");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("can't read"), std::string::npos) << o.err;

    // Nothing half-written is left behind.
    EXPECT_EQ(run_shell("ls " + dir + " | grep -c partial").out, "0\n");
}

TEST_F(Plot, LeavesAnExistingPictureAloneWhenTheInputIsBad)
{
    std::string out = write("keep.png", "an older picture");
    std::string table = write("bad.tsv", "1\t1\n");
    EXPECT_EQ(plot_to(out, table).status, 1);
    EXPECT_EQ(slurp(out), "an older picture");
}

}  // namespace
