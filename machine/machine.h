// SPDX-License-Identifier: MIT
/*
 * machine.h -- the controls a memsweep-record session puts on the machine
 * and what it reads of it: the pages of the measured memory and their share
 * of huge pages, the latency's buffer, the CPU it runs on, and the
 * counter's step.  The only Linux calls of the session live in
 * machine.cpp.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_MACHINE_H
#define MEMSWEEP_RECORD_MACHINE_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "check/proc.h"

namespace machine {

/* How the pages of the measured memory are chosen: as the machine's
 * transparent huge page mode has it, small pages only, or huge pages asked
 * for. */
enum class Pages { system, small, huge };

/* pages_name is the page mode as the command line and the record spell it. */
const char *pages_name(Pages pages);

/* advise_pages tells the kernel which pages [addr, addr + len) should get,
 * before it is first touched: nothing for system, no huge pages for small,
 * huge pages for huge.  Only whole pages inside the range are advised.  It
 * returns false, with errno set, when the kernel refuses. */
bool advise_pages(void *addr, size_t len, Pages pages);

/* huge_share is the smaps reader of the checks (check/proc.h). */
using checks::huge_share;

/* allowed_cpus returns the CPUs this process may run on, in ascending
 * order; none when the kernel can't tell. */
std::vector<int> allowed_cpus();

/* least_busy returns the allowed CPU with the smallest busy share (CPUs
 * missing from busy count as fully busy); the lowest number among equals. */
int least_busy(const std::vector<int> &allowed, const std::map<long, double> &busy);

/* pin restricts the calling thread to the one CPU (the process, while it
 * has one thread); false, with errno set, when the kernel refuses.  A
 * thread started later starts with the same CPU and may pin itself to any
 * other the process may use: the session pins itself before the bandwidth
 * plane's threads start, and each of them pins itself to its own. */
bool pin(int cpu);

/* page_bytes is the system's page size (4, 16 or 64 KiB); huge_page_bytes
 * its transparent huge page's (2, 32 or 512 MiB: hpage_pmd_size, else what
 * a page table's middle level maps), read once. */
size_t page_bytes();
size_t huge_page_bytes();

/* map_buffer maps `bytes` of private memory for the latency, aligned to
 * huge_page_bytes so that huge pages can back all of it, and not yet
 * touched; nullptr, with errno set, when it can't.  unmap_buffer gives it
 * back. */
void *map_buffer(size_t bytes);
void unmap_buffer(void *buffer, size_t bytes);

/* A mapping of map_buffer's that is given back when it goes: data() is
 * nullptr (with errno set) where it could not be had, or for none. */
class Mapping
{
   public:
    Mapping() = default;
    explicit Mapping(size_t bytes) : data_(map_buffer(bytes)), bytes_(data_ != nullptr ? bytes : 0) {}
    ~Mapping() { unmap_buffer(data_, bytes_); }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    Mapping(Mapping &&other) noexcept : data_(other.data_), bytes_(other.bytes_)
    {
        other.data_ = nullptr;
        other.bytes_ = 0;
    }
    Mapping &operator=(Mapping &&other) noexcept
    {
        if (this != &other) {
            unmap_buffer(data_, bytes_);
            data_ = other.data_;
            bytes_ = other.bytes_;
            other.data_ = nullptr;
            other.bytes_ = 0;
        }
        return *this;
    }

    void *data() const { return data_; }
    size_t size() const { return bytes_; }

   private:
    void *data_ = nullptr;
    size_t bytes_ = 0;
};

/* counter_step returns the smallest number of cycles by which the
 * counter's reading advances between two readings: 1 on most machines, more
 * where it is kept in coarser steps (some virtual machines). */
double counter_step();

/* touch_pages writes to every page of [addr, addr + len), so that all of
 * it is resident before anything is timed. */
void touch_pages(void *addr, size_t len);

/* give_back_pages returns the whole pages inside [addr, addr + len) of a
 * private mapping to the system, keeping the mapping and its advice: the
 * next touch of each page gets a new, zero-filled physical page, wherever
 * the system then finds one.  False, with errno set, where it can't. */
bool give_back_pages(void *addr, size_t len);

}  // namespace machine

#endif /* MEMSWEEP_RECORD_MACHINE_H */
