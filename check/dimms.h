// SPDX-License-Identifier: MIT
/*
 * dimms.h -- the memory's devices and its rated peak, from what a user may
 * read: udev's memory properties of the DMI device, else the SMBIOS table
 * (root only), else EDAC's memory controllers, which know the channels but
 * not the speed.  Each reader takes a text it is given and opens no file;
 * check/gather.cpp reads them.  Private to memsweep-check's library.
 */
#ifndef MEMSWEEP_CHECK_DIMMS_H
#define MEMSWEEP_CHECK_DIMMS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace checks {

/* One memory device as its source describes it: a DIMM, an LPDDR package,
 * or (AMD's EDAC) a rank.  0 and "" are unknown. */
struct Dimm {
    std::string locator, bank_locator;
    bool present = true;        /* false for an empty slot */
    uint64_t size_bytes = 0;
    std::string type;           /* "DDR5", "LPDDR5" ... */
    long rated_mts = 0;         /* the speed the device is made for */
    long configured_mts = 0;    /* the speed it runs at */
    long data_width_bits = 0;   /* 64 for a DIMM's channel, 16 or 32 for LPDDR */
    std::string channel;        /* EDAC's own channel, where it names one */
    std::string source;         /* "udev", "SMBIOS" or "EDAC" */
};

/* One of EDAC's devices: its folder (as "mc0/dimm3"), and the first lines
 * of its dimm_label, dimm_location, size (MiB) and dimm_mem_type files. */
struct EdacDevice {
    std::string folder, label, location, size_mib, mem_type;
};

/* udev_dimms reads the MEMORY_DEVICE_n_* properties of a udev database
 * entry ("E:KEY=VALUE" lines: /run/udev/data/+dmi:id), empty slots
 * included; none where it has none. */
std::vector<Dimm> udev_dimms(const std::string &database);

/* smbios_dimms reads the memory devices (type 17) of a raw SMBIOS table
 * (/sys/firmware/dmi/tables/DMI), empty slots included; none where the
 * table has none or is cut short. */
std::vector<Dimm> smbios_dimms(const std::string &table);

/* edac_dimms reads EDAC's devices: their sizes and types, and the channel
 * each one's label or location names ("mc#0csrow#1channel#0",
 * "csrow 1 channel 0", "channel 1 slot 0"). */
std::vector<Dimm> edac_dimms(const std::vector<EdacDevice> &devices);

/* channel_of names a device's channel: EDAC's own; else the bank locator's
 * or the locator's "Channel X" with what stands before it ("P0 CHANNEL A",
 * "Controller0-ChannelA-DIMM0"); else the locator less its slot's digits,
 * where it ends in a letter and digits ("CPU1_DIMM_B2" is CPU1_DIMM_B's);
 * "" where none of these fits. */
std::string channel_of(const Dimm &dimm);

/* The memory as its devices make it. */
struct MemoryLayout {
    std::vector<Dimm> present;     /* the devices in place */
    int slots = 0;                 /* places for devices, empty ones included */
    int channels = 0;              /* channels with a device; 0 where unknown */
    int empty_channels = 0;        /* channels whose every slot is empty */
    double rated_gbs = 0.0;        /* 0 where unknown */
    long mts = 0;                  /* the slowest configured speed */
    std::string source;            /* where the devices came from */
    std::string unknown;           /* why the rated peak is unknown; "" where known */
    std::vector<std::string> warnings; /* what to check, one sentence each */
};

/* memory_layout counts the channels of the devices (two on one channel
 * count once) and rates the peak: the sum over channels of their data
 * width times the slowest configured speed on them (the rated speed where
 * none is configured), in GB/s.  It warns of channels left empty or
 * holding different numbers of devices, devices below their rated speed,
 * and mixed sizes.  devices are one source's; source names it. */
MemoryLayout memory_layout(const std::vector<Dimm> &devices, const std::string &source);

}  // namespace checks

#endif /* MEMSWEEP_CHECK_DIMMS_H */
