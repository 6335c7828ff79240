// SPDX-License-Identifier: MIT
// The commands' output files, in-process: each kind of target, the file
// systems without unnamed files or without /proc, long names, permissions,
// two files at once, standard output, and what every way out leaves
// behind.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/outfile.h"
#include "tools.h"

namespace
{

// listing returns the names in a folder, sorted, hidden ones too.
std::string listing(const std::string &folder)
{
    return run_shell("ls -A " + quote(folder)).out;
}

// kind returns what stat(1) calls the file at path, without following a link.
std::string kind(const std::string &path)
{
    return run_shell("stat -c %F " + quote(path)).out;
}

// Each test runs once with unnamed files allowed and once without, as on a
// file system that has none; /proc is allowed unless a test says otherwise.
class OutFile : public testing::TestWithParam<bool>
{
   protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        outfile::use_tmpfile(GetParam());
        outfile::use_proc(true);
    }
    void TearDown() override
    {
        file.discard();
        outfile::use_tmpfile(true);
        outfile::use_proc(true);
    }
    // write creates path, publishes text and says whether both worked.
    static bool write(const std::string &path, const std::string &text)
    {
        outfile::File f;
        std::string why = f.create(path);
        EXPECT_EQ(why, "") << path;
        return why.empty() && f.publish(text);
    }
    TempFolder dir;
    outfile::File file;
};

INSTANTIATE_TEST_SUITE_P(UnnamedOrNot, OutFile, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Unnamed" : "Named"; });

TEST_P(OutFile, WritesANewFileAndReplacesARegularOneLeavingNothingElse)
{
    std::string path = dir.path + "/r.json";
    ASSERT_TRUE(write(path, "one\n"));
    EXPECT_EQ(slurp(path), "one\n");
    // Replaced in one step: a reader holding the old file keeps it whole.
    ASSERT_EQ(link(path.c_str(), (dir.path + "/old").c_str()), 0);
    ASSERT_TRUE(write(path, "two\n"));
    EXPECT_EQ(slurp(path), "two\n");
    EXPECT_EQ(slurp(dir.path + "/old"), "one\n");
    EXPECT_EQ(listing(dir.path), "old\nr.json\n");
    // A name without a folder is in the working folder.
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    bool written = write("plain", "three\n");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_TRUE(written);
    EXPECT_EQ(slurp(dir.path + "/plain"), "three\n");
}

TEST_P(OutFile, FollowsSymbolicLinksToTheFileTheyName)
{
    ASSERT_EQ(mkdir((dir.path + "/keep").c_str(), 0777), 0);
    // An existing file, through two links, one of them relative to its own folder.
    ASSERT_TRUE(write(dir.path + "/keep/r.json", "old\n"));
    ASSERT_EQ(symlink("keep/r.json", (dir.path + "/near").c_str()), 0);
    ASSERT_EQ(symlink((dir.path + "/near").c_str(), (dir.path + "/far").c_str()), 0);
    ASSERT_TRUE(write(dir.path + "/far", "new\n"));
    EXPECT_EQ(slurp(dir.path + "/keep/r.json"), "new\n");
    EXPECT_EQ(kind(dir.path + "/far"), "symbolic link\n");
    EXPECT_EQ(kind(dir.path + "/near"), "symbolic link\n");
    // A link to no file yet makes the file it names.
    ASSERT_EQ(symlink("keep/made.json", (dir.path + "/dangling").c_str()), 0);
    ASSERT_TRUE(write(dir.path + "/dangling", "made\n"));
    EXPECT_EQ(slurp(dir.path + "/keep/made.json"), "made\n");
    EXPECT_EQ(listing(dir.path + "/keep"), "made.json\nr.json\n");
    EXPECT_EQ(listing(dir.path), "dangling\nfar\nkeep\nnear\n");
}

TEST_P(OutFile, RefusesWhatIsNotARegularFileAndChangesNothing)
{
    std::string fifo = dir.path + "/fifo", sock = dir.path + "/sock", dev = dir.path + "/dev";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(s);
    ASSERT_EQ(symlink("fifo", (dir.path + "/to-fifo").c_str()), 0);
    ASSERT_EQ(symlink("loop", (dir.path + "/loop").c_str()), 0);
    ASSERT_EQ(mkdir((dir.path + "/folder").c_str(), 0777), 0);
    std::vector<std::pair<std::string, std::string>> refused = {
        {fifo, "it is a FIFO, not a regular file"},
        {sock, "it is a socket, not a regular file"},
        {dir.path + "/to-fifo", "it is a FIFO, not a regular file"},
        {dir.path + "/loop", strerror(ELOOP)},
        {dir.path + "/folder", strerror(EISDIR)},
        {dir.path + "/folder/", strerror(EISDIR)},
        {dir.path + "/.", strerror(EISDIR)},
        {dir.path + "/none/r.json", strerror(ENOENT)},
        {dir.path + "/fifo/r.json", strerror(ENOTDIR)},
        {dir.path + "/" + std::string(256, 'n'), strerror(ENAMETOOLONG)},
    };
    // A character device, where this process may make one (root).
    bool device = mknod(dev.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (device)
        refused.push_back({dev, "it is a character device, not a regular file"});
    std::string before = listing(dir.path);
    for (const auto &r : refused)
        EXPECT_EQ(file.create(r.first), r.second) << r.first;
    EXPECT_EQ(listing(dir.path), before);
    EXPECT_EQ(listing(dir.path + "/folder"), "");
    EXPECT_EQ(kind(fifo), "fifo\n");
    EXPECT_EQ(kind(sock), "socket\n");
    if (device) {
        EXPECT_EQ(kind(dev), "character special file\n");
    }
    // Nothing is open after a refusal: there is nothing to publish.
    EXPECT_FALSE(file.is_open());
    EXPECT_FALSE(file.publish("text"));
}

// A FIFO put at the record's name while the session measures stays: the
// record fails, and nothing of its file is left.
TEST_P(OutFile, AFailureLeavesNothingBehindAndWhatHadTheNameKeepsIt)
{
    for (bool exists : {false, true}) {
        std::string path = dir.path + "/r.json";
        if (exists) {
            ASSERT_TRUE(write(path, "old\n"));
        }
        ASSERT_EQ(file.create(path), "");
        ASSERT_EQ(unlink(path.c_str()), exists ? 0 : -1);
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
        EXPECT_FALSE(file.publish("text"));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(kind(path), "fifo\n");
        EXPECT_EQ(listing(dir.path), "r.json\n");
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    // Discarded, or gone out of scope, an open file leaves nothing either.
    ASSERT_EQ(file.create(dir.path + "/r.json"), "");
    file.discard();
    {
        outfile::File scoped;
        ASSERT_EQ(scoped.create(dir.path + "/r.json"), "");
    }
    EXPECT_EQ(listing(dir.path), "");
}

TEST_P(OutFile, NamesTheFileWithoutProc)
{
    outfile::use_proc(false);
    std::string path = dir.path + "/r.json";
    ASSERT_TRUE(write(path, "one\n"));
    ASSERT_TRUE(write(path, "two\n"));
    EXPECT_EQ(slurp(path), "two\n");
    EXPECT_EQ(listing(dir.path), "r.json\n");
}

// The temporary name is short and in the target's folder, so a name the
// folder took at the start, or a path of nearly PATH_MAX bytes, is never
// refused at the end.
TEST_P(OutFile, WritesTheLongestNamesAndPaths)
{
    for (bool proc : {true, false}) {
        outfile::use_proc(proc);
        std::string path = dir.path + "/" + std::string(250, 'n');
        ASSERT_TRUE(write(path, "new\n"));
        ASSERT_TRUE(write(path, "replaced\n"));
        EXPECT_EQ(slurp(path), "replaced\n");
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    std::string deep = dir.path;
    while (deep.size() < PATH_MAX - 1 - 256) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    std::string path = deep + "/" + std::string(PATH_MAX - 2 - deep.size(), 'n');
    ASSERT_EQ(path.size(), (size_t)PATH_MAX - 1);
    ASSERT_TRUE(write(path, "new\n"));
    ASSERT_TRUE(write(path, "replaced\n"));
    EXPECT_EQ(slurp(path), "replaced\n");
    EXPECT_EQ(listing(deep), path.substr(deep.size() + 1) + "\n");
}

// mode_of returns a file's permission bits.
mode_t mode_of(const std::string &path)
{
    struct stat st {
    };
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_P(OutFile, AReplacedFileKeepsItsPermissionsAndANewOneGetsTheUmasks)
{
    mode_t old = umask(022);
    std::string path = dir.path + "/r.json";
    for (bool proc : {true, false}) {
        outfile::use_proc(proc);
        ASSERT_TRUE(write(path, "new\n"));
        EXPECT_EQ(mode_of(path), 0644u);
        for (mode_t kept : {0600, 0640, 0444}) {
            ASSERT_EQ(chmod(path.c_str(), kept), 0);
            ASSERT_TRUE(write(path, "replaced\n"));
            EXPECT_EQ(mode_of(path), kept) << proc;
            EXPECT_EQ(slurp(path), "replaced\n");
        }
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    umask(077);
    ASSERT_TRUE(write(path, "private\n"));
    umask(old);
    EXPECT_EQ(mode_of(path), 0600u);
}

TEST_P(OutFile, ADashIsStandardOutputAndMakesNoFileOfThatName)
{
    std::string cwd = std::filesystem::current_path(), caught = dir.path + "/caught";
    int saved = dup(1), to = open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(saved, 0);
    ASSERT_GE(to, 0);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    fflush(stdout);
    dup2(to, 1);
    std::string why = file.create("-");
    bool to_stdout = file.to_stdout(), published = file.publish("text\n");
    dup2(saved, 1);
    close(saved);
    close(to);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(why, "");
    EXPECT_TRUE(to_stdout);
    EXPECT_TRUE(published);
    EXPECT_EQ(slurp(caught), "text\n");
    EXPECT_EQ(listing(dir.path), "caught\n");
}

TEST_P(OutFile, TellsTwoFilesOfOneTargetAndTheInputItWouldReplace)
{
    std::string x = dir.path + "/x";
    ASSERT_TRUE(write(x, "x\n"));
    ASSERT_EQ(link(x.c_str(), (dir.path + "/hard").c_str()), 0);
    ASSERT_EQ(symlink("x", (dir.path + "/soft").c_str()), 0);
    outfile::File other;
    ASSERT_EQ(file.create(x), "");
    for (const std::string &same : {x, dir.path + "/./x", dir.path + "/soft", dir.path + "/hard"}) {
        ASSERT_EQ(other.create(same), "");
        EXPECT_TRUE(file.same_target(other)) << same;
        EXPECT_TRUE(other.same_target(file)) << same;
    }
    // Two new files of one name are one target too.
    outfile::File n1, n2;
    ASSERT_EQ(n1.create(dir.path + "/new"), "");
    ASSERT_EQ(n2.create(dir.path + "/../" + std::filesystem::path(dir.path).filename().string() + "/new"), "");
    EXPECT_TRUE(n1.same_target(n2));
    EXPECT_FALSE(n1.same_target(file));
    // The input the file would replace, by its identity.
    struct stat st {
    };
    ASSERT_EQ(stat(x.c_str(), &st), 0);
    EXPECT_TRUE(file.replaces(st));
    EXPECT_FALSE(n1.replaces(st));
    // Standard output twice is one target; a file is not standard output.
    outfile::File out1, out2;
    ASSERT_EQ(out1.create("-"), "");
    ASSERT_EQ(out2.create("-"), "");
    EXPECT_TRUE(out1.same_target(out2));
    EXPECT_FALSE(out1.same_target(file));
    EXPECT_FALSE(out1.replaces(st));
    // The handler's table is full with four files open.
    outfile::File fifth;
    EXPECT_EQ(fifth.create(dir.path + "/fifth"), "too many output files");
    n2.discard();
    EXPECT_EQ(fifth.create(dir.path + "/fifth"), "");
}

// On the named fallback, the temporary files are hidden, short and beside
// their targets; SIGQUIT, SIGTERM and exit() remove them all, as the man
// pages say, and SIGKILL leaves them.  An unnamed file leaves nothing even
// then.
TEST_P(OutFile, SignalsAndExitRemoveTheFileAndOnlyKillLeavesANamedOne)
{
    bool unnamed = GetParam();
    if (unnamed) {
        int fd = open(dir.path.c_str(), O_TMPFILE | O_WRONLY, 0666);
        if (fd < 0)
            GTEST_SKIP() << "no unnamed files in " << dir.path;
        close(fd);
    }
    std::string path = dir.path + "/r.json";
    for (int way : {SIGQUIT, SIGTERM, SIGKILL, 0}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            // As started from a terminal: a test run in the background by a
            // script inherits SIGINT and SIGQUIT ignored, and catch_signals
            // leaves an ignored signal ignored.
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
                signal(sig, SIG_DFL);
            outfile::catch_signals(nullptr);
            // Two files at once, as memsweep-compare writes them.
            static outfile::File first, second;
            if (!first.create(path).empty() || !second.create(dir.path + "/d.tsv").empty())
                _exit(99);
            // While they are open, only named files are seen.
            bool seen = std::regex_match(listing(dir.path), std::regex(R"((\.msr\.[A-Za-z0-9]{6}\n){2})"));
            if (seen == unnamed)
                _exit(98);
            if (way != 0)
                raise(way);
            exit(1);  // as the harness does when its samples can't be allocated
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (way != 0) {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(WTERMSIG(status), way);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 1);
        }
        std::string left = listing(dir.path);
        if (way == SIGKILL && !unnamed) {
            EXPECT_TRUE(std::regex_match(left, std::regex(R"((\.msr\.[A-Za-z0-9]{6}\n){2})"))) << left;
            run_shell("rm -f " + quote(dir.path) + "/.msr.*");
        } else {
            EXPECT_EQ(left, "") << way;
        }
    }
}

}  // namespace
