// SPDX-License-Identifier: MIT
// memsweep-plot: pictures from good tables and records, verdicts on two,
// one clear line for bad ones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools.h"

namespace {

const std::string plot = std::string(MEMSWEEP_SOURCE_DIR) + "/scripts/memsweep-plot";
const std::string real_table = std::string(MEMSWEEP_SOURCE_DIR) + "/docs/sweep-amd-epyc.tsv";
#ifdef MEMSWEEP_COMPARE_EXE
// The plot reads records through memsweep-compare, which the build puts
// in a folder of its own: the tests find it on PATH.
const std::string compare_exe = MEMSWEEP_COMPARE_EXE;
#else
const std::string compare_exe;
#endif

double slope(int l, int s)
{
    return 60.0 / s + 100.0 / l;
}

// json_string writes text as a JSON string, escapes and all.
std::string json_string(const std::string &text)
{
    std::string q = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            q += escaped;
        } else {
            q += (char)c;
        }
    }
    return q + "\"";
}

// json_number writes a number as a JSON writer may, exponent and all
// ("1e+300", "1e-300").
std::string json_number(double x)
{
    char text[32];
    snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// latency_list is the JSON text of a latency list over the working sets
// from 16 KiB to 1 GiB, powers of two and a step between each two (33
// sizes), those that has keeps, for a record of 5 passes: ns gives a size's
// median, and spread how far its lowest and highest passes lie from it, as
// a share (the other two lie half as far).
std::string latency_list(
    const std::function<double(long)> &ns, const std::function<double(long)> &spread,
    const std::function<bool(long)> &has = [](long) { return true; })
{
    std::string t = "[";
    for (long bytes = 16384; bytes <= (1L << 30); bytes += bytes % 3 == 0 ? bytes / 3 : bytes / 2) {
        if (!has(bytes))
            continue;
        double m = ns(bytes), low = m * (1 - spread(bytes)), high = m * (1 + spread(bytes));
        t += std::string(t.size() > 1 ? ",\n" : "") + "{\"bytes\": " + std::to_string(bytes) +
             ", \"ns\": " + json_number(m) + ", \"cycles\": " + json_number(m * 2) +
             ", \"min\": " + json_number(low) + ", \"max\": " + json_number(high) + ", \"passes\": [" +
             json_number(low) + ", " + json_number((low + m) / 2) + ", " + json_number(m) + ", " +
             json_number((m + high) / 2) + ", " + json_number(high) + "]}";
    }
    return t + "]";
}

// bandwidth_list is the JSON text of a bandwidth plane of 5 passes over
// the five kernels at 1, 2 and 4 threads and the working sets from 16 KiB
// to 128 MiB per thread: gbs gives a point's median, and its passes spread
// by 0.8 % around it.
const char *const kernels[] = {"scalar-read", "vector-read", "write", "copy", "nt-write"};
std::string bandwidth_list(const std::function<double(const std::string &, int, long)> &gbs)
{
    std::string t = "[";
    for (const char *kernel : kernels) {
        for (int threads : {1, 2, 4}) {
            for (long bytes = 16384; bytes <= (128L << 20); bytes *= 2) {
                double m = gbs(kernel, threads, bytes);
                t += std::string(t.size() > 1 ? ",\n" : "") + "{\"kernel\": \"" + kernel +
                     "\", \"isa\": \"avx2\", \"threads\": " + std::to_string(threads) +
                     ", \"bytes\": " + std::to_string(bytes) + ", \"gbs\": " + json_number(m) +
                     ", \"min\": " + json_number(m * 0.996) + ", \"max\": " + json_number(m * 1.004) +
                     ", \"passes\": [" + json_number(m * 0.996) + ", " + json_number(m * 0.998) + ", " +
                     json_number(m) + ", " + json_number(m * 1.002) + ", " + json_number(m * 1.004) + "]}";
            }
        }
    }
    return t + "]";
}

// GB/s of a machine whose kernels move more with more threads, and less
// beyond caches of 32 KiB and 1 MiB.
double moved(const std::string &kernel, int threads, long bytes)
{
    double level = bytes <= (32L << 10) ? 100.0 : bytes <= (1L << 20) ? 50.0 : 12.0;
    return level * threads * (kernel == "vector-read" ? 3.0 : kernel == "copy" ? 1.5 : 1.0);
}

// with_bandwidth returns a record's JSON text with a bandwidth list added.
std::string with_bandwidth(const std::string &record, const std::string &list)
{
    size_t end = record.find_last_of('}');
    return end == std::string::npos ? record : record.substr(0, end) + ",\n\"bandwidth\": " + list + "}\n";
}

// Nanoseconds per load of a machine with caches of 32 KiB, 1 MiB and 32 MiB.
double steps(long bytes)
{
    return bytes <= (32L << 10) ? 1.2 : bytes <= (1L << 20) ? 4.0 : bytes <= (32L << 20) ? 15.0 : 90.0;
}

// replaced returns text with its first "from" replaced by "to".
std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? "no " + from + " in the text" : text.replace(at, from.size(), to);
}

size_t occurrences(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// A made-up record in the layout memsweep-record writes (its manual page,
// section RECORD), with the members memsweep-plot reads.  figure gives a
// cell's figure in each pass.
struct MadeRecord {
    int passes = 5;
    int cpu = 1;
    std::string model = "Test CPU_9";
    std::string pages = "system";
    double huge_share = 0.0;
    double counter_mhz = 2000.0, factor = 1.0;
    std::string governors = "{}", turbo = "null";  // JSON text
    std::vector<std::string> warnings;
    std::vector<double> drift = {40.0, 40.0, 40.0};
    std::string caches = "[]";  // JSON text of checks_before.checks.caches.cpu0
    std::string latency;        // JSON text of the latency list, or empty for none
    std::function<double(int, int, int)> figure = [](int l, int s, int) { return slope(l, s); };

    std::string json() const
    {
        std::string t = "{\"format\": \"memsweep-record\", \"format_version\": 1, \"version\": \"0.1.0\",\n";
        t += "\"start\": \"2026-12-08T13:44:15Z\", \"passes\": " + std::to_string(passes) +
             ", \"cpu\": " + std::to_string(cpu) + ",\n";
        t += "\"machine\": {\"model\": " + json_string(model) + ", \"cpus\": 2, \"memory_mib\": 16000},\n";
        t += "\"pages\": {\"mode\": " + json_string(pages) + ", \"huge_share\": " + json_number(huge_share) +
             "},\n";
        t += "\"clock\": {\"cpu_mhz\": " + json_number(counter_mhz * factor) +
             ", \"counter_mhz\": " + json_number(counter_mhz) + ", \"factor\": " + json_number(factor) +
             "},\n";
        t += "\"checks_before\": {\"checks\": {\"frequency_scaling\": {\"governors\": " + governors +
             ", \"turbo\": " + turbo + "}, \"caches\": {\"cpu0\": " + caches + "}}},\n";
        t += "\"warnings\": [";
        for (size_t k = 0; k < warnings.size(); k++)
            t += (k ? ", " : "") + json_string(warnings[k]);
        t += "],\n\"drift\": [";
        for (size_t k = 0; k < drift.size(); k++)
            t += (k ? ", " : "") + std::string("{\"seconds\": ") + std::to_string(k) +
                 ", \"gbs\": " + json_number(drift[k]) + "}";
        t += "],\n";
        if (!latency.empty())
            t += "\"latency\": " + latency + ",\n";
        t += "\"cells\": [\n";
        for (int l = 14; l >= 1; l--) {
            for (int s = 1; s <= 15; s++) {
                std::vector<double> p;
                for (int k = 0; k < passes; k++)
                    p.push_back(figure(l, s, k));
                std::vector<double> sorted = p;
                std::sort(sorted.begin(), sorted.end());
                size_t n = sorted.size();
                double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
                t += "{\"label\": " + std::to_string(l) + ", \"stride\": " + std::to_string(s) +
                     ", \"median\": " + json_number(median) + ", \"min\": " + json_number(sorted.front()) +
                     ", \"max\": " + json_number(sorted.back()) + ", \"passes\": [";
                for (int k = 0; k < passes; k++)
                    t += (k ? ", " : "") + json_number(p[k]);
                t += "]}" + std::string(l == 1 && s == 15 ? "\n" : ",\n");
            }
        }
        return t + "]}\n";
    }
};

class Plot : public testing::Test {
protected:
    TempFolder folder;
    std::string dir = folder.path;

    void SetUp() override
    {
        if (run_shell("command -v gnuplot").status != 0)
            GTEST_SKIP() << "gnuplot is not installed (scripts/setup installs it)";
        if (compare_exe.empty())
            GTEST_SKIP() << "memsweep-compare is not built (it needs nlohmann-json; scripts/setup installs it)";
        std::string built = std::filesystem::path(compare_exe).parent_path().string();
        const char *path = getenv("PATH");
        if (path == nullptr || std::string(path).rfind(built + ":", 0) != 0)
            setenv("PATH", (built + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
        ASSERT_FALSE(dir.empty());
    }

#ifdef MEMSWEEP_RECORD_SCRIPTED_EXE
    // written_record runs the scripted memsweep-record, 5 passes with no
    // latency and no bandwidth plane, into written.json; its path.
    std::string written_record()
    {
        std::string written = dir + "/written.json";
        Outcome o = run_shell(quote(MEMSWEEP_RECORD_SCRIPTED_EXE) +
                              std::string(" --passes 5 --seed 7 --no-latency --no-bandwidth -o ") +
                              quote(written) + " >/dev/null");
        EXPECT_EQ(o.status, 0) << o.err;
        return written;
    }
#endif

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

    static double faster(int l, int s) { return 1.5 * (int)slope(l, s); }

    // plot_to draws args at out, without cache marks; under is put before
    // the command (variables of its environment).
    Outcome plot_to(const std::string &out, const std::string &args, const std::string &under = "")
    {
        return run_shell(under + quote(plot) + " -c none -o " + quote(out) + " " + args);
    }

    // comma_locale makes a locale whose numbers have a decimal comma in the
    // test's folder, and returns the words that run a command under it; or
    // nothing, and why, where none can be made.
    std::string comma_locale(std::string &why)
    {
        std::string locales = dir + "/locales";
        std::string under = "LOCPATH=" + quote(locales) + " LC_ALL=de_DE.UTF-8 ";
        std::filesystem::create_directories(locales);
        // localedef exits 1 for mere warnings, having made the locale: the
        // locale's own figures decide.
        Outcome made = run_shell("localedef -i de_DE -f UTF-8 " + quote(locales + "/de_DE.UTF-8"));
        if (run_shell(under + "awk 'BEGIN { printf \"%.2f\", 1.5 }'").out != "1,50")
            why = "can't make a locale with a decimal comma (localedef, and de_DE from the locales package): " +
                  made.err;
        return why.empty() ? under : "";
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

    // Figures written with an exponent, however large or small, are
    // figures: drawn alone, compared, and in a record.
    std::string huge = write("huge.tsv", "1\t1\t1e300\n1\t2\t1e-300\n2\t1\t5e1\n2\t2\t1.5E+2\n");
    std::string plain = write("plain.tsv", "1\t1\t20\n1\t2\t20\n2\t1\t50\n2\t2\t150\n");
    o = plot_to(dir + "/huge.svg", huge);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(slurp(dir + "/huge.svg").find("<text>150</text>"), std::string::npos);
    o = plot_to(dir + "/huge-ratio.svg", plain + " " + huge);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find("2\t1\t1.000\tunknown\n"), std::string::npos) << o.out;
    MadeRecord extreme;
    extreme.figure = [](int l, int s, int k) {
        return l == 2 ? 1e300 * (1 + 0.01 * k) : l == 3 ? 1e-300 : slope(l, s);
    };
    std::string record = write("extreme.json", extreme.json());
    ASSERT_NE(slurp(record).find("e+300"), std::string::npos);
    o = plot_to(dir + "/extreme.svg", record);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    o = plot_to(dir + "/extreme-ratio.svg", record + " " + record);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find("2\t1\t1.000\tsame\n"), std::string::npos) << o.out;
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
    EXPECT_EQ(o.err,
              "memsweep-plot: " + dir + "/no-such-folder: no such folder: the picture has no cache marks\n");
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
    EXPECT_NE(svg.find("<text>one pass has no spread: no cell is called faster, slower or the same</text>"),
              std::string::npos);

    // A table is one pass: no cell can be told faster, slower or the same,
    // nor can any cell of a table and a record of many passes.
    std::string record = write("record.json", MadeRecord().json());
    Outcome mixed = plot_to(dir + "/mixed.svg", record + " " + b);
    for (const Outcome *run : {&o, &mixed}) {
        ASSERT_EQ(run->status, 0) << run->err;
        EXPECT_EQ(run->err, "");
        std::vector<std::string> lines = lines_of(run->out);
        ASSERT_EQ(lines.size(), 211u) << run->out;
        EXPECT_EQ(lines[0].substr(0, 5), "14\t1\t");
        EXPECT_EQ(lines[209].substr(0, 5), "1\t15\t");
        for (size_t k = 0; k < 210; k++)
            EXPECT_TRUE(lines[k].size() > 8 && lines[k].substr(lines[k].size() - 8) == "\tunknown")
                << lines[k];
        EXPECT_EQ(lines[210],
                  "unknown 210: one pass has no spread, so no cell is called faster, slower or the same");
    }

    // Two records of one pass, or of too few for memsweep-compare's test,
    // have every cell unknown too, and the caption says which.
    for (int passes : {1, 3}) {
        MadeRecord few;
        few.passes = passes;
        std::string r = write("few.json", few.json());
        o = plot_to(dir + "/few.svg", r + " " + r);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(occurrences(o.out, "\tunknown\n"), 210u) << o.out;
        EXPECT_NE(slurp(dir + "/few.svg")
                      .find(passes == 1 ? "<text>one pass has no spread: no cell is called faster, slower or the "
                                          "same</text>"
                                        : "<text>too few passes for the test: no cell is called faster, slower "
                                          "or the same</text>"),
                  std::string::npos)
            << passes;
    }
}

// Two records: a cell differs only where memsweep-compare's test tells the
// passes apart and the ratio of the medians is beyond 2 %; every other cell
// is the same, in the report and in the picture.
TEST_F(Plot, ComparesTwoRecordsByWhatTrulyDiffers)
{
    MadeRecord a, b;
    // Every cell of A spreads by 1 %.
    a.figure = [](int l, int s, int k) { return slope(l, s) * (1 + 0.005 * k); };
    b.figure = [](int l, int s, int k) {
        double spread = 1 + 0.005 * k;
        if (l == 5)
            return slope(l, s) * 0.8 * spread;  // 20 % slower, ranges far apart
        if (l == 9)
            return slope(l, s) * (k == 0 ? 1.0 : 1.05) * spread;  // 4.5 % faster, but one pass among A's
        if (l == 12)
            return slope(l, s) * 1.015 * spread;  // apart, but within 2 %
        return slope(l, s) * spread;
    };
    std::string ra = write("a.json", a.json()), rb = write("b.json", b.json());
    Outcome o = plot_to(dir + "/ab.svg", ra + " " + rb);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_EQ(lines.size(), 211u);
    size_t n = 0;
    for (int l = 14; l >= 1; l--) {
        for (int s = 1; s <= 15; s++, n++) {
            std::string cell = std::to_string(l) + "\t" + std::to_string(s) + "\t";
            EXPECT_EQ(lines[n].rfind(cell, 0), 0u) << lines[n];
            EXPECT_EQ(lines[n].substr(lines[n].rfind('\t') + 1), l == 5 ? "slower" : "same") << lines[n];
            if (l == 5) {
                EXPECT_EQ(lines[n], cell + "0.800\tslower");
            } else if (l == 9) {
                EXPECT_GT(atof(lines[n].c_str() + cell.size()), 1.04) << lines[n];
            }
        }
    }
    EXPECT_EQ(lines[210], "210 cells: 0 faster, 15 slower, 195 same; alpha 0.01, threshold 2.0 %");
    std::string svg = slurp(dir + "/ab.svg");
    EXPECT_EQ(occurrences(svg, "<text>=</text>"), 195u);
    EXPECT_EQ(occurrences(svg, "<text>0.80</text>"), 15u);

    // Under a locale whose numbers have a decimal comma, the report and the
    // picture are the same; one record and a table of decimal figures draw.
    std::string why, comma = comma_locale(why);
    if (comma.empty())
        GTEST_SKIP() << why;
    Outcome c = plot_to(dir + "/ab-comma.svg", ra + " " + rb, comma);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.out, o.out);
    EXPECT_EQ(slurp(dir + "/ab-comma.svg"), svg);
    c = plot_to(dir + "/a-comma.svg", ra, comma);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.err, "");
    EXPECT_NE(slurp(dir + "/a-comma.svg").find("counter 2000.000 MHz"), std::string::npos);
    // The same where only the numbers' part of the locale has the comma.
    std::string table = write("decimal.tsv", "1\t1\t12.75\n1\t2\t3.5\n2\t1\t1.25\n2\t2\t0.5\n");
    for (const std::string &under : {comma, replaced(comma, "LC_ALL=", "LC_NUMERIC=")}) {
        c = plot_to(dir + "/decimal.svg", table, under);
        ASSERT_EQ(c.status, 0) << under << c.err;
        EXPECT_EQ(c.err, "");
        EXPECT_NE(slurp(dir + "/decimal.svg").find("<text>13</text>"), std::string::npos) << under;
    }
}

// The conditions of two records differ where the records say so; each
// difference is a line on standard error and in the caption.
TEST_F(Plot, NamesTheConditionsUnderWhichTwoRecordsDiffer)
{
    MadeRecord a;
    a.governors = R"({"performance": 2})";
    a.turbo = R"("off")";
    a.caches = R"([{"level": 1, "type": "Data", "size_bytes": 32768},
                   {"level": 2, "type": "Unified", "size_bytes": 1048576}])";
    MadeRecord b = a;
    b.model = "Other CPU";
    b.counter_mhz = 2400.0;
    b.pages = "huge";
    b.huge_share = 0.95;
    b.governors = R"({"powersave": 2})";
    b.turbo = R"("on")";
    b.warnings = {"before the session: other load: other work kept 0.38 of 2 CPUs busy",
                  "the session was disturbed: other work kept 0.50 of 2 CPUs busy while it measured"};
    b.drift = {36.0, 36.4, 36.2};
    b.caches = R"([{"level": 1, "type": "Data", "size_bytes": 49152},
                   {"level": 2, "type": "Unified", "size_bytes": 2097152}])";
    std::string ra = write("a.json", a.json()), rb = write("b.json", b.json());
    Outcome o = run_shell(quote(plot) + " -o " + quote(dir + "/ab.svg") + " " + ra + " " + rb);
    ASSERT_EQ(o.status, 0) << o.err;
    // Each difference is one line, found by what it is about, that names
    // both records' values, on standard error and in the caption alike; each
    // of B's warnings is a line that says it is B's.
    struct Difference {
        std::string about;
        std::vector<std::string> values;
    } const differences[] = {
        {"CPU model", {"Test CPU_9", "Other CPU"}},  {"counter rate", {"2000.000 MHz", "2400.000 MHz"}},
        {"pages", {"system", "huge", "95 %"}},       {"governors", {"performance", "powersave"}},
        {"turbo", {"off", "on"}},                    {"warnings:", {"A has 0", "B 2"}},
        {"drift", {"40.0", "36.2"}},
    };
    std::vector<std::string> err = lines_of(o.err);
    std::string svg = slurp(dir + "/ab.svg");
    // said returns the first line of standard error that holds what, less
    // the command's name, or "" for none.
    auto said = [&](const std::string &what) {
        auto line = std::find_if(err.begin(), err.end(), [&](const std::string &l) {
            return l.rfind("memsweep-plot: ", 0) == 0 && l.find(what) != std::string::npos;
        });
        return line == err.end() ? std::string() : line->substr(15);
    };
    for (const Difference &d : differences) {
        std::string line = said(d.about);
        ASSERT_FALSE(line.empty()) << d.about << " is not said in:\n" << o.err;
        for (const std::string &value : d.values)
            EXPECT_NE(line.find(value), std::string::npos) << line;
        EXPECT_NE(svg.find("<text>" + line + "</text>"), std::string::npos) << line;
    }
    for (const std::string &warning : b.warnings)
        EXPECT_NE(said(warning).find("in B"), std::string::npos) << warning << "\n" << o.err;
    // Two machines, side by side: each row gives A's figure, then B's in a
    // column of its own, under the heading's A and B.
    auto heading = std::find(err.begin(), err.end(), "memsweep-plot: two machines:");
    ASSERT_TRUE(heading != err.end() && heading + 1 != err.end()) << o.err;
    size_t column = heading[1].find(" B");
    ASSERT_NE(column, std::string::npos) << heading[1];
    const char *rows[][3] = {{"CPU", "Test CPU_9", "Other CPU"},
                             {"caches", "L1d 32K, L2 1M", "L1d 48K, L2 2M"},
                             {"counter", "2000.000 MHz", "2400.000 MHz"},
                             {"memory", "16000 MiB", "16000 MiB"}};
    for (const auto &row : rows) {
        std::string line = "memsweep-plot: " + said(std::string("  ") + row[0] + " ");
        EXPECT_EQ(line.rfind("memsweep-plot:   " + std::string(row[0]) + " ", 0), 0u) << line;
        EXPECT_NE(line.find(row[1]), std::string::npos) << line;
        EXPECT_EQ(line.substr(std::min(column + 1, line.size())), row[2]) << line;
    }
    // The two lists of caches disagree: none is marked.
    EXPECT_EQ(svg.find("L1d"), std::string::npos);

    // Just within every limit: the same model, counters 0.05 % apart, 9
    // points more on huge pages, drift watches 1.5 % apart.  Nothing to say,
    // and the caches the records share are marked.
    b = a;
    b.counter_mhz = 2001.0;
    b.huge_share = 0.09;
    b.drift = {40.6, 40.6, 40.6};
    rb = write("b.json", b.json());
    o = run_shell(quote(plot) + " -o " + quote(dir + "/ab.svg") + " " + ra + " " + rb);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    svg = slurp(dir + "/ab.svg");
    EXPECT_EQ(svg.find("differ"), std::string::npos);
    EXPECT_NE(svg.find(">L1d 32K<"), std::string::npos);
}

// A record's latency list: a third panel for one record, and for two a
// curve each and a verdict per size that both have, by the cells' rule;
// a longer time is slower.
TEST_F(Plot, DrawsAndComparesTheLatencyOfRecordsThatHaveIt)
{
    MadeRecord a;
    a.latency = latency_list(steps, [](long) { return 0.2; });
    std::string ra = write("a.json", a.json());
    Outcome o = plot_to(dir + "/a.svg", ra);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/a.svg");
    EXPECT_NE(svg.find("<text>Latency</text>"), std::string::npos);
    EXPECT_NE(svg.find("latency (ns per load)"), std::string::npos);
    EXPECT_NE(svg.find(">1G<"), std::string::npos);
    EXPECT_NE(svg.find("<text>min to max</text>"), std::string::npos);

    // B: 30 % slower beyond 32 MiB with tight spreads; at 16 KiB 5 % slower
    // but within A's wide spread there; no 48 KiB, which A has.
    a.latency = latency_list(steps, [](long bytes) { return bytes == 16384 ? 0.2 : 0.01; });
    MadeRecord b;
    b.latency = latency_list(
        [](long bytes) {
            return steps(bytes) * (bytes > (32L << 20) ? 1.3 : bytes == 16384 ? 1.05 : 1);
        },
        [](long) { return 0.01; }, [](long bytes) { return bytes != 49152; });
    ra = write("a.json", a.json());
    std::string rb = write("b.json", b.json());
    o = plot_to(dir + "/ab.svg", ra + " " + rb);
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> lines = lines_of(o.out);
    ASSERT_GT(lines.size(), 211u);
    std::vector<std::string> latency(lines.begin() + 210, lines.end() - 1);
    ASSERT_EQ(latency.size(), 32u);
    size_t slower = 0;
    for (const std::string &line : latency) {
        long bytes = atol(line.c_str() + 8);
        EXPECT_EQ(line.rfind("latency\t", 0), 0u) << line;
        EXPECT_NE(bytes, 49152) << line;
        if (bytes > (32L << 20)) {
            EXPECT_EQ(line, "latency\t" + std::to_string(bytes) + "\t1.300\tslower");
            slower++;
        } else {
            EXPECT_EQ(line.substr(line.rfind('\t')), "\tsame") << line;
        }
    }
    EXPECT_EQ(lines.back(), "210 cells: 0 faster, 0 slower, 210 same; 32 latency sizes: 0 faster, " +
                                std::to_string(slower) + " slower, " + std::to_string(latency.size() - slower) +
                                " same; alpha 0.01, threshold 2.0 %; 1 point is in one of the two alone, and not "
                                "compared");
    svg = slurp(dir + "/ab.svg");
    EXPECT_NE(svg.find("<text>A: " + ra + "</text>"), std::string::npos);
    EXPECT_NE(svg.find("<text>B: " + rb + "</text>"), std::string::npos);
}

// A record that memsweep-record wrote, with a bandwidth plane added: a
// panel of GB/s against the working set per thread, the vector read at
// every thread count and the other kernels at 1 thread and the most, the
// record's caches marked; for two, a verdict per point by memsweep-compare.
TEST_F(Plot, DrawsAndComparesTheBandwidthOfAWrittenRecord)
{
#ifndef MEMSWEEP_RECORD_SCRIPTED_EXE
    GTEST_SKIP() << "memsweep-record is not built";
#else
    // The plane is added by hand below: the scripted session measures none.
    std::string written = written_record();
    std::string record = slurp(written);
    // A record without the plane has no panel.
    Outcome o = plot_to(dir + "/plain.svg", written);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(dir + "/plain.svg").find("Bandwidth"), std::string::npos);

    std::string a = write("a.json", with_bandwidth(record, bandwidth_list(moved)));
    o = plot_to(dir + "/a.svg", a);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/a.svg");
    EXPECT_NE(svg.find("<text>Bandwidth</text>"), std::string::npos);
    EXPECT_NE(svg.find("working-set size per thread"), std::string::npos);
    for (const char *curve : {"vector-read, 1 thread", "vector-read, 2 threads", "vector-read, 4 threads",
                              "scalar-read, 1 thread", "copy, 4 threads", "nt-write, 1 thread"})
        EXPECT_NE(svg.find("<text>" + std::string(curve) + "</text>"), std::string::npos) << curve;
    EXPECT_EQ(svg.find("copy, 2 threads"), std::string::npos);
    // A kernel's name is a name, whatever it holds: one that reads like a
    // point's figures adds no point.
    std::string odd = write("odd.json", with_bandwidth(record, replaced(bandwidth_list(moved), "\"kernel\": \"write\"",
                                                                        "\"kernel\": \"write 1 16384 99999\"")));
    o = plot_to(dir + "/odd.svg", odd);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(dir + "/odd.svg").find("99999"), std::string::npos);
    EXPECT_EQ(slurp(dir + "/odd.svg").find(" 100000</text>"), std::string::npos);

    // B: copy 20 % slower from 16 MiB up at every thread count; the vector
    // read 10 % faster at 16 KiB on 4 threads.
    std::string b = write("b.json", with_bandwidth(record, bandwidth_list([](const std::string &k, int t, long bytes) {
                                                       return moved(k, t, bytes) *
                                                              (k == "copy" && bytes >= (16L << 20) ? 0.8
                                                               : k == "vector-read" && t == 4 && bytes == 16384
                                                                   ? 1.1
                                                                   : 1.0);
                                                   })));
    o = plot_to(dir + "/ab.svg", a + " " + b);
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> lines = lines_of(o.out), bandwidth;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(bandwidth),
                 [](const std::string &line) { return line.rfind("bandwidth\t", 0) == 0; });
    ASSERT_EQ(bandwidth.size(), 5u * 3 * 14) << o.out;
    size_t slower = 0, faster = 0;
    for (const std::string &line : bandwidth) {
        std::string verdict = line.substr(line.rfind('\t') + 1);
        slower += verdict == "slower";
        faster += verdict == "faster";
        if (line.rfind("bandwidth\tcopy\t", 0) == 0 &&
            atol(line.c_str() + line.find('\t', 15) + 1) >= (16L << 20)) {
            EXPECT_EQ(line.substr(line.size() - 13), "\t0.800\tslower") << line;
        }
    }
    EXPECT_EQ(slower, 4u * 3);
    EXPECT_EQ(faster, 1u);
    EXPECT_NE(o.out.find("bandwidth\tvector-read\t4\t16384\t1.100\tfaster\n"), std::string::npos) << o.out;
    EXPECT_NE(lines.back().find("210 bandwidth points: 1 faster, 12 slower, 197 same"), std::string::npos)
        << lines.back();
    svg = slurp(dir + "/ab.svg");
    EXPECT_NE(svg.find("filled: faster or slower; open: the same"), std::string::npos);
    EXPECT_NE(svg.find("B / A (above 1: B is faster)"), std::string::npos);
#endif
}

// loaded_list returns a loaded_latency list of 5 passes: idle 100 ns,
// then each kernel's points at 20, 10 and 5 GB/s with latency 300, 180
// and 120 ns, the loaded points' ns times `factor` (the vector read's
// full load alone for `only_full`).
std::string loaded_list(double factor, bool only_full = false)
{
    auto point = [](const std::string &kernel, const std::string &delay, double gbs, double ns) {
        std::string passes;
        for (int k = 0; k < 5; k++)
            passes += (k ? ", " : "") + json_number(ns + k * 0.5);
        return "{\"kernel\": " + kernel + ", \"delay\": " + delay + ", \"load_gbs\": " + json_number(gbs) +
               ", \"ns\": " + json_number(ns + 1) + ", \"min\": " + json_number(ns) + ", \"max\": " +
               json_number(ns + 2) + ", \"passes\": [" + passes + "]}";
    };
    std::string list = "[" + point("null", "null", 0, 100);
    for (const char *kernel : {"\"vector-read\"", "\"copy\""}) {
        const double gbs[] = {20, 10, 5}, ns[] = {300, 180, 120};
        const char *delays[] = {"0", "4096", "8192"};
        for (int i = 0; i < (only_full ? 1 : 3); i++)
            list += ", " + point(kernel, delays[i], gbs[i], ns[i] * factor);
    }
    return list + "]";
}

// A record that memsweep-record wrote, with a loaded latency added: a
// panel of ns against the loaders' GB/s, a curve a kernel from the idle
// point, the knee starred; for two, both records' curves, a verdict a
// point.
TEST_F(Plot, DrawsAndComparesTheLoadedLatencyOfAWrittenRecord)
{
#ifndef MEMSWEEP_RECORD_SCRIPTED_EXE
    GTEST_SKIP() << "memsweep-record is not built";
#else
    // The list is added by hand below: the scripted session measures none.
    std::string written = written_record();
    std::string record = slurp(written);
    auto with_loaded = [&](const std::string &list) {
        std::string r = record;
        size_t end = r.rfind('}');
        return r.substr(0, end) + ", \"loaded_latency\": " + list + "}\n";
    };
    // A record without the list has no panel.
    Outcome o = plot_to(dir + "/plain.svg", written);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(dir + "/plain.svg").find("Loaded latency"), std::string::npos);

    std::string a = write("a.json", with_loaded(loaded_list(1.0)));
    o = plot_to(dir + "/a.svg", a);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string svg = slurp(dir + "/a.svg");
    EXPECT_NE(svg.find("<text>Loaded latency</text>"), std::string::npos);
    EXPECT_NE(svg.find("load of the other CPUs (GB/s)"), std::string::npos);
    EXPECT_NE(svg.find("<text>vector-read</text>"), std::string::npos);
    EXPECT_NE(svg.find("<text>copy</text>"), std::string::npos);
    EXPECT_NE(svg.find("knee: twice the idle latency"), std::string::npos);

    // No knee (the latency never doubles): no star; the curve still drawn.
    std::string flat = write("flat.json", with_loaded(loaded_list(0.6)));
    o = plot_to(dir + "/flat.svg", flat);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(slurp(dir + "/flat.svg").find("<text>vector-read</text>"), std::string::npos);
    EXPECT_EQ(slurp(dir + "/flat.svg").find("knee"), std::string::npos);

    // B: every loaded point 20 % slower (361 ns over 301 at full load); the
    // copy's delays absent but its full load there.
    std::string b = write("b.json", with_loaded(loaded_list(1.2, true)));
    o = plot_to(dir + "/ab.svg", a + " " + b);
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> lines = lines_of(o.out), loaded;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(loaded),
                 [](const std::string &line) { return line.rfind("loaded\t", 0) == 0; });
    EXPECT_EQ(loaded, (std::vector<std::string>{"loaded\tidle\t-\t1.000\tsame",
                                                "loaded\tvector-read\t0\t1.199\tslower",
                                                "loaded\tcopy\t0\t1.199\tslower"}))
        << o.out;
    EXPECT_NE(lines.back().find("3 loaded-latency points: 0 faster, 2 slower, 1 same"), std::string::npos)
        << lines.back();
    svg = slurp(dir + "/ab.svg");
    for (const char *curve : {"A: vector-read", "A: copy", "B: vector-read", "B: copy"})
        EXPECT_NE(svg.find("<text>" + std::string(curve) + "</text>"), std::string::npos) << curve;
    EXPECT_NE(svg.find("filled: faster or slower; open: the same"), std::string::npos);
#endif
}

// The caches a record lists are marked on the bandwidth panel as on the
// heat map.
TEST_F(Plot, MarksTheCachesOnTheBandwidthPanel)
{
    MadeRecord made;
    made.caches = R"([{"level": 1, "type": "Data", "size_bytes": 32768},
        {"level": 2, "type": "Unified", "size_bytes": 1048576}])";
    std::string plain = write("plain.json", made.json());
    std::string record = write("r.json", with_bandwidth(made.json(), bandwidth_list(moved)));
    Outcome o = run_shell(quote(plot) + " -o " + quote(dir + "/plain.svg") + " " + quote(plain));
    ASSERT_EQ(o.status, 0) << o.err;
    o = run_shell(quote(plot) + " -o " + quote(dir + "/r.svg") + " " + quote(record));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(occurrences(slurp(dir + "/plain.svg"), ">L2 1M<"), 1u);
    EXPECT_EQ(occurrences(slurp(dir + "/r.svg"), ">L2 1M<"), 2u);
}

// Records are read through memsweep-compare: the one beside the script
// first, else the one on PATH.  Without it a record is refused in one line,
// and tables, which need it for nothing, are drawn.
TEST_F(Plot, ReadsRecordsThroughMemsweepCompareBesideItOrOnPath)
{
    std::string gnuplot = run_shell("command -v gnuplot").out;
    std::string bare = "PATH=" + std::filesystem::path(gnuplot).parent_path().string() + ":/usr/bin:/bin ";
    if (run_shell(bare + "command -v memsweep-compare").status == 0)
        GTEST_SKIP() << "memsweep-compare is installed where every command finds it";
    std::filesystem::create_directories(dir + "/bin");
    std::string copy = dir + "/bin/memsweep-plot";
    std::filesystem::copy_file(plot, copy);
    std::string record = write("r.json", MadeRecord().json()), table = write("t.tsv", grid(1, 4, 1, 3, slope));

    Outcome o = run_shell(bare + quote(copy) + " -c none -o " + quote(dir + "/r.png") + " " + quote(record));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "memsweep-plot: " + record +
                         " is a record, and reading one needs memsweep-compare, which is neither beside "
                         "memsweep-plot nor on PATH\n");
    EXPECT_FALSE(exists("r.png"));
    o = run_shell(bare + quote(copy) + " -c none -o " + quote(dir + "/t.png") + " " + quote(table) + " " + quote(table));
    EXPECT_EQ(o.status, 0) << o.err;
    expect_png(dir + "/t.png");

    std::filesystem::create_symlink(compare_exe, dir + "/bin/memsweep-compare");
    o = run_shell(bare + quote(copy) + " -c none -o " + quote(dir + "/r.png") + " " + quote(record));
    EXPECT_EQ(o.status, 0) << o.err;
    expect_png(dir + "/r.png");
}

// A record is known by what it holds, whatever its name.  The picture shows
// its medians, hatches the cells whose passes spread by more than 5 %, marks
// the caches the record lists, and says under the title how it was made.
TEST_F(Plot, DrawsARecordsMediansAndHatchesTheCellsThatSpread)
{
    MadeRecord made;
    made.pages = "huge";
    made.huge_share = 0.874;
    made.factor = 0.4999;
    made.caches = R"([{"level": 1, "type": "Data", "size_bytes": 32768},
        {"level": 1, "type": "Instruction", "size_bytes": 32768},
        {"level": 2, "type": "Unified", "size_bytes": 1048576}])";
    // One cell spreads by 44 % around a median of 123; the others are steady.
    made.figure = [](int l, int s, int k) {
        return l == 3 && s == 4 ? (k == 0 ? 151.0 : k == 1 ? 97.0 : 123.0) : slope(l, s);
    };
    std::string record = write("record.tsv", made.json());
    Outcome o = run_shell(quote(plot) + " -o " + quote(dir + "/r.svg") + " " + quote(record));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out + o.err, "");
    std::string svg = slurp(dir + "/r.svg");
    EXPECT_NE(svg.find("<text>memsweep on Test CPU_9, 2026-12-08T13:44:15Z</text>"), std::string::npos);
    EXPECT_NE(svg.find("<text>5 passes on CPU 1; pages huge, 87 % on huge pages; counter 2000.000 MHz, "
                       "cpu MHz factor 0.500</text>"),
              std::string::npos);
    EXPECT_NE(svg.find("<text>hatched: 1 cell whose passes spread by more than 5 %</text>"),
              std::string::npos);
    EXPECT_EQ(occurrences(svg, "url(#gpPat"), 1u);
    // The heat map's figure is the median, not the first pass or the extremes.
    EXPECT_NE(svg.find("<text>123</text>"), std::string::npos);
    EXPECT_EQ(svg.find("<text>151</text>"), std::string::npos);
    EXPECT_EQ(svg.find("<text>97</text>"), std::string::npos);
    EXPECT_NE(svg.find(">L1d 32K<"), std::string::npos);
    EXPECT_NE(svg.find(">L2 1M<"), std::string::npos);
    EXPECT_EQ(svg.find(">L1 32K<"), std::string::npos);
    // A record without a latency list has no latency panel.
    EXPECT_EQ(svg.find("Latency"), std::string::npos);

    // One pass has no spread to hatch; a factor that rounds to 1.000 goes
    // unsaid; -c none leaves out the record's caches.
    made.passes = 1;
    made.factor = 0.9996;
    made.warnings = {"before the session: other load: other work kept 0.38 of 2 CPUs busy"};
    record = write("one.json", made.json());
    o = run_shell(quote(plot) + " -c none -o " + quote(dir + "/one.svg") + " " + quote(record));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "memsweep-plot: warning in the record: " + made.warnings[0] + "\n");
    svg = slurp(dir + "/one.svg");
    EXPECT_NE(svg.find("<text>1 pass on CPU 1; pages huge, 87 % on huge pages; counter 2000.000 MHz</text>"),
              std::string::npos);
    EXPECT_NE(svg.find("<text>one pass: no spread; 1 warning in the record (on standard error)</text>"),
              std::string::npos);
    EXPECT_EQ(occurrences(svg, "url(#gpPat"), 0u);
    EXPECT_EQ(svg.find("L1d"), std::string::npos);
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
    // A record's text is data as well, whatever its characters; each of its
    // warnings stays one line on standard error, a control character in it
    // a "?".
    MadeRecord record;
    record.model = "`touch made6` $(touch made7) \"';system(\"touch made8\") \\ <b>&amp;\n\\n";
    record.warnings = {"`touch made9`", "$(touch made10)\nsecond line \\n \"quoted\" 'single'"};
    write("r`touch made11`.json", record.json());
    write("plain.json", MadeRecord().json());
    Outcome three = run_shell(in_dir + " -o three.svg 'r`touch made11`.json'");
    Outcome four = run_shell(in_dir + " -o four.svg 'r`touch made11`.json' plain.json");
    for (const char *made : {"made1", "made2", "made3", "made4", "made5", "made6", "made7", "made8", "made9",
                             "made10", "made11"})
        EXPECT_FALSE(exists(made)) << made;
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    ASSERT_EQ(three.status, 0) << three.err;
    expect_png(dir + "/one.png");
    expect_png(dir + "/two.png");
    EXPECT_EQ(three.err,
              "memsweep-plot: warning in the record: `touch made9`\n"
              "memsweep-plot: warning in the record: $(touch made10)?second line \\n \"quoted\" 'single'\n");
    EXPECT_NE(slurp(dir + "/three.svg")
                  .find("memsweep on `touch made6` $(touch made7) \"';system(\"touch made8\") \\ "),
              std::string::npos);
    ASSERT_EQ(four.status, 0) << four.err;
    std::vector<std::string> err = lines_of(four.err);
    ASSERT_EQ(err.size(), 10u) << four.err;
    EXPECT_EQ(err[0],
              "memsweep-plot: CPU models differ: A `touch made6` $(touch made7) \"';system(\"touch made8\") "
              "\\ <b>&amp;?\\n, B Test CPU_9");
    EXPECT_EQ(err[2], "memsweep-plot: warning in A: `touch made9`");
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
    std::string record = MadeRecord().json();
    std::string last_cell = ",\n{\"label\": 1, \"stride\": 15,";
    MadeRecord timed;
    timed.latency = latency_list(steps, [](long) { return 0.01; });
    std::string with_latency = timed.json();
    struct Case {
        std::string what, text, message;
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
        {"a throughput beyond any number", "1\t1\t1e999\n", "throughput \"1e999\" is too large"},
        {"a word for a label", "x\t1\t5\n", "not a whole number"},
        {"label 0", "0\t1\t5\n", "label 0 is out of range"},
        {"label 15", "15\t1\t5\n", "label 15 is out of range"},
        {"stride 0", "1\t0\t5\n", "stride 0 is out of range"},
        {"stride 16", "1\t16\t5\n", "stride 16 is out of range"},
        // Records, known by their first character whatever the file's name.
        {"a record cut short", record.substr(0, record.size() / 2), "truncated"},
        {"JSON that is no object", "[1, 2]\n", "not a memsweep record"},
        {"another format", replaced(record, "memsweep-record", "memsweep-check"), "not a memsweep record"},
        {"another version", replaced(record, "\"format_version\": 1", "\"format_version\": 2"),
         "format version 2"},
        {"no cells", replaced(record, "\"cells\"", "\"cellz\""), "cells is missing"},
        {"209 cells", record.substr(0, record.find(last_cell)) + "]}\n",
         "it has 209 cells, where a record has 210"},
        {"a cell twice", replaced(record, last_cell, ",\n{\"label\": 1, \"stride\": 14,"),
         "the same label and stride"},
        {"a word for a median", replaced(record, "\"median\": ", "\"median\": \"fast\", \"was\": "),
         "cell 1 has a median that is not a number"},
        {"a word for the counter's rate",
         replaced(record, "\"counter_mhz\": 2000", "\"counter_mhz\": \"2000\", \"x\": 0"),
         "clock.counter_mhz is not a number"},
        {"two records in one file", record + record, "not valid JSON"},
        {"a word for a latency", replaced(with_latency, "\"passes\": [", "\"passes\": [\"slow\", "),
         "latency entry 1 has no list of its passes' figures"},
        {"a latency size twice", replaced(with_latency, "\"bytes\": 24576", "\"bytes\": 16384"),
         "the latency sizes do not ascend, each once"},
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

    // A backslash in the name is part of the name, not an escape; and a
    // table is a table, whatever its name.
    std::string odd = write("runs\\new.json", "1\t1\n");
    Outcome o = plot_to(dir + "/bad.png", quote(odd));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "memsweep-plot: " + odd +
                         ": line 1: expected 3 columns (label, stride, throughput), found 2\n");

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

    // A message shows the text it quotes without its control characters:
    // C0, DEL and the C1 range (U+0080 to U+009F, CSI among them) become
    // spaces; all else stays.
    std::string controls = "\x1b[31m\xc2\x9b" "1m\xc2\x85\x7f\xc3\xa9";
    for (const std::string &args : {quote(write("ctl.tsv", controls + "\t1\t5\n")),
                                     quote(dir + "/" + controls + ".tsv"),
                                     "-o " + quote(dir + "/" + controls + ".gif") + " " + a}) {
        o = plot_to(dir + "/bad.png", args);
        EXPECT_EQ(o.status, 1) << args;
        ASSERT_EQ(lines_of(o.err).size(), 1u) << o.err;
        EXPECT_NE(o.err.find(" [31m 1m  \xc3\xa9"), std::string::npos) << o.err;
        std::string line = o.err.substr(0, o.err.size() - 1);
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; }))
            << o.err;
        EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << o.err;
        EXPECT_EQ(line.find("\xc2\x85"), std::string::npos) << o.err;
    }

    // Nothing half-written is left behind.
    EXPECT_EQ(run_shell("ls -A " + dir + " | grep -c -e partial -e memsweep-plot").out, "0\n");
}

// The picture is put in place, replacing a file and only a file, when all
// is written; a failure leaves one line, no picture, and an older picture as
// it was.
TEST_F(Plot, PutsThePictureInPlaceOnlyWhenAllIsWritten)
{
    std::string out = write("keep.png", "an older picture");
    std::string bad = write("bad.tsv", "1\t1\n");
    std::string a = write("a.tsv", grid(1, 3, 1, 3, slope)), b = write("b.tsv", grid(1, 3, 1, 3, faster));
    EXPECT_EQ(plot_to(out, bad).status, 1);
    EXPECT_EQ(slurp(out), "an older picture");

    // A report that can't be written leaves no picture.
    struct stat device;
    if (stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode)) {
        for (const std::string &name : {std::string("keep.png"), std::string("new.png")}) {
            Outcome o = plot_to(dir + "/" + name, a + " " + b + " >/dev/full");
            EXPECT_EQ(o.status, 1) << name;
            EXPECT_EQ(o.err, "memsweep-plot: can't write standard output\n") << name;
        }
        EXPECT_EQ(slurp(out), "an older picture");
        EXPECT_FALSE(exists("new.png"));
    }

    // A name of 250 characters is a name; one beyond the system's limit gets
    // one line.
    std::string longest(246, 'n'), too_long(252, 'n');
    Outcome o = plot_to(dir + "/" + longest + ".png", a);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    expect_png(dir + "/" + longest + ".png");
    o = plot_to(dir + "/" + too_long + ".png", a);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    EXPECT_EQ(o.err.rfind("memsweep-plot: " + dir + "/" + too_long + ".png: can't write it", 0), 0u) << o.err;

    // A symbolic link: the file it names gets the picture.  Anything else
    // but a file (a FIFO; a device, where one can be made here) is refused
    // and left as it was.
    ASSERT_EQ(symlink("named.png", (dir + "/link.png").c_str()), 0);
    o = plot_to(dir + "/link.png", a);
    ASSERT_EQ(o.status, 0) << o.err;
    struct stat link;
    ASSERT_EQ(lstat((dir + "/link.png").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    expect_png(dir + "/named.png");
    ASSERT_EQ(mkfifo((dir + "/fifo.png").c_str(), 0600), 0);
    bool device_made = mknod((dir + "/dev.png").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    std::filesystem::create_directory(dir + "/folder.png");
    for (const char *name : {"fifo.png", "dev.png", "folder.png"}) {
        if (name == std::string("dev.png") && !device_made)
            continue;
        o = plot_to(dir + "/" + name, a);
        EXPECT_EQ(o.status, 1) << name;
        EXPECT_EQ(o.err, "memsweep-plot: " + dir + "/" + name +
                             ": not a regular file; the picture replaces only a file\n");
    }
    struct stat kept;
    ASSERT_EQ(stat((dir + "/fifo.png").c_str(), &kept), 0);
    EXPECT_TRUE(S_ISFIFO(kept.st_mode));
    if (device_made) {
        ASSERT_EQ(stat((dir + "/dev.png").c_str(), &kept), 0);
        EXPECT_TRUE(S_ISCHR(kept.st_mode));
    }

    // Standard output, error or input closed: whatever the command opens
    // takes none of their places.
    std::string record = write("r.json", MadeRecord().json());
    o = plot_to(dir + "/closed1.png", record + " >&-");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    expect_png(dir + "/closed1.png");
    o = plot_to(dir + "/closed2.png", record + " " + record + " >&-");
    EXPECT_EQ(o.status, 0) << o.err;
    expect_png(dir + "/closed2.png");
    o = run_shell(quote(plot) + " -c " + quote(dir + "/no-such-folder") + " -o " + quote(dir + "/closed3.png") + " " +
                  a + " " + b + " 2>&-");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(lines_of(o.out).size(), 10u) << o.out;
    expect_png(dir + "/closed3.png");
    o = plot_to(dir + "/closed4.png", "<&-");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "memsweep-plot: standard input: empty: no table in it\n");

    // Nothing is left but the pictures.
    EXPECT_EQ(run_shell("cd " + quote(dir) + " && ls -A | grep -v -E '^((a|b|bad)[.]tsv|r[.]json)$|png$'").out, "");
}

}  // namespace
