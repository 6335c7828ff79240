// SPDX-License-Identifier: MIT
/*
 * outfile.cpp -- the commands' output files (outfile.h).
 */
#include "common/outfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace outfile
{

/* ====================== State ====================== */

/* One open file.  The signal handler reads dir_fd and temp, from whichever
 * thread it runs on: they are lock-free atomics, set before a temporary
 * name is made and cleared after it is gone. */
struct Slot {
    std::atomic<int> dir_fd{-1};  /* the target's folder (O_PATH); -1 while the slot is free */
    std::atomic<uint64_t> temp{0}; /* the temporary name's code plus 1; 0 while it has none */
    int temp_fd = -1;              /* the file being written, while there is one */
    std::string target;            /* the file's name in that folder */
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<void (*)()>::is_always_lock_free,
              "the signal handler reads these without locks");

static Slot slots[max_files];                /* the open files, by File::slot_ */
static std::atomic<void (*)()> signal_also;  /* what a signal does besides removing the files */
static bool tmpfile_allowed = true;          /* a test's stand-in for a file system without O_TMPFILE */
static bool proc_allowed = true;             /* a test's stand-in for a system without /proc */

/* The temporary name: hidden, short, and a name no user would choose;
 * ".msr." and six of these letters. */
static const char temp_prefix[] = ".msr.";
static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
static const size_t temp_letters = 6;
static const size_t temp_size = sizeof temp_prefix - 1 + temp_letters + 1; /* with its zero */

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

/* Signals wait, in this thread, while a temporary name is made, given or
 * taken, so that the handler never runs halfway through. */
struct SignalsWait {
    sigset_t old;
    SignalsWait()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
    }
    ~SignalsWait()
    {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    SignalsWait(const SignalsWait &) = delete;
    SignalsWait &operator=(const SignalsWait &) = delete;
};

/* name_of writes the temporary name of a code below 62^6 into name
 * (temp_size bytes); it is async-signal-safe. */
static void name_of(uint64_t code, char *name)
{
    memcpy(name, temp_prefix, sizeof temp_prefix - 1);
    for (size_t i = sizeof temp_prefix - 1; i < temp_size - 1; i++, code /= 62)
        name[i] = letters[code % 62];
    name[temp_size - 1] = '\0';
}

/* random_code returns a new temporary name's code, below 62^6. */
static uint64_t random_code()
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
    return z % 56800235584u; /* 62^6 */
}

/* remove_temp removes the slot's named temporary file, if it has one; it
 * is async-signal-safe. */
static void remove_temp(Slot &s)
{
    uint64_t code = s.temp.load();
    if (code == 0)
        return;
    char name[temp_size];
    name_of(code - 1, name);
    unlinkat(s.dir_fd.load(), name, 0);
}

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

/* enter replaces *dir by the folder at path from it ("" stays). */
static bool enter(int *dir, const std::string &folder)
{
    if (folder.empty())
        return true;
    int next = openat(*dir, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0)
        return false;
    close(*dir);
    *dir = next;
    return true;
}

/* find_target opens the folder of the file path names, following links,
 * into *dir and sets *name to the file's name there; it returns "" or why
 * not, with *dir then closed. */
static std::string find_target(const std::string &path, int *dir, std::string *name)
{
    Parts at = split(path);
    *dir = openat(AT_FDCWD, at.folder.empty() ? "." : at.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dir < 0)
        return strerror(errno);
    std::string why;
    for (int links = 0; why.empty(); links++) {
        /* The folder opened: a path that ends in "/", "." or ".." names it. */
        if (at.name.empty() || at.name == "." || at.name == "..") {
            why = strerror(EISDIR);
            break;
        }
        struct stat st {
        };
        if (fstatat(*dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            /* No file yet is a new file; a name too long is refused here. */
            if (errno != ENOENT)
                why = strerror(errno);
            break;
        }
        if (S_ISREG(st.st_mode))
            break;
        if (S_ISDIR(st.st_mode)) {
            why = strerror(EISDIR);
        } else if (!S_ISLNK(st.st_mode)) {
            why = std::string("it is ") + kind_of(st.st_mode) + ", not a regular file";
        } else if (links == link_limit) {
            why = strerror(ELOOP);
        } else {
            char to[PATH_MAX];
            ssize_t n = readlinkat(*dir, at.name.c_str(), to, sizeof to);
            if (n < 0 || n == (ssize_t)sizeof to) {
                why = strerror(n < 0 ? errno : ENAMETOOLONG);
            } else {
                at = split(std::string(to, (size_t)n));
                if (!enter(dir, at.folder))
                    why = strerror(errno);
            }
        }
    }
    if (!why.empty()) {
        close(*dir);
        *dir = -1;
    }
    *name = at.name;
    return why;
}

/* ====================== The temporary file ====================== */

/* make_named makes a named temporary file in the slot's folder, readable
 * as any file the user makes; false, with errno set, when it can't.  Given
 * an unnamed file fd, it gives that file the name instead, through /proc.
 * The name is in the slot before the file is: a signal at any moment
 * finds it. */
static bool make_named(Slot &s, int fd = -1)
{
    SignalsWait wait;
    for (int attempt = 0; attempt < 100; attempt++) {
        uint64_t code = random_code();
        char name[temp_size];
        name_of(code, name);
        s.temp.store(code + 1);
        bool made;
        if (fd < 0) {
            s.temp_fd = openat(s.dir_fd.load(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            made = s.temp_fd >= 0;
        } else {
            std::string self = "/proc/self/fd/" + std::to_string(fd);
            made = linkat(AT_FDCWD, self.c_str(), s.dir_fd.load(), name, AT_SYMLINK_FOLLOW) == 0;
        }
        if (made)
            return true;
        int saved = errno;
        s.temp.store(0);
        errno = saved;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

/* open_temp opens the slot's file, unnamed where it can. */
static bool open_temp(Slot &s)
{
    if (tmpfile_allowed) {
        s.temp_fd = openat(s.dir_fd.load(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (s.temp_fd >= 0)
            return true;
        /* A file system or kernel without unnamed files says so in one of
         * these ways; any other failure is the folder's own. */
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
    }
    return make_named(s);
}

/* write_all writes the whole text to fd. */
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
    return true;
}

/* fill gives fd the permissions mode (where it is not negative), writes
 * the text and has it reach the disk. */
static bool fill(int fd, const std::string &text, int mode)
{
    return (mode < 0 || fchmod(fd, (mode_t)mode) == 0) && write_all(fd, text) && fsync(fd) == 0;
}

/* kept_mode returns the permissions of the regular file the slot will
 * replace, or -1 where there is none. */
static int kept_mode(const Slot &s)
{
    struct stat st {
    };
    if (fstatat(s.dir_fd.load(), s.target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int)(st.st_mode & 07777);
}

/* replace gives the named temporary file the target's name.  Only a
 * regular file or nothing is replaced: what was put at the name while the
 * command worked is checked again here. */
static bool replace(Slot &s)
{
    SignalsWait wait;
    struct stat st {
    };
    if (fstatat(s.dir_fd.load(), s.target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    char name[temp_size];
    name_of(s.temp.load() - 1, name);
    if (renameat(s.dir_fd.load(), name, s.dir_fd.load(), s.target.c_str()) != 0)
        return false;
    s.temp.store(0);
    return true;
}

/* free_slot removes the slot's temporary file, if any, and closes it. */
static void free_slot(Slot &s)
{
    SignalsWait wait;
    if (s.temp_fd >= 0)
        close(s.temp_fd);
    s.temp_fd = -1;
    remove_temp(s);
    s.temp.store(0);
    int dir = s.dir_fd.exchange(-1);
    if (dir >= 0)
        close(dir);
    s.target.clear();
}

/* discard_all frees every slot: at exit(), what was not published goes. */
static void discard_all()
{
    for (Slot &s : slots)
        if (s.dir_fd.load() >= 0)
            free_slot(s);
}

/* ====================== The calls ====================== */

File::~File()
{
    discard();
}

std::string File::create(const std::string &path)
{
    discard();
    if (path == "-") {
        to_stdout_ = true;
        return "";
    }
    int free = 0;
    while (free < max_files && slots[free].dir_fd.load() >= 0)
        free++;
    if (free == max_files)
        return "too many output files";
    int dir = -1;
    std::string name;
    std::string why = find_target(path, &dir, &name);
    if (!why.empty())
        return why;
    Slot &s = slots[free];
    s.target = name;
    s.dir_fd.store(dir);
    slot_ = free;
    if (!open_temp(s)) {
        why = strerror(errno);
        discard();
        return why;
    }
    static bool at_exit = false;
    if (!at_exit)
        at_exit = atexit(discard_all) == 0;
    return "";
}

bool File::publish(const std::string &text)
{
    if (to_stdout_) {
        to_stdout_ = false;
        return write_all(1, text);
    }
    if (slot_ < 0) {
        errno = EBADF;
        return false;
    }
    Slot &s = slots[slot_];
    int mode = kept_mode(s);
    bool done = fill(s.temp_fd, text, mode);
    bool published = false;
    if (done && s.temp.load() == 0) {
        /* Unnamed, it gets its name through /proc: directly where nothing
         * has that name yet, else a temporary name first.  Without /proc
         * the text goes to a named file instead. */
        std::string self = "/proc/self/fd/" + std::to_string(s.temp_fd);
        if (proc_allowed && linkat(AT_FDCWD, self.c_str(), s.dir_fd.load(), s.target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            published = true;
        } else if (proc_allowed && errno == EEXIST) {
            done = make_named(s, s.temp_fd);
        } else {
            close(s.temp_fd);
            s.temp_fd = -1;
            done = make_named(s) && fill(s.temp_fd, text, mode);
        }
    }
    if (done && !published) {
        done = close(s.temp_fd) == 0;
        s.temp_fd = -1;
        published = done && replace(s);
    }
    int saved = errno;
    discard();
    errno = saved;
    return published;
}

void File::discard()
{
    to_stdout_ = false;
    if (slot_ < 0)
        return;
    free_slot(slots[slot_]);
    slot_ = -1;
}

/* identify gives the slot's folder's identity and, where its target
 * exists, the target's, by fstat; false when the folder can't be read. */
static bool identify(int slot, struct stat *folder, struct stat *file, bool *exists)
{
    const Slot &s = slots[slot];
    if (fstat(s.dir_fd.load(), folder) != 0)
        return false;
    *exists = fstatat(s.dir_fd.load(), s.target.c_str(), file, AT_SYMLINK_NOFOLLOW) == 0;
    return true;
}

bool File::same_target(const File &other) const
{
    if (to_stdout_ || other.to_stdout_)
        return to_stdout_ && other.to_stdout_;
    if (slot_ < 0 || other.slot_ < 0)
        return false;
    struct stat d1 {
    };
    struct stat f1 = d1;
    struct stat d2 = d1;
    struct stat f2 = d1;
    bool e1 = false;
    bool e2 = false;
    if (!identify(slot_, &d1, &f1, &e1) || !identify(other.slot_, &d2, &f2, &e2))
        return false;
    if (d1.st_dev == d2.st_dev && d1.st_ino == d2.st_ino && slots[slot_].target == slots[other.slot_].target)
        return true;
    return e1 && e2 && f1.st_dev == f2.st_dev && f1.st_ino == f2.st_ino;
}

bool File::replaces(const struct stat &st) const
{
    if (slot_ < 0)
        return false;
    struct stat folder {
    };
    struct stat file = folder;
    bool exists = false;
    return identify(slot_, &folder, &file, &exists) && exists && file.st_dev == st.st_dev &&
           file.st_ino == st.st_ino;
}

/* on_signal removes the temporary files, does what else the caller asked,
 * and then lets the signal end the process as it would have, so that a
 * shell running commands in a loop sees Ctrl-C for what it is. */
static void on_signal(int sig)
{
    for (Slot &s : slots)
        remove_temp(s);
    void (*also)() = signal_also.load();
    if (also != nullptr)
        also();
    signal(sig, SIG_DFL);
    raise(sig);
}

void catch_signals(void (*also)())
{
    signal_also.store(also);
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
