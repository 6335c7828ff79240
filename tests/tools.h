// SPDX-License-Identifier: MIT
// Helpers for tests that run commands: the built executable, nm, objdump.
#ifndef MEMSWEEP_TESTS_TOOLS_H
#define MEMSWEEP_TESTS_TOOLS_H

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct Outcome {
    int status = -1;  // exit status, or -1 if the command did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// quote makes text one word of a shell command, whatever it holds.
inline std::string quote(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// run_shell runs a shell command with standard output and standard error
// sent to files of their own, unless the command redirects them itself.
inline Outcome run_shell(const std::string &command)
{
    std::string base = testing::TempDir() + "memsweep_run_" + std::to_string(getpid());
    std::string cmd = "(" + command + ") >" + quote(base + ".out") + " 2>" + quote(base + ".err");
    int raw = std::system(cmd.c_str());
    Outcome o;
    if (raw != -1 && WIFEXITED(raw))
        o.status = WEXITSTATUS(raw);
    o.out = slurp(base + ".out");
    o.err = slurp(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return o;
}

// A fresh folder of its own, removed with everything in it at the end of its
// scope; path is empty if it could not be made.
struct TempFolder {
    std::string path;

    TempFolder()
    {
        std::string pattern = testing::TempDir() + "memsweep_XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    // put writes a file below the folder, with the folders above it.
    void put(const std::string &below, const std::string &text) const
    {
        std::filesystem::path p = path + below;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
};

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line))
        lines.push_back(line);
    return lines;
}

#endif
