// SPDX-License-Identifier: MIT
/*
 * files.cpp -- whole files and sysfs values (files.h).
 */
#include "common/files.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace memsweep {

/* read_regular reads at most limit bytes of the regular file at path into
 * *text; false, with *text empty, for anything else. */
static bool read_regular(const std::string &path, size_t limit, std::string *text)
{
    text->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {
    };
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char chunk[65536];
    while (ok && text->size() < limit) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, limit - text->size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        text->append(chunk, (size_t)n);
    }
    close(fd);
    if (!ok)
        text->clear();
    return ok;
}

bool read_file(const std::string &path, std::string *text)
{
    return read_regular(path, file_limit, text);
}

std::string file_text(const std::string &path)
{
    std::string text;
    read_file(path, &text);
    return text;
}

bool read_value(const std::string &path, std::string *value)
{
    if (!read_regular(path, 4095, value))
        return false;
    size_t end = value->find('\n');
    if (end != std::string::npos)
        value->erase(end);
    /* As the C string it once was read into, up to a NUL. */
    value->resize(strnlen(value->c_str(), value->size()));
    size_t first = value->find_first_not_of(" \t\r");
    size_t last = value->find_last_not_of(" \t\r");
    *value = first == std::string::npos ? "" : value->substr(first, last - first + 1);
    return true;
}

}  // namespace memsweep
