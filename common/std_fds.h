// SPDX-License-Identifier: MIT
/*
 * std_fds.h -- standard input, output and error made safe to assume.
 * Header-only: memsweep-check, memsweep-record and memsweep-compare include
 * it alike.
 *
 * A command started with one of them closed (`2>&-`) hands that number to
 * the first file it opens: a record file or a /proc file would then get
 * the warnings meant for standard error, or lose its own text to them.
 */
#ifndef MEMSWEEP_COMMON_STD_FDS_H
#define MEMSWEEP_COMMON_STD_FDS_H

#include <fcntl.h>
#include <unistd.h>

/* open_std_fds opens /dev/null, for reading and writing, on each of the
 * descriptors 0, 1 and 2 that is closed.  It is called first thing in
 * main, before anything else is opened.  Should /dev/null be missing,
 * nothing is left in their place: the program goes on as it would have.
 * It returns which were closed, bit fd set for each (1: standard input),
 * for a command that says so when it would read one. */
inline int open_std_fds()
{
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        closed |= 1 << fd;
        /* open takes the lowest free number: fd itself, as those below
         * it are open by now. */
        if (open("/dev/null", O_RDWR) != fd)
            break;
    }
    return closed;
}

#endif
