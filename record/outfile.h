// SPDX-License-Identifier: MIT
/*
 * outfile.h -- the record's file: opened before anything is measured,
 * written and given its name in one step at the end, and gone on every
 * other way out.  Private to memsweep-record; not installed.
 *
 * The path is settled when the file is opened: a symbolic link is followed
 * to the file it names (which then gets the record, in its own folder); a
 * folder, a device, a FIFO or a socket is refused; a name the folder can't
 * take is refused.  Only then is anything made, in the target's folder:
 *
 *   - an unnamed file (O_TMPFILE) where the file system has them: no end
 *     of the process, not even SIGKILL, leaves anything of it, but for
 *     the instant in which it replaces an existing file, where it has a
 *     temporary name as below; without /proc to name it by, the text goes
 *     to a named file at the end instead;
 *   - else a named temporary file, hidden and short: ".msr." and six
 *     letters or digits.  The ways out that run code remove it (a failure,
 *     an exception, exit(), SIGINT, SIGTERM, SIGHUP, SIGQUIT); SIGKILL, or
 *     the machine stopping, leaves it.
 *
 * Every later call works on the open folder and these short names, so a
 * path that was accepted at the start (a 255-byte name, a path of nearly
 * PATH_MAX bytes) can't fail at the end for its length.  One record file
 * at a time, in file-scope state, as signal handlers need it.
 */
#ifndef MEMSWEEP_RECORD_OUTFILE_H
#define MEMSWEEP_RECORD_OUTFILE_H

#include <string>

namespace outfile
{

/* open makes the record's file for path.  It returns "" when the file is
 * ready, else why path can't take a record, as a phrase ("Is a directory",
 * "it is a FIFO, not a regular file"); nothing is then made or changed.
 * A file already open is discarded first. */
std::string open(const std::string &path);

/* publish writes text to the file, has it reach the disk and gives it the
 * record's name in one step, replacing a regular file of that name.  It
 * returns false, with errno set, when that fails; nothing is then left of
 * the file, and whatever had the name has it still. */
bool publish(const std::string &text);

/* discard removes the file unless it was published; it does nothing when
 * no file is open.  open registers it to run at exit() as well. */
void discard();

/* catch_signals has SIGINT, SIGTERM, SIGHUP and SIGQUIT remove the file,
 * call also (when not null; it must be async-signal-safe), and then end
 * the process as they would have.  A signal that was ignored when the
 * process started (nohup, a job in the background) stays ignored. */
void catch_signals(void (*also)());

/* For tests: use_tmpfile(false) acts as a file system without unnamed
 * files, use_proc(false) as a system without /proc (an unnamed file is
 * named through it).  Both are allowed by default. */
void use_tmpfile(bool allowed);
void use_proc(bool allowed);

}  // namespace outfile

#endif
