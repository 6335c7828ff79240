// SPDX-License-Identifier: MIT
// memsweep_bench -- what the measurements themselves cost and deliver.
//
//  - TimedWindow: the cycles an fcyc2 sample counts for an empty function,
//    next to the cycles of a bare start/read pair, measured in the same run.
//    Their ratio is what the harness adds to the window.
//  - Kernel: the read kernel's bytes per counter cycle at three grid points,
//    counted as the table counts them, (size / stride) bytes.
//  - FullSweep: one whole run of memsweep, its wall time and its peak
//    resident memory.
//  - CounterRate: counter_mhz's time per call and its error against the
//    kernel's own figure for the counter (from dmesg, where it is readable).
//  - CheckRun: the wall time of one run of memsweep-check.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <memsweep/clock.h>
#include <memsweep/harness.h>
#include "common/stats.h"
#include "sweep/sweep.h"

namespace {

int empty(int /*param1*/, int /*param2*/)
{
    return 0;
}

// Back-to-back readings of the counter usually differ by a steady count, but
// now and then by next to nothing (the reads are not serialised and can
// overlap), so the medians are the figures to compare; the minima show the
// overlap.
void TimedWindow(benchmark::State &state)
{
    const int n = 1000;
    std::vector<double> window;
    std::vector<double> pair;
    for (auto _ : state) {
        // With k = maxsamples the harness takes all n samples.
        fcyc2_full(empty, 0, 0, 0, n, n, 0.01, 0);
        window.insert(window.end(), samples, samples + n);
        for (int i = 0; i < n; i++) {
            start_counter();
            pair.push_back(get_counter());
        }
    }
    state.counters["window_median"] = memsweep::median(window);
    state.counters["pair_median"] = memsweep::median(pair);
    state.counters["ratio"] = memsweep::median(window) / memsweep::median(pair);
    state.counters["window_min"] = *std::min_element(window.begin(), window.end());
    state.counters["pair_min"] = *std::min_element(pair.begin(), pair.end());
}
BENCHMARK(TimedWindow)->Iterations(20);

void Kernel(benchmark::State &state)
{
    int size = (int)state.range(0);
    int stride = (int)state.range(1);
    double best = 1e300;
    // The benchmark's own loop: each pass is one timed iteration, not a step
    // of a fold over a range.
    for (auto _ : state)
        // cppcheck-suppress useStlAlgorithm
        best = std::min(best, fcyc2(test, size >> 3, stride, 0));
    state.counters["cycles"] = best;
    state.counters["bytes_per_cycle"] = (double)(size / stride) / best;  // NOLINT(bugprone-integer-division): as the table counts
}
BENCHMARK(Kernel)->Args({16 << 10, 1})->Args({16 << 10, 8})->Args({128 << 20, 1})->Iterations(5);

// run_quietly runs the program at path with its standard output thrown
// away, waits for it, and returns its wait status and resource use.
int run_quietly(const char *path, struct rusage *ru)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(path, path, (char *)NULL);
        _exit(127);
    }
    int status = 0;
    wait4(pid, &status, 0, ru);
    return status;
}

void FullSweep(benchmark::State &state)
{
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        struct rusage ru;
        int status = run_quietly(MEMSWEEP_EXE, &ru);
        std::chrono::duration<double> wall = std::chrono::steady_clock::now() - t0;
        state.SetIterationTime(wall.count());
        state.counters["wall_s"] = wall.count();
        state.counters["peak_rss_MiB"] = (double)ru.ru_maxrss / 1024.0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("memsweep failed");
    }
}
BENCHMARK(FullSweep)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// kernel_counter_mhz returns the counter's rate that the kernel printed at
// boot, in MHz: the refined calibration where there is one, else the one it
// detected; 0.0 where dmesg can't be read (kernel.dmesg_restrict).
double kernel_counter_mhz()
{
    FILE *log = popen("dmesg 2>/dev/null", "r");
    if (log == nullptr)
        return 0.0;
    char line[512];
    double detected = 0.0;
    double refined = 0.0;
    while (fgets(line, sizeof line, log) != nullptr) {
        const char *at = strstr(line, "tsc: Refined TSC clocksource calibration: ");
        if (at != nullptr)
            sscanf(at + 42, "%lf", &refined);
        at = strstr(line, "tsc: Detected ");
        if (at != nullptr)
            sscanf(at + 14, "%lf MHz processor", &detected);
    }
    pclose(log);
    return refined > 0.0 ? refined : detected;
}

// The kernel prints three decimals, so errors below 0.2 ppm can't be told.
void CounterRate(benchmark::State &state)
{
    double kernel = kernel_counter_mhz();
    std::vector<double> ms;
    std::vector<double> ppm;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        double rate = counter_mhz();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (kernel > 0.0)
            ppm.push_back((rate - kernel) / kernel * 1e6);
    }
    state.counters["median_ms"] = memsweep::median(ms);
    state.counters["max_ms"] = *std::max_element(ms.begin(), ms.end());
    if (ppm.empty()) {
        state.SetLabel("no kernel figure: dmesg not readable");
        return;
    }
    std::vector<double> abs_ppm(ppm.size());
    std::transform(ppm.begin(), ppm.end(), abs_ppm.begin(), [](double e) { return std::fabs(e); });
    state.counters["kernel_mhz"] = kernel;
    state.counters["median_error_ppm"] = memsweep::median(ppm);
    state.counters["median_abs_error_ppm"] = memsweep::median(abs_ppm);
    state.counters["max_abs_error_ppm"] = *std::max_element(abs_ppm.begin(), abs_ppm.end());
}
BENCHMARK(CounterRate)->Iterations(21)->Unit(benchmark::kMillisecond);

#ifdef MEMSWEEP_CHECK_EXE
void CheckRun(benchmark::State &state)
{
    std::vector<double> wall;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        struct rusage ru;
        int status = run_quietly(MEMSWEEP_CHECK_EXE, &ru);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.SetIterationTime(wall.back());
        // 0 and 1 are both reports; anything else is a failure.
        if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
            state.SkipWithError("memsweep-check failed");
    }
    state.counters["median_wall_s"] = memsweep::median(wall);
    state.counters["max_wall_s"] = *std::max_element(wall.begin(), wall.end());
}
BENCHMARK(CheckRun)->Iterations(7)->UseManualTime()->Unit(benchmark::kSecond);
#endif

}  // namespace

int main(int argc, char **argv)
{
    init_data(data, DATA_ELEMS);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
