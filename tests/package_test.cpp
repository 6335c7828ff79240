// The installed package: a user's C program builds against it with
// find_package and with pkg-config, and the manual page is clean.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tools.h"

namespace {

const std::string source = MEMSWEEP_SOURCE_DIR;
const std::string build = MEMSWEEP_BINARY_DIR;

class Package : public testing::Test {
protected:
    static std::string prefix;

    static void SetUpTestSuite()
    {
        prefix = testing::TempDir() + "memsweep_install_" + std::to_string(getpid());
        Outcome o = run_shell("rm -rf " + prefix + " && cmake --install " + build + " --prefix " + prefix);
        ASSERT_EQ(o.status, 0) << o.out << o.err;
    }

    static void TearDownTestSuite() { run_shell("rm -rf " + prefix); }
};

std::string Package::prefix;

TEST_F(Package, InstallsTheProgramTheLibraryItsHeadersAndTheManualPage)
{
    for (const char *file : {"bin/memsweep", "bin/memsweep-plot", "lib/libmemsweep-timing.a",
                             "include/memsweep/clock.h", "include/memsweep/harness.h",
                             "lib/cmake/memsweep/memsweepConfig.cmake",
                             "lib/cmake/memsweep/memsweepConfigVersion.cmake",
                             "lib/pkgconfig/memsweep-timing.pc", "share/man/man1/memsweep.1"})
        EXPECT_EQ(access((prefix + "/" + file).c_str(), F_OK), 0) << file;
}

TEST_F(Package, ServesFindPackageToACProgram)
{
    std::string out = prefix + "/example-build";
    Outcome o = run_shell("cmake -S " + source + "/examples -B " + out + " -DCMAKE_PREFIX_PATH=" + prefix +
                          " && cmake --build " + out);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    o = run_shell(out + "/time_function");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("cycles"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(" ns "), std::string::npos) << o.out;
}

TEST_F(Package, ServesPkgConfigToACProgram)
{
    if (run_shell("command -v pkg-config").status != 0)
        GTEST_SKIP() << "pkg-config is not installed (scripts/setup installs it)";
    std::string exe = prefix + "/time_function_pc";
    Outcome o = run_shell("cc -std=c99 -Wall -Wextra -Werror " + source + "/examples/time_function.c -o " + exe +
                          " $(PKG_CONFIG_PATH=" + prefix + "/lib/pkgconfig pkg-config --cflags --libs memsweep-timing)");
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    o = run_shell(exe);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("cycles"), std::string::npos) << o.out;
}

TEST(ManualPage, RendersWithoutWarnings)
{
    std::string page = source + "/man/memsweep.1";
    Outcome o;
    if (run_shell("command -v mandoc").status == 0)
        o = run_shell("mandoc -T lint -W warning " + page);
    else if (run_shell("command -v groff").status == 0)
        o = run_shell("groff -ww -z -man " + page);
    else
        GTEST_SKIP() << "neither mandoc nor groff is installed";
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out + o.err, "");
}

}  // namespace
