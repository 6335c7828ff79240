// SPDX-License-Identifier: MIT
/*
 * files.cpp -- whole files and sysfs values.
 */
#include "common/files.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace memsweep {

bool read_file(const std::string &path, std::string *text)
{
    text->clear();
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    char chunk[65536];
    size_t n;
    while (text->size() < file_limit && (n = fread(chunk, 1, sizeof chunk, fp)) > 0)
        text->append(chunk, std::min(n, file_limit - text->size()));
    fclose(fp);
    return true;
}

std::string file_text(const std::string &path)
{
    std::string text;
    read_file(path, &text);
    return text;
}

bool read_value(const std::string &path, std::string *value)
{
    value->clear();
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    char line[4096];
    if (fgets(line, sizeof line, fp) != nullptr)
        value->assign(line, strnlen(line, sizeof line));
    fclose(fp);
    size_t end = value->find('\n');
    if (end != std::string::npos)
        value->erase(end);
    size_t first = value->find_first_not_of(" \t\r");
    size_t last = value->find_last_not_of(" \t\r");
    *value = first == std::string::npos ? "" : value->substr(first, last - first + 1);
    return true;
}

}  // namespace memsweep
