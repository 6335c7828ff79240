// SPDX-License-Identifier: MIT
/*
 * outfile.h -- an output file of this project's commands (memsweep-record's
 * record, memsweep-compare's document and data): made before the work
 * that fills it, written and given its name in one step at the end, and
 * gone on every other way out.  Private to this project; not installed.
 *
 * The name "-" is standard output: nothing is made, and the text is
 * written there at the end.  Any other path is settled when the file is
 * created: a symbolic link is followed to the file it names (which then
 * gets the text, in its own folder); a folder, a device, a FIFO or a
 * socket is refused; a name the folder can't take (too long) is refused.
 * Only then is anything made, in the target's folder:
 *
 *   - an unnamed file (O_TMPFILE) where the file system has them: no end
 *     of the process, not even SIGKILL, leaves anything of it, but for
 *     the instant in which it replaces an existing file, where it has a
 *     temporary name as below; without /proc to name it by, the text goes
 *     to a named file at the end instead;
 *   - else a named temporary file, hidden and short: ".msr." and six
 *     letters or digits, made anew (never opened through a link).  The
 *     ways out that run code remove it (a failure, an exception, exit(),
 *     SIGINT, SIGTERM, SIGHUP, SIGQUIT); SIGKILL, or the machine
 *     stopping, leaves it.
 *
 * A file that is replaced keeps its permissions (a 0600 file stays 0600);
 * a new one gets 0666 less the umask.  Every later call works on the open
 * folder and these short names, so a path that was accepted at the start
 * (a 255-byte name, a path of nearly PATH_MAX bytes) can't fail at the
 * end for its length.
 *
 * At most max_files files are open at once: the signal handler finds them
 * in a table of that size, which holds what it reads as lock-free atomics.
 */
#ifndef MEMSWEEP_COMMON_OUTFILE_H
#define MEMSWEEP_COMMON_OUTFILE_H

#include <sys/stat.h>

#include <string>

namespace outfile
{

/* How many files may be open at once: memsweep-compare writes two. */
const int max_files = 4;

/* One output file, from create to publish (or discard, which its
 * destructor does). */
class File
{
   public:
    File() = default;
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    /* create makes the file for path ("-": standard output).  It returns
     * "" when the file is ready, else why path can't take it, as a phrase
     * ("Is a directory", "it is a FIFO, not a regular file", "File name too
     * long", "too many output files"); nothing is then made or changed.  A
     * file this one had open is discarded first. */
    std::string create(const std::string &path);

    /* publish writes text to the file, has it reach the disk and gives it
     * its name in one step, replacing a regular file of that name (or
     * writes text to standard output).  It returns false, with errno set,
     * when that fails; nothing is then left of the file, and whatever had
     * the name has it still.  Either way the file is closed. */
    bool publish(const std::string &text);

    /* discard removes the file unless it was published; it does nothing
     * when none is open. */
    void discard();

    /* is_open: created, and neither published nor discarded yet. */
    bool is_open() const { return slot_ >= 0 || to_stdout_; }

    /* to_stdout: created for "-". */
    bool to_stdout() const { return to_stdout_; }

    /* same_target: this file and other would write the same file (both
     * standard output, or one name in one folder, or two names of one
     * existing file). */
    bool same_target(const File &other) const;

    /* replaces: the file this one would replace is the existing file st
     * describes (st_dev and st_ino), as fstat of an input gives it. */
    bool replaces(const struct stat &st) const;

   private:
    int slot_ = -1;          /* its place in the signal handler's table; -1 none */
    bool to_stdout_ = false; /* created for "-" */
};

/* catch_signals has SIGINT, SIGTERM, SIGHUP and SIGQUIT remove every open
 * file, call also (when not null; it must be async-signal-safe), and then
 * end the process as they would have.  A signal that was ignored when the
 * process started (nohup, a job in the background) stays ignored.  Files
 * still open at exit() are removed too. */
void catch_signals(void (*also)());

/* For tests: use_tmpfile(false) acts as a file system without unnamed
 * files, use_proc(false) as a system without /proc (an unnamed file is
 * named through it).  Both are allowed by default. */
void use_tmpfile(bool allowed);
void use_proc(bool allowed);

}  // namespace outfile

#endif /* MEMSWEEP_COMMON_OUTFILE_H */
