// SPDX-License-Identifier: MIT
/*
 * text.cpp -- numbers, sizes and text from files, as shown.
 */
#include "common/text.h"

#include <stdio.h>

namespace memsweep {

std::string fixed(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cache_name(int level, const std::string &type)
{
    return "L" + std::to_string(level) + (level == 1 && type == "Data" ? "d" : "");
}

std::string count_text(uint64_t n, const std::string &thing)
{
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string size_text(uint64_t bytes)
{
    if (bytes % (uint64_t(1) << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (uint64_t(1) << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

/* escaped spells a byte as \xNN. */
static std::string escaped(unsigned char c)
{
    char esc[8];
    snprintf(esc, sizeof esc, "\\x%02x", c);
    return esc;
}

std::string shown(const std::string &text, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; i++) {
        auto c = (unsigned char)text[i];
        auto next = (unsigned char)(i + 1 < text.size() ? text[i + 1] : 0);
        if (c == 0xc2 && next >= 0x80 && next <= 0x9f)
            out += escaped(c) + escaped(text[++i]);
        else if (c < 0x20 || c == 0x7f)
            out += escaped(c);
        else
            out += (char)c;
    }
    if (text.size() > limit)
        out += "...";
    return out;
}

}  // namespace memsweep
