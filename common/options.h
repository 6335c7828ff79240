// SPDX-License-Identifier: MIT
/*
 * options.h -- the command line as every command of this project reads it:
 * its words split into options and operands by one set of rules, and the
 * faults named in one wording.  What a value means is the command's to
 * judge.  Private to this project; not installed.
 *
 * The rules:
 *   - "--" ends the options: every word after it is an operand;
 *   - "-" alone, "" and any word that does not start with '-' is an operand;
 *   - a long option that takes a value takes it as --name=VALUE or as the
 *     next word (--name VALUE), whatever that word is; a short one (-o)
 *     takes the next word only;
 *   - an option whose value may be left out (Takes::optional) takes one
 *     only after '=': --name alone has none, and the next word is never
 *     its value;
 *   - an empty value is no value.
 *
 * The faults, each one phrase, for the command's "NAME: fault" line:
 *   unknown option: --bogus        (the word as given)
 *   --quiet takes no value         (--quiet=yes)
 *   --passes needs a value         (at the end, or --passes=)
 *   unexpected argument: extra     (an operand, where the command takes none;
 *                                   after an optional value's option, the
 *                                   line says how that takes its value)
 */
#ifndef MEMSWEEP_COMMON_OPTIONS_H
#define MEMSWEEP_COMMON_OPTIONS_H

#include <string>
#include <vector>

namespace memsweep {

/* What an option takes after its name. */
enum class Takes {
    nothing,  /* a flag: --quiet */
    value,    /* --name VALUE, --name=VALUE */
    optional, /* --name alone, or --name=VALUE */
};

/* One option a command knows, by its name as typed: "--json", "-o". */
struct OptionSpec {
    const char *name;
    Takes takes;
};

/* One word of the command line, as read: an option by the name it was
 * given, with its value where it has one; or an operand. */
struct Word {
    std::string name;  /* the option's name; "" for an operand */
    std::string value; /* its value, or the operand itself */
    bool has_value = false;
};

/* The words of a command line in their order, up to its first fault. */
struct CommandLine {
    std::vector<Word> words;
    std::string fault; /* "" when there is none */
};

/* read_command_line reads the arguments after the command's name by the
 * rules above, against the options the command knows; operands says
 * whether the command takes any.  A command goes through the words in
 * their order (a --help among them is obeyed, a bad value refused, as it
 * comes) and then reports the fault, if any. */
CommandLine read_command_line(const std::vector<std::string> &args, const std::vector<OptionSpec> &options,
                              bool operands);

/* usage_error returns a usage error's text for a command: one line,
 * "command: problem" with its control characters shown as '?'
 * (common/shown.h), then the usage. */
std::string usage_error(const std::string &command, const std::string &problem, const std::string &usage);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_OPTIONS_H */
