// SPDX-License-Identifier: MIT
// memsweep-record beside the services a fleet runs it with, started here on
// this machine alone: node_exporter's textfile collector scraping its
// metrics over 127.0.0.1.  Where the service is not installed the test is
// skipped with one line, except under CI (CI set), which installs it
// through scripts/setup, where a skip would hide a missing install.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools.h"

extern char **environ;

namespace {

// unavailable skips the test with why, or fails it under CI.
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
        if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
            pid = -1;
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

}  // namespace
