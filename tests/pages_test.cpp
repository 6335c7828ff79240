// SPDX-License-Identifier: MIT
// memsweep's array on huge pages: aligned to one, so that where huge pages
// are asked for its first byte sits on one as its last does.  Linked with
// the sweep's own array and memsweep-record's page controls.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <fstream>
#include <sstream>
#include <string>

#include "machine/machine.h"
#include "sweep/sweep.h"

namespace {

std::string smaps()
{
    std::ifstream f("/proc/self/smaps", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Pages, TheArraysFirstByteSitsOnAHugePageWhenAskedFor)
{
    // The system's huge page: 2 MiB here, 32 or 512 MiB on some 64-bit Arm
    // kernels, where it may be larger than the whole array.
    const uintptr_t huge_page = machine::huge_page_bytes();
    ASSERT_GE(huge_page, machine::page_bytes());
    if (huge_page > sizeof data)
        GTEST_SKIP() << "huge pages of " << (huge_page >> 20) << " MiB are larger than the array";
    auto start = (uintptr_t)data;
    EXPECT_EQ(start % huge_page, 0u);

    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string mode;
    std::getline(enabled, mode);
    if (mode.empty() || mode.find("[never]") != std::string::npos)
        GTEST_SKIP() << "transparent huge pages are off here: \"" << mode << "\"";

    // The first two huge pages' worth, advised and touched as a session
    // does.  The first is then given a protection of its own for a moment,
    // which makes it a mapping of its own in smaps, huge page and all.
    uintptr_t first = start - start % huge_page;
    ASSERT_TRUE(machine::advise_pages(data, 2 * huge_page, machine::Pages::huge));
    machine::touch_pages(data, 2 * huge_page);
    ASSERT_EQ(mprotect(reinterpret_cast<void *>(first), huge_page, PROT_READ), 0);
    std::string text = smaps();
    ASSERT_EQ(mprotect(reinterpret_cast<void *>(first), huge_page, PROT_READ | PROT_WRITE), 0);
    double head = machine::huge_share(text, first, first + huge_page);
    double next = machine::huge_share(text, first + huge_page, first + 2 * huge_page);
    if (head == 0.0 && next == 0.0)
        GTEST_SKIP() << "the kernel has no huge page to give now";
    EXPECT_EQ(head, 1.0) << "the array's first bytes are on small pages, the next " << next * 100 << " % huge";
}

}  // namespace
