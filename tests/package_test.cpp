// SPDX-License-Identifier: MIT
// The package as users get it.  The tree these tests were built in is
// installed for /usr, staged with DESTDIR and then moved elsewhere; C
// programs and a shared object build against that tree with find_package
// and with pkg-config, and another project builds the library from source
// with add_subdirectory.  A distribution's configure without GoogleTest is
// only configured: what it says and the manual pages it makes are all that
// is looked at.  The README shows the example as it is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

#include "disasm.h"
#include "tools.h"

namespace {

const std::string source = MEMSWEEP_SOURCE_DIR;
const std::string built = MEMSWEEP_BINARY_DIR;
const std::string version = MEMSWEEP_VERSION;

class Package : public testing::Test {
protected:
    static std::unique_ptr<TempFolder> root;
    static std::string usr;         // the installed tree's /usr, after the move
    static std::string libdir;      // the build's library folder below it
    static std::string configured;  // what the distribution's configure said
    static std::string distro;      // its build tree, configured only

    static void SetUpTestSuite()
    {
        root = std::make_unique<TempFolder>();
        ASSERT_FALSE(root->path.empty());
        // A distribution's configure: a fixed date for the manual pages,
        // and a part turned off with another of CMake's booleans.
        distro = root->path + "/distro";
        Outcome o = run_shell("SOURCE_DATE_EPOCH=1700000000 cmake -S " + quote(source) + " -B " + quote(distro) +
                              " -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE"
                              " -DMEMSWEEP_BUILD_BENCH=no");
        configured = o.out;
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        o = run_shell("DESTDIR=" + quote(root->path + "/stage") + " cmake --install " + quote(built) +
                      " --prefix /usr && mv " + quote(root->path + "/stage") + " " + quote(root->path + "/moved"));
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        usr = root->path + "/moved/usr";
        std::smatch m;
        std::string cache = slurp(built + "/CMakeCache.txt");
        ASSERT_TRUE(std::regex_search(cache, m, std::regex("CMAKE_INSTALL_LIBDIR:PATH=(.*)")));
        libdir = m[1];
    }

    static void TearDownTestSuite() { root.reset(); }

    static std::string pkg_config()
    {
        return "PKG_CONFIG_PATH=" + quote(usr + "/" + libdir + "/pkgconfig") +
               " pkg-config --cflags --libs memsweep-timing";
    }
};

std::unique_ptr<TempFolder> Package::root;
std::string Package::usr, Package::libdir, Package::configured, Package::distro;

// expect_timed checks what the example prints.
void expect_timed(const Outcome &o)
{
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("cycles"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(" ns "), std::string::npos) << o.out;
}

// A part that is AUTO is left out where what it needs is missing, and says
// why; one that is ON fails the configure there, in one line.
TEST_F(Package, ConfiguresWithoutGoogleTestAndSaysWhyButFailsWhereAPartIsInsistedOn)
{
    EXPECT_NE(configured.find("Tests off: GoogleTest not found"), std::string::npos) << configured;
    Outcome o = run_shell("cmake -S " + quote(source) + " -B " + quote(root->path + "/insist") +
                          " -DMEMSWEEP_BUILD_CHECK=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=TRUE");
    EXPECT_NE(o.status, 0);
    // The whole message stands on one line, not wrapped.
    std::regex line("\n +MEMSWEEP_BUILD_CHECK is ON, but nlohmann-json [^\n]* or run scripts/setup\\)\n");
    EXPECT_TRUE(std::regex_search(o.err, line)) << o.err;
}

// A value that is neither AUTO nor one of CMake's booleans is a typo, not ON.
TEST_F(Package, RefusesAPartsValueThatIsNeitherAutoNorABoolean)
{
    Outcome o = run_shell("cmake -S " + quote(source) + " -B " + quote(root->path + "/typo") +
                          " -DMEMSWEEP_BUILD_RECORD=of");
    EXPECT_NE(o.status, 0);
    std::regex line("\n +MEMSWEEP_BUILD_RECORD is \"of\": say AUTO, ON or OFF[^\n]*\n");
    EXPECT_TRUE(std::regex_search(o.err, line)) << o.err;
    EXPECT_EQ(o.out.find("Configuring done"), std::string::npos) << o.out;
}

TEST_F(Package, ServesFindPackageToACProgram)
{
    std::string out = root->path + "/find-package";
    Outcome o = run_shell("cmake -S " + quote(source + "/examples") + " -B " + quote(out) +
                          " -DCMAKE_PREFIX_PATH=" + quote(usr) + " && cmake --build " + quote(out));
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    expect_timed(run_shell(quote(out + "/time_function")));
}

TEST_F(Package, ServesPkgConfigToACProgramAndASharedObject)
{
    if (run_shell("command -v pkg-config").status != 0)
        GTEST_SKIP() << "pkg-config is not installed (scripts/setup installs it)";
    std::string dir = root->path;
    Outcome o = run_shell("cc -std=c99 -Wall -Wextra -Werror " + quote(source + "/examples/time_function.c") +
                          " -o " + quote(dir + "/time_function") + " $(" + pkg_config() + ")");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    expect_timed(run_shell(quote(dir + "/time_function")));

    // A plugin that times code: the static library goes into a shared
    // object, which exports none of the library's names.  So the host's own
    // call of the C library's err(3, ...) reaches the C library, not the
    // harness's err(int), and exits 3.
    FILE *f = fopen((dir + "/plugin.c").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#include <memsweep/harness.h>\n"
          "static int work(int n, int unused) { volatile int s = 0; (void)unused;\n"
          "    for (int i = 0; i < n; i++) s = s + i; return s; }\n"
          "double time_work(void) { return fcyc2(work, 1000, 0, 0); }\n",
          f);
    fclose(f);
    f = fopen((dir + "/host.c").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#include <err.h>\n#include <stdio.h>\ndouble time_work(void);\n"
          "int main(void) { printf(\"%s\\n\", time_work() > 0.0 ? \"timed\" : \"not timed\");\n"
          "    fflush(stdout); err(3, \"the C library's err\"); }\n",
          f);
    fclose(f);
    o = run_shell("cd " + quote(dir) + " && cc -shared -fPIC -Wl,--no-undefined plugin.c -o libplugin.so $(" +
                  pkg_config() + ") && cc host.c -o host -L. -lplugin -Wl,-rpath,'$ORIGIN' && ./host");
    EXPECT_EQ(o.status, 3) << o.out << o.err;
    EXPECT_EQ(o.out, "timed\n");
    EXPECT_NE(o.err.find("the C library's err"), std::string::npos) << o.err;
    o = run_shell("nm -D --defined-only " + quote(dir + "/libplugin.so") + " | awk '{ print $NF }'");
    EXPECT_EQ(o.out, "time_work\n") << o.err;
}

TEST_F(Package, InstallsTheProgramsWithManualPagesOfThisVersionAndDateThatRender)
{
    bool lint = run_shell("command -v mandoc").status == 0;
    const std::string programs[] = {"memsweep",
#ifdef MEMSWEEP_WITH_CHECK
                              "memsweep-check",
#endif
#ifdef MEMSWEEP_WITH_RECORD
                              "memsweep-record", "memsweep-compare", "memsweep-plot",
#endif
    };
    for (const std::string &program : programs) {
        EXPECT_EQ(access((usr + "/bin/" + program).c_str(), X_OK), 0) << program;
        std::string page = usr + "/share/man/man1/" + program + ".1";
        std::regex dated(" 1 [0-9]{4}-[0-9]{2}-[0-9]{2} \"memsweep " + version + "\"");
        EXPECT_TRUE(std::regex_search(slurp(page), dated)) << page;
        if (lint) {
            Outcome o = run_shell("mandoc -T lint -W warning " + quote(page));
            EXPECT_EQ(o.status, 0) << o.out << o.err;
            EXPECT_EQ(o.out + o.err, "") << page;
        }
        // A distribution's pages carry the date it gives, whatever the day.
        // memsweep-check's and memsweep-record's are made only where
        // nlohmann-json is, as the programs are.
        if (configured.find("No " + program + ":") == std::string::npos) {
            std::string fixed = slurp(distro + "/" + program + ".1");
            EXPECT_NE(fixed.find(" 1 2023-11-14 \"memsweep " + version + "\""), std::string::npos) << program;
        }
    }
    if (!lint)
        GTEST_SKIP() << "mandoc is not installed (scripts/setup installs it)";
}

#ifdef MEMSWEEP_WITH_RECORD
// The installed plot finds its gnuplot program in the tree it was
// installed in, wherever that was moved, with nothing of the build on PATH.
TEST_F(Package, DrawsWithThePlotProgramInstalledBesideIt)
{
    if (run_shell("command -v gnuplot").status != 0)
        GTEST_SKIP() << "gnuplot is not installed (scripts/setup installs it)";
    EXPECT_EQ(access((usr + "/share/memsweep/memsweep-plot.gp").c_str(), R_OK), 0);
    Outcome o = run_shell("cd " + quote(root->path) + " && PATH=/usr/bin:/bin " + quote(usr + "/bin/memsweep-plot") +
                          " -c none -o t.png " + quote(source + "/docs/sweep-amd-epyc.tsv"));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_GT(slurp(root->path + "/t.png").size(), 10000u);
}
#endif

TEST(SourceTree, BuildsACProgramInAnotherProjectThroughAddSubdirectory)
{
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    Outcome o = run_shell("cmake -S " + quote(source + "/examples") + " -B " + quote(dir.path) +
                          " -DMEMSWEEP_SOURCE_DIR=" + quote(source) + " && cmake --build " + quote(dir.path));
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    // A part of another project builds no tests of its own.
    EXPECT_EQ(o.out.find("Tests off"), std::string::npos) << o.out;
    EXPECT_NE(access((dir.path + "/memsweep/tests").c_str(), F_OK), 0);
    expect_timed(run_shell(quote(dir.path + "/time_function")));
    // The other project sets no build type, and the library is optimised
    // all the same: no load or store in its timed windows.
    std::string archive = dir.path + "/memsweep/libmemsweep-timing.a";
    EXPECT_GE(expect_lean_windows(disassemble(archive), archive), 2);
}

TEST(Readme, ShowsTheExampleProgramAsItIs)
{
    std::string readme = slurp(source + "/README.md");
    std::string example = slurp(source + "/examples/time_function.c");
    std::string link = "[examples/time_function.c](examples/time_function.c)";
    size_t at = readme.find(link);
    ASSERT_NE(at, std::string::npos);
    size_t start = readme.find("```c\n", at);
    ASSERT_NE(start, std::string::npos);
    start += 5;
    size_t end = readme.find("```\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(readme.substr(start, end - start), example);
}

}  // namespace
