// SPDX-License-Identifier: MIT
/*
 * dimms.cpp -- the memory's devices from udev, SMBIOS and EDAC, their
 * channels and the rated peak (dimms.h).
 */
#include "check/dimms.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "check/proc.h"
#include "common/text.h"

namespace checks {

static std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)tolower(c); });
    return text;
}

/* ====================== udev ====================== */

std::vector<Dimm> udev_dimms(const std::string &database)
{
    const std::string prefix = "E:MEMORY_DEVICE_";
    std::map<long long, std::map<std::string, std::string>> by_device;
    std::istringstream lines(database);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        size_t under = line.find('_', prefix.size());
        size_t equals = line.find('=', prefix.size());
        if (under == std::string::npos || equals == std::string::npos || under > equals)
            continue;
        long long n = long_number(line.substr(prefix.size(), under - prefix.size()));
        if (n < 0 || n > 4095)
            continue;
        by_device[n][line.substr(under + 1, equals - under - 1)] = line.substr(equals + 1);
    }
    std::vector<Dimm> dimms;
    for (auto &[n, keys] : by_device) {
        Dimm d;
        d.source = "udev";
        d.locator = keys["LOCATOR"];
        d.bank_locator = keys["BANK_LOCATOR"];
        long long size = long_number(keys["SIZE"]);
        d.size_bytes = size > 0 ? (uint64_t)size : 0;
        d.present = keys["PRESENT"] != "0" && d.size_bytes > 0;
        d.type = keys["TYPE"];
        d.rated_mts = (long)std::max(long_number(keys["SPEED_MTS"]), 0LL);
        d.configured_mts = (long)std::max(long_number(keys["CONFIGURED_SPEED_MTS"]), 0LL);
        d.data_width_bits = (long)std::max(long_number(keys["DATA_WIDTH"]), 0LL);
        dimms.push_back(d);
    }
    return dimms;
}

/* ====================== SMBIOS ====================== */

/* SMBIOS's memory types (type 17's byte at 0x12) that memory buses have. */
static std::string memory_type(unsigned code)
{
    static const std::map<unsigned, const char *> names = {
        {0x12, "DDR"},    {0x13, "DDR2"},   {0x18, "DDR3"},   {0x1a, "DDR4"},  {0x1b, "LPDDR"},
        {0x1c, "LPDDR2"}, {0x1d, "LPDDR3"}, {0x1e, "LPDDR4"}, {0x20, "HBM"},   {0x21, "HBM2"},
        {0x22, "DDR5"},   {0x23, "LPDDR5"}, {0x24, "HBM3"},
    };
    auto at = names.find(code);
    return at == names.end() ? "" : at->second;
}

std::vector<Dimm> smbios_dimms(const std::string &table)
{
    std::vector<Dimm> dimms;
    const auto *t = reinterpret_cast<const unsigned char *>(table.data());
    const size_t n = table.size();
    auto word = [&](size_t at) { return (unsigned)t[at] | (unsigned)t[at + 1] << 8; };
    auto dword = [&](size_t at) { return (uint64_t)word(at) | (uint64_t)word(at + 2) << 16; };
    size_t at = 0;
    while (at + 4 <= n) {
        unsigned type = t[at];
        size_t length = t[at + 1];
        if (length < 4 || at + length > n)
            break;
        /* The strings follow the formatted area, each ended by a zero; two
         * zeros end the structure (just two where it has no strings). */
        size_t end = table.find(std::string("\0\0", 2), at + length);
        if (end == std::string::npos)
            break; /* cut short */
        std::vector<std::string> strings;
        for (size_t s = at + length; s < end;) {
            size_t stop = table.find('\0', s);
            if (stop == std::string::npos || stop > end)
                stop = end;
            strings.emplace_back(table, s, stop - s);
            s = stop + 1;
        }
        size_t next = end + 2;
        auto text = [&](size_t offset) {
            unsigned i = offset < length ? t[at + offset] : 0;
            return i >= 1 && i <= strings.size() ? strings[i - 1] : std::string();
        };
        if (type == 17 && length >= 0x15) {
            Dimm d;
            d.source = "SMBIOS";
            unsigned width = word(at + 0x0a);
            d.data_width_bits = width == 0xffff ? 0 : (long)width;
            unsigned size = word(at + 0x0c);
            if (size == 0x7fff && length >= 0x20)
                d.size_bytes = (dword(at + 0x1c) & 0x7fffffff) << 20;
            else if (size != 0xffff && size != 0x7fff)
                d.size_bytes = (uint64_t)(size & 0x7fff) << ((size & 0x8000) != 0 ? 10 : 20);
            d.present = size != 0;
            d.locator = text(0x10);
            d.bank_locator = text(0x11);
            d.type = memory_type(t[at + 0x12]);
            if (length >= 0x17) {
                unsigned speed = word(at + 0x15);
                d.rated_mts = speed == 0xffff && length >= 0x58 ? (long)dword(at + 0x54) : speed == 0xffff ? 0 : (long)speed;
            }
            if (length >= 0x22) {
                unsigned speed = word(at + 0x20);
                d.configured_mts = speed == 0xffff && length >= 0x5c ? (long)dword(at + 0x58) : speed == 0xffff ? 0 : (long)speed;
            }
            dimms.push_back(d);
        }
        if (type == 127)
            break;
        at = next;
    }
    return dimms;
}

/* ====================== EDAC ====================== */

/* edac_channel finds "channel" and the number after it, with '#' or blanks
 * between: "mc#0csrow#1channel#0" and "csrow 1 channel 0" name 0; -1 for
 * none. */
static long long edac_channel(const std::string &text)
{
    std::string l = lower(text);
    size_t at = l.find("channel");
    if (at == std::string::npos)
        return -1;
    size_t from = l.find_first_not_of("# ", at + 7);
    if (from == std::string::npos)
        return -1;
    size_t to = l.find_first_not_of("0123456789", from);
    return long_number(l.substr(from, to == std::string::npos ? std::string::npos : to - from));
}

std::vector<Dimm> edac_dimms(const std::vector<EdacDevice> &devices)
{
    std::vector<Dimm> dimms;
    for (const EdacDevice &e : devices) {
        Dimm d;
        d.source = "EDAC";
        d.locator = e.label;
        long long mib = long_number(e.size_mib);
        d.size_bytes = mib > 0 ? (uint64_t)mib << 20 : 0;
        d.present = d.size_bytes > 0;
        size_t dash = e.mem_type.rfind('-');
        d.type = dash == std::string::npos ? e.mem_type : e.mem_type.substr(dash + 1);
        long long channel = edac_channel(e.label);
        if (channel < 0)
            channel = edac_channel(e.location);
        std::string mc = e.folder.substr(0, e.folder.find('/'));
        if (channel >= 0)
            d.channel = mc + " channel " + std::to_string(channel);
        dimms.push_back(d);
    }
    return dimms;
}

/* ====================== Channels ====================== */

/* socket_of finds a socket's or node's name in a bank locator ("NODE 1",
 * "P0", "CPU1", "SOCKET 0"); "" for none. */
static std::string socket_of(const std::string &bank)
{
    std::string l = lower(bank);
    for (const char *word : {"node", "socket", "cpu", "p"}) {
        size_t at = 0;
        while ((at = l.find(word, at)) != std::string::npos) {
            bool starts = at == 0 || isalpha((unsigned char)l[at - 1]) == 0;
            size_t digit = l.find_first_not_of(" _", at + std::string(word).size());
            if (starts && digit != std::string::npos && isdigit((unsigned char)l[digit]) != 0) {
                size_t end = l.find_first_not_of("0123456789", digit);
                return bank.substr(at, end == std::string::npos ? std::string::npos : end - at);
            }
            at++;
        }
    }
    return "";
}

/* named_channel is the text up to and including "channel" and its name, as
 * "P0 CHANNEL A" or "Controller0-ChannelA"; "" where there is none. */
static std::string named_channel(const std::string &text)
{
    size_t at = lower(text).find("channel");
    if (at == std::string::npos)
        return "";
    size_t from = text.find_first_not_of(" _-#", at + 7);
    if (from == std::string::npos || isalnum((unsigned char)text[from]) == 0)
        return "";
    size_t to = from;
    while (to < text.size() && isalnum((unsigned char)text[to]) != 0)
        to++;
    return text.substr(0, to);
}

std::string channel_of(const Dimm &dimm)
{
    if (!dimm.channel.empty())
        return dimm.channel;
    std::string named = named_channel(dimm.bank_locator);
    if (!named.empty())
        return named;
    named = named_channel(dimm.locator);
    if (!named.empty())
        return named;
    /* A locator ending in a letter and the slot's digits. */
    const std::string &l = dimm.locator;
    size_t digits = l.find_last_not_of("0123456789");
    if (digits == std::string::npos || digits + 1 == l.size() || isalpha((unsigned char)l[digits]) == 0)
        return "";
    std::string socket = socket_of(dimm.bank_locator);
    return (socket.empty() ? "" : socket + "/") + l.substr(0, digits + 1);
}

/* ====================== The layout and its peak ====================== */

/* size_name shows a device's size in GiB where it is whole ones. */
static std::string size_name(uint64_t bytes)
{
    return bytes % (uint64_t(1) << 30) == 0 ? std::to_string(bytes >> 30) + " GiB" : memsweep::size_text(bytes);
}

MemoryLayout memory_layout(const std::vector<Dimm> &devices, const std::string &source)
{
    MemoryLayout m;
    m.source = source;
    m.slots = (int)devices.size();
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(m.present), [](const Dimm &d) { return d.present; });
    if (m.present.empty()) {
        m.unknown = source + " lists no memory device in place";
        return m;
    }

    /* Each channel's devices; a device whose channel is unknown leaves
     * the channels unknown. */
    std::map<std::string, std::vector<const Dimm *>> channels;
    std::set<std::string> empty;
    std::string unnamed;
    for (const Dimm &d : m.present) {
        std::string c = channel_of(d);
        if (c.empty() && unnamed.empty())
            unnamed = d.locator.empty() ? "(none)" : d.locator;
        channels[c].push_back(&d);
    }
    for (const Dimm &d : devices) {
        std::string c = channel_of(d);
        if (!d.present && !c.empty() && channels.count(c) == 0)
            empty.insert(c);
    }

    /* The warnings stand whatever is known of the peak. */
    if (unnamed.empty() && !empty.empty()) {
        std::string names;
        for (const std::string &c : empty)
            names += (names.empty() ? "" : ", ") + c;
        m.warnings.push_back(std::to_string(empty.size()) + " of " + std::to_string(channels.size() + empty.size()) +
                             " channels have no device (" + names +
                             "): each channel adds its share of the bandwidth, so check that a DIMM is not missing "
                             "or unseated");
    }
    if (unnamed.empty()) {
        size_t fewest = m.present.size();
        size_t most = 0;
        for (const auto &entry : channels) {
            fewest = std::min(fewest, entry.second.size());
            most = std::max(most, entry.second.size());
        }
        if (fewest != most)
            m.warnings.push_back("the channels hold " + std::to_string(fewest) + " to " + std::to_string(most) +
                                 " devices each: unevenly populated, so some addresses are read over fewer "
                                 "channels; check the board's population rules");
    }
    auto slow = std::find_if(m.present.begin(), m.present.end(), [](const Dimm &d) {
        return d.configured_mts > 0 && d.rated_mts > 0 && d.configured_mts < d.rated_mts;
    });
    if (slow != m.present.end())
        m.warnings.push_back((slow->locator.empty() ? std::string("a device") : slow->locator) + " runs at " +
                             std::to_string(slow->configured_mts) + " MT/s, below its rated " +
                             std::to_string(slow->rated_mts) +
                             ": check the firmware's memory speed setting and that the DIMMs' speeds match");
    std::set<uint64_t> sizes;
    for (const Dimm &d : m.present)
        sizes.insert(d.size_bytes);
    if (sizes.size() > 1) {
        std::string names;
        for (uint64_t s : sizes)
            names += (names.empty() ? "" : ", ") + size_name(s);
        m.warnings.push_back("devices of mixed sizes (" + names +
                             "): the part of the memory beyond the smallest may be read over fewer channels");
    }

    if (!unnamed.empty()) {
        m.unknown = "the locator \"" + memsweep::shown(unnamed, 40) + "\" names no channel";
        return m;
    }
    m.channels = (int)channels.size();
    m.empty_channels = (int)empty.size();
    double bytes_per_us = 0.0;
    for (const auto &entry : channels) {
        long width = 0;
        long speed = 0;
        for (const Dimm *d : entry.second) {
            long s = d->configured_mts > 0 ? d->configured_mts : d->rated_mts;
            width = std::max(width, d->data_width_bits);
            speed = speed == 0 || (s > 0 && s < speed) ? s : speed;
        }
        if (width == 0 || speed == 0) {
            const char *missing = speed != 0 ? "no data width" : width != 0 ? "no speed" : "no speed or data width";
            m.unknown = source + " gives " + missing + " for channel " + memsweep::shown(entry.first, 40);
            m.channels = (int)channels.size();
            return m;
        }
        m.mts = m.mts == 0 ? speed : std::min(m.mts, speed);
        bytes_per_us += (double)width / 8.0 * (double)speed;
    }
    m.rated_gbs = bytes_per_us / 1000.0;
    return m;
}

}  // namespace checks
