// SPDX-License-Identifier: MIT
/*
 * outfile.cpp -- the record's file (outfile.h).
 */
#include "record/outfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace outfile
{

/* ====================== State ====================== */

static int dir_fd = -1;             /* the target's folder (O_PATH), while a file is open */
static std::string target;          /* the record's name in that folder */
static int temp_fd = -1;            /* the file being written, while there is one */
static char temp_name[16];          /* its name in the folder; "" while it has none */
static void (*signal_also)();       /* what a signal does besides removing the file */
static bool tmpfile_allowed = true; /* a test's stand-in for a file system without O_TMPFILE */
static bool proc_allowed = true;    /* a test's stand-in for a system without /proc */

/* The temporary name: hidden, short, and a name no user would choose. */
static const char temp_prefix[] = ".msr.";

/* A symbolic link followed this many times in a row is a loop, as the
 * kernel counts (ELOOP). */
static const int link_limit = 40;

void use_tmpfile(bool allowed)
{
    tmpfile_allowed = allowed;
}
void use_proc(bool allowed)
{
    proc_allowed = allowed;
}

/* Signals wait while a temporary name is made, given or taken, so that the
 * handler never misses a file it should remove. */
struct SignalsWait {
    sigset_t old;
    SignalsWait()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
    }
    ~SignalsWait()
    {
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    SignalsWait(const SignalsWait &) = delete;
    SignalsWait &operator=(const SignalsWait &) = delete;
};

/* ====================== The target ====================== */

/* A path cut in two: its folder ("" for none, "/" for the root) and the
 * name after the last slash. */
struct Parts {
    std::string folder, name;
};

static Parts split(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {"", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

/* kind_of names a file that is not a regular file or a folder. */
static const char *kind_of(mode_t mode)
{
    return S_ISCHR(mode)    ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket"
                            : "not a file";
}

/* enter replaces dir_fd by the folder at path from it ("" stays). */
static bool enter(const std::string &folder)
{
    if (folder.empty())
        return true;
    int next = openat(dir_fd, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0)
        return false;
    close(dir_fd);
    dir_fd = next;
    return true;
}

/* find_target opens the folder of the file path names, following links,
 * and sets target to its name there; it returns "" or why not. */
static std::string find_target(const std::string &path)
{
    Parts at = split(path);
    dir_fd = openat(AT_FDCWD, at.folder.empty() ? "." : at.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return strerror(errno);
    for (int links = 0;; links++) {
        /* The folder opened: a path that ends in "/", "." or ".." names it. */
        if (at.name.empty() || at.name == "." || at.name == "..")
            return strerror(EISDIR);
        struct stat st {
        };
        if (fstatat(dir_fd, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            /* No file yet is a new file; a name too long is refused here. */
            if (errno != ENOENT)
                return strerror(errno);
            break;
        }
        if (S_ISREG(st.st_mode))
            break;
        if (S_ISDIR(st.st_mode))
            return strerror(EISDIR);
        if (!S_ISLNK(st.st_mode))
            return std::string("it is ") + kind_of(st.st_mode) + ", not a regular file";
        if (links == link_limit)
            return strerror(ELOOP);
        char to[PATH_MAX];
        ssize_t n = readlinkat(dir_fd, at.name.c_str(), to, sizeof to);
        if (n < 0 || n == (ssize_t)sizeof to)
            return strerror(n < 0 ? errno : ENAMETOOLONG);
        at = split(std::string(to, (size_t)n));
        if (!enter(at.folder))
            return strerror(errno);
    }
    target = at.name;
    return "";
}

/* ====================== The temporary file ====================== */

/* random_name writes a new temporary name into name, 12 bytes with the
 * terminating zero. */
static void random_name(char *name)
{
    static uint64_t state = 0;
    struct timespec ts {
    };
    clock_gettime(CLOCK_REALTIME, &ts);
    state += (uint64_t)ts.tv_nsec ^ ((uint64_t)getpid() << 32) ^ 0x9e3779b97f4a7c15u;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    z ^= z >> 31;
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    memcpy(name, temp_prefix, sizeof temp_prefix - 1);
    for (size_t i = sizeof temp_prefix - 1; i < 11; i++, z /= 62)
        name[i] = letters[z % 62];
    name[11] = '\0';
}

/* make_named makes a named temporary file in the folder, readable as any
 * file the user makes; false, with errno set, when it can't.  Given an
 * unnamed file fd, it gives that file the name instead, through /proc. */
static bool make_named(int fd = -1)
{
    SignalsWait wait;
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[sizeof temp_name];
        random_name(name);
        bool made;
        if (fd < 0) {
            temp_fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            made = temp_fd >= 0;
        } else {
            std::string self = "/proc/self/fd/" + std::to_string(fd);
            made = linkat(AT_FDCWD, self.c_str(), dir_fd, name, AT_SYMLINK_FOLLOW) == 0;
        }
        if (made) {
            memcpy(temp_name, name, sizeof name);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

/* open_temp opens the file for the record, unnamed where it can. */
static bool open_temp()
{
    if (tmpfile_allowed) {
        temp_fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (temp_fd >= 0)
            return true;
        /* A file system or kernel without unnamed files says so in one of
         * these ways; any other failure is the folder's own. */
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
    }
    return make_named();
}

/* write_all writes the whole text to fd and has it reach the disk. */
static bool write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return fsync(fd) == 0;
}

/* replace gives the named temporary file the record's name.  Only a
 * regular file or nothing is replaced: what was put at the name while the
 * session measured is checked again here. */
static bool replace()
{
    SignalsWait wait;
    struct stat st {
    };
    if (fstatat(dir_fd, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    if (renameat(dir_fd, temp_name, dir_fd, target.c_str()) != 0)
        return false;
    temp_name[0] = '\0';
    return true;
}

/* ====================== The calls ====================== */

std::string open(const std::string &path)
{
    discard();
    std::string why = find_target(path);
    if (why.empty() && !open_temp())
        why = strerror(errno);
    if (!why.empty()) {
        discard();
        return why;
    }
    static bool at_exit = false;
    if (!at_exit)
        at_exit = atexit(discard) == 0;
    return "";
}

bool publish(const std::string &text)
{
    if (temp_fd < 0) {
        errno = EBADF;
        return false;
    }
    bool done = write_all(temp_fd, text), published = false;
    if (done && temp_name[0] == '\0') {
        /* Unnamed, it gets the record's name through /proc: directly where
         * nothing has that name yet, else a temporary name first.  Without
         * /proc the text goes to a named file instead. */
        std::string self = "/proc/self/fd/" + std::to_string(temp_fd);
        if (proc_allowed && linkat(AT_FDCWD, self.c_str(), dir_fd, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            published = true;
        } else if (proc_allowed && errno == EEXIST) {
            done = make_named(temp_fd);
        } else {
            close(temp_fd);
            temp_fd = -1;
            done = make_named() && write_all(temp_fd, text);
        }
    }
    if (done && !published) {
        done = close(temp_fd) == 0;
        temp_fd = -1;
        published = done && replace();
    }
    int saved = errno;
    discard();
    errno = saved;
    return published;
}

void discard()
{
    SignalsWait wait;
    if (temp_fd >= 0)
        close(temp_fd);
    temp_fd = -1;
    if (temp_name[0] != '\0')
        unlinkat(dir_fd, temp_name, 0);
    temp_name[0] = '\0';
    if (dir_fd >= 0)
        close(dir_fd);
    dir_fd = -1;
    target.clear();
}

/* on_signal removes the temporary file, does what else the caller asked,
 * and then lets the signal end the process as it would have, so that a
 * shell running sessions in a loop sees Ctrl-C for what it is. */
static void on_signal(int sig)
{
    if (temp_name[0] != '\0')
        unlinkat(dir_fd, temp_name, 0);
    if (signal_also != nullptr)
        signal_also();
    signal(sig, SIG_DFL);
    raise(sig);
}

void catch_signals(void (*also)())
{
    signal_also = also;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction old {
        };
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction act {
        };
        act.sa_handler = on_signal;
        sigfillset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

}  // namespace outfile
