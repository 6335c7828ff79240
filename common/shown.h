// SPDX-License-Identifier: MIT
/*
 * shown.h -- text from the command line or from files made fit for one
 * line of a terminal or a tab-separated file: the one sanitizer of this
 * project's commands.  Header-only: memsweep-check, memsweep-record and
 * memsweep-compare include it alike.
 *
 * A terminal obeys more than the C0 controls (0x00 to 0x1f) and DEL: the
 * C1 controls, U+0080 to U+009F, are commands too (U+009B acts as ESC [),
 * whether they come as UTF-8 (0xc2 0x80 to 0xc2 0x9f) or, on a terminal
 * that reads 8-bit bytes, as the raw bytes 0x80 to 0x9f.  Each of them
 * becomes one '?', and so does any byte that is not part of well-formed
 * UTF-8 (an overlong form, a surrogate, a code point above U+10FFFF, a
 * lead byte 0xf5 to 0xff, a character cut short); the rest of the text,
 * other scripts included, stays as it is.
 *
 * Text is kept as it came wherever it is compared or looked up; it is
 * made fit only where it is shown.
 */
#ifndef MEMSWEEP_COMMON_SHOWN_H
#define MEMSWEEP_COMMON_SHOWN_H

#include <stddef.h>

#include <string>

/* utf8_length returns the length of the well-formed UTF-8 character that
 * starts at text[i], or 0 when the bytes there are not one. */
inline size_t utf8_length(const std::string &text, size_t i)
{
    auto at = [&](size_t k) { return k < text.size() ? (unsigned char)text[k] : 0u; };
    unsigned c = at(i);
    if (c < 0x80)
        return 1;
    /* The second byte's range, which rules out overlong forms, surrogates
     * and code points above U+10FFFF; later bytes are 0x80 to 0xbf. */
    size_t n = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf)
        n = 2;
    else if (c >= 0xe0 && c <= 0xef)
        n = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4)
        n = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
    else
        return 0;
    if (at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (size_t k = 2; k < n; k++)
        if (at(i + k) < 0x80 || at(i + k) > 0xbf)
            return 0;
    return n;
}

/* shown_line returns text with every control character, C0, DEL or C1,
 * and every byte outside well-formed UTF-8, replaced by '?'.  Text of more
 * than limit characters (each '?' one of them) keeps its first limit and
 * ends in "...": a character is kept whole or not at all. */
inline std::string shown_line(const std::string &text, size_t limit = std::string::npos)
{
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < text.size(); shown++) {
        if (shown == limit) {
            out += "...";
            break;
        }
        size_t n = utf8_length(text, i);
        auto c = (unsigned char)text[i];
        bool control =
            n == 1 ? c < 0x20 || c == 0x7f : n == 2 && c == 0xc2 && (unsigned char)text[i + 1] <= 0x9f;
        if (n == 0 || control) {
            out += '?';
            i += n == 0 ? 1 : n;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

#endif
