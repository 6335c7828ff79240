// SPDX-License-Identifier: MIT
// memsweep-record beside the services a fleet runs it with, started here on
// this machine alone: node_exporter's textfile collector scraping its
// metrics over 127.0.0.1, and a single-node Slurm (munged, slurmctld and
// slurmd on 127.0.0.1, a minimal configuration in a scratch folder)
// running a fleet session as the README shows it.  Where a service is not
// installed the test is skipped with one line, except under CI (CI set),
// which installs it through scripts/setup: there a skip would hide a
// missing install.  Where it is installed but this machine can't run it
// (slurmd wants a cgroup filesystem, which a chroot has none of), the test
// is skipped with the service's own words, under CI too: that is the
// machine, not a fault.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools.h"

extern char **environ;

namespace {

// UNAVAILABLE skips the test with why, or fails it under CI: the service
// is not installed.
#define UNAVAILABLE(why)                                                        \
    do {                                                                        \
        if (getenv("CI") != nullptr)                                            \
            FAIL() << (why) << ", which CI installs (scripts/setup)";           \
        GTEST_SKIP() << (why);                                                  \
    } while (0)

// free_port asks the system for a port of 127.0.0.1 that is free now.
int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// get fetches a path from 127.0.0.1:port over HTTP/1.0; "" where it can't.
std::string get(int port, const std::string &path)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        std::string ask = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(s, ask.data(), ask.size()) == (ssize_t)ask.size()) {
            char buf[65536];
            ssize_t got;
            while ((got = read(s, buf, sizeof buf)) > 0)
                reply.append(buf, (size_t)got);
        }
    }
    close(s);
    return reply;
}

// A service started for one test, stopped when it goes.
struct Service {
    pid_t pid = -1;
    explicit Service(const std::vector<std::string> &argv)
    {
        std::vector<char *> args(argv.size() + 1, nullptr);
        std::transform(argv.begin(), argv.end(), args.begin(),
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        /* Its output goes to its log files, not the test's. */
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&quiet);
    }
    ~Service()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
};

const char node_exporter[] = "/usr/bin/prometheus-node-exporter";

TEST(Services, NodeExportersTextfileCollectorServesTheRecordsMetrics)
{
    if (access(node_exporter, X_OK) != 0)
        UNAVAILABLE("prometheus-node-exporter is not installed");
    TempFolder dir;
    ASSERT_FALSE(dir.path.empty());
    Outcome o = run_shell(quote(MEMSWEEP_RECORD_SCRIPTED_EXE) +
                          " --passes 1 --threads 1 --plane-upto 64K --no-loaded-latency --quiet --metrics " +
                          quote(dir.path + "/memsweep.prom"));
    ASSERT_EQ(o.status, 0) << o.err;
    int port = free_port();
    ASSERT_GT(port, 0);
    Service exporter({node_exporter, "--web.listen-address=127.0.0.1:" + std::to_string(port),
                      "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + dir.path});
    ASSERT_GT(exporter.pid, 0);
    std::string page;
    for (int i = 0; i < 100 && page.find("\r\n\r\n") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        page = get(port, "/metrics");
    }
    ASSERT_NE(page.find("200 OK"), std::string::npos) << page.substr(0, 300);
    // The file was read whole, without an error of its own.
    EXPECT_NE(page.find("node_textfile_scrape_error 0"), std::string::npos) << page.substr(0, 2000);
    for (const char *series : {"memsweep_info{", "memsweep_bandwidth_bytes_per_second{",
                               "memsweep_memory_read_bytes_per_second{", "memsweep_latency_seconds{",
                               "memsweep_record_end_timestamp_seconds{"})
        EXPECT_NE(page.find(series), std::string::npos) << series;
    EXPECT_NE(page.find("kernel=\"vector-read\""), std::string::npos);
    EXPECT_NE(page.find("level=\"memory\""), std::string::npos);
}

// A scratch Slurm of one node: its own munge key and socket, ports, state
// and logs, every daemon in the foreground and stopped with the test.
struct Cluster {
    TempFolder dir;
    std::string conf, node, why;
    std::vector<std::unique_ptr<Service>> daemons;

    Cluster()
    {
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        node = std::string(host).substr(0, std::string(host).find('.'));
        const std::string &d = dir.path;
        for (const char *sub : {"/state", "/spool", "/log"})
            std::filesystem::create_directories(d + sub);
        std::string key(1024, '\0');
        std::ifstream("/dev/urandom", std::ios::binary).read(&key[0], (std::streamsize)key.size());
        dir.put("/munge.key", key);
        std::filesystem::permissions(d + "/munge.key", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write);
        std::string user = getenv("USER") != nullptr ? getenv("USER") : "root";
        if (getuid() == 0)
            user = "root";
        conf = d + "/slurm.conf";
        dir.put("/slurm.conf", "ClusterName=memsweep\nSlurmctldHost=" + node + "(127.0.0.1)\n" +
                                   "SlurmctldPort=" + std::to_string(free_port()) + "\n" +
                                   "SlurmdPort=" + std::to_string(free_port()) + "\n" +
                                   "AuthType=auth/munge\nCredType=cred/munge\nAuthInfo=socket=" + d +
                                   "/munge.sock\nSlurmUser=" + user + "\nSlurmdUser=" + user +
                                   "\nStateSaveLocation=" + d + "/state\nSlurmdSpoolDir=" + d +
                                   "/spool\nSlurmctldPidFile=" + d + "/slurmctld.pid\nSlurmdPidFile=" + d +
                                   "/slurmd.pid\nSlurmctldLogFile=" + d + "/log/slurmctld.log\nSlurmdLogFile=" + d +
                                   "/log/slurmd.log\nProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
                                   "SelectType=select/linear\nMpiDefault=none\nJobCompType=jobcomp/none\n"
                                   "AccountingStorageType=accounting_storage/none\nSwitchType=switch/none\n"
                                   "ReturnToService=2\nNodeName=" + node + " NodeAddr=127.0.0.1 CPUs=" +
                                   std::to_string(std::thread::hardware_concurrency()) +
                                   " State=UNKNOWN\nPartitionName=test Nodes=" + node +
                                   " Default=YES MaxTime=INFINITE State=UP\n");
        daemons.push_back(std::make_unique<Service>(std::vector<std::string>{
            "/usr/sbin/munged", "-F", "-f", "--socket=" + d + "/munge.sock", "--key-file=" + d + "/munge.key",
            "--log-file=" + d + "/log/munged.log", "--pid-file=" + d + "/munged.pid",
            "--seed-file=" + d + "/munged.seed"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        daemons.push_back(std::make_unique<Service>(std::vector<std::string>{"/usr/sbin/slurmctld", "-D", "-f", conf}));
        daemons.push_back(
            std::make_unique<Service>(std::vector<std::string>{"/usr/sbin/slurmd", "-D", "-f", conf, "-N", node}));
        for (int i = 0; i < 60; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (run_shell(env() + "sinfo -h -o %t").out.find("idle") != std::string::npos)
                return;
        }
        why = "slurmctld and slurmd did not come up here: " +
              run_shell("tail -n 3 " + quote(d + "/log/slurmctld.log") + " " + quote(d + "/log/slurmd.log")).out;
    }
    std::string env() const { return "SLURM_CONF=" + quote(conf) + " "; }
};

TEST(Services, AFleetSessionRunsOnSlurmAndItsVerdictAndDrainListFollow)
{
    for (const char *tool : {"/usr/sbin/munged", "/usr/sbin/slurmctld", "/usr/sbin/slurmd", "/usr/bin/srun"})
        if (access(tool, X_OK) != 0)
            UNAVAILABLE(std::string(tool) + " is not installed");
    Cluster c;
    if (!c.why.empty())
        GTEST_SKIP() << c.why;
    std::string records = c.dir.path + "/records";
    std::filesystem::create_directories(records);
    // The README's session, short: one pass, the plane small.
    Outcome o = run_shell(c.env() + "timeout 300 srun --nodes=1 --ntasks-per-node=1 --exclusive sh -c " +
                          quote(quote(MEMSWEEP_RECORD_EXE) +
                                " --passes 1 --threads 1 --plane-upto 64K --no-latency --no-loaded-latency --quiet -o " +
                                quote(records) + "/$(hostname).json"));
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    // One record, named by the node that ran it.
    ASSERT_FALSE(std::filesystem::is_empty(records));
    std::string drain = c.dir.path + "/slow.txt";
    o = run_shell(quote(MEMSWEEP_COMPARE_EXE) + " --fleet --drain " + quote(drain) + " " + quote(records));
    EXPECT_EQ(o.status, 0) << o.err;  // one host: its kind is too small to judge
    EXPECT_NE(o.out.find(" unknown: 1 host of this kind, fewer than 5"), std::string::npos) << o.out << o.err;
    EXPECT_EQ(slurp(drain), "\n");
}

}  // namespace
