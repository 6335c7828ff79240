// SPDX-License-Identifier: MIT
#include "fakes/fake_run.h"

#include <signal.h>
#include <stdlib.h>

#include "sweep/sweep.h"

namespace fake_run {

std::function<double(int, int, int)> figure;
std::vector<std::pair<int, int>> calls;
double mhz;
double in_row_steps = 0.0;

void reset()
{
    calls.clear();
    mhz = 0.0;
    figure = [](int size, int stride, int) {
        int label = 0;
        while ((1 << (label + 13)) < size)
            label++;
        return 1000.0 * (30 - label - stride);
    };
}

}  // namespace fake_run

using namespace fake_run;

alignas(2097152) int64_t data[DATA_ELEMS];  // as memsweep's own: on a huge page boundary

void init_data(int64_t *a, int n)
{
    for (int i = 0; i < n; i++)
        a[i] = i;
}

double run_in_row_steps(void)
{
    return fake_run::in_row_steps;
}

double run(int size, int stride, double clock_mhz)
{
    static int stops = -1, stop_signal = SIGINT;
    if (stops == -1) {
        const char *after = getenv("MEMSWEEP_FAKE_STOP_AFTER");
        const char *sig = getenv("MEMSWEEP_FAKE_STOP_SIGNAL");
        stops = after != nullptr ? atoi(after) : 0;
        if (sig != nullptr)
            stop_signal = atoi(sig);
        if (!figure)
            reset();
    }
    if (stops > 0 && (int)calls.size() >= stops)
        raise(stop_signal); /* as Ctrl-C would: the command's own handler runs */
    mhz = clock_mhz;
    calls.emplace_back(size, stride);
    return figure(size, stride, (int)calls.size() - 1);
}
