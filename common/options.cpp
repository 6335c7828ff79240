// SPDX-License-Identifier: MIT
/*
 * options.cpp -- the command line's words (options.h).
 */
#include "common/options.h"

#include <algorithm>

#include "common/shown.h"

namespace memsweep {

/* find returns the option of that name, or null. */
static const OptionSpec *find(const std::vector<OptionSpec> &options, const std::string &name)
{
    auto o = std::find_if(options.begin(), options.end(), [&](const OptionSpec &s) { return name == s.name; });
    return o == options.end() ? nullptr : &*o;
}

CommandLine read_command_line(const std::vector<std::string> &args, const std::vector<OptionSpec> &options,
                              bool operands)
{
    CommandLine line;
    bool options_end = false;
    const OptionSpec *bare = nullptr; /* the word before, an optional value's option without one */
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &arg = args[i];
        const OptionSpec *before = bare;
        bare = nullptr;
        Word w;
        if (!options_end && arg == "--") {
            options_end = true;
            continue;
        }
        if (options_end || arg.empty() || arg == "-" || arg[0] != '-') {
            if (!operands) {
                line.fault = "unexpected argument: " + arg;
                /* Meant as the value of the option just before it, most likely. */
                if (before != nullptr)
                    line.fault += std::string(" (") + before->name + " takes its value as " + before->name +
                                  "=VALUE)";
                return line;
            }
            w.value = arg;
            line.words.push_back(w);
            continue;
        }
        /* Only a long option has an '=' form; a short one is matched whole. */
        size_t eq = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
        w.name = arg.substr(0, eq);
        const OptionSpec *o = find(options, w.name);
        if (o == nullptr) {
            line.fault = "unknown option: " + arg;
            return line;
        }
        if (eq != std::string::npos) {
            if (o->takes == Takes::nothing) {
                line.fault = w.name + " takes no value";
                return line;
            }
            w.value = arg.substr(eq + 1);
            w.has_value = true;
        } else if (o->takes == Takes::value) {
            if (i + 1 == args.size()) {
                line.fault = w.name + " needs a value";
                return line;
            }
            w.value = args[++i];
            w.has_value = true;
        }
        if (w.has_value && w.value.empty()) {
            line.fault = w.name + " needs a value";
            return line;
        }
        if (o->takes == Takes::optional && !w.has_value)
            bare = o;
        line.words.push_back(w);
    }
    return line;
}

std::string usage_error(const std::string &command, const std::string &problem, const std::string &usage)
{
    return command + ": " + shown_line(problem) + "\n" + usage;
}

}  // namespace memsweep
