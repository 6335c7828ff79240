// SPDX-License-Identifier: MIT
/*
 * tick_calibration.h -- private to the timing library; not installed.
 *
 * The compensated counters charge a number of cycles for every clock tick of
 * user CPU time that passes while they measure.  This file finds that number,
 * once for each timer that needs it.  Each unit that includes it gets its own
 * copy of these static functions and keeps its own result.
 */
#ifndef MEMSWEEP_TICK_CALIBRATION_H
#define MEMSWEEP_TICK_CALIBRATION_H

#include <stdint.h>
#include <sys/times.h>

/* user_ticks returns the process's user CPU time in clock ticks. */
static inline uint64_t user_ticks(void)
{
    struct tms t;
    times(&t);
    return (uint64_t)t.tms_utime;
}

/*
 * calibrate_ticks spins on a timer (start, then fresh readings of get) and
 * looks at the tick count whenever at least 1000 cycles have passed since the
 * last look.  Each time the tick count has moved, the cycles of the last
 * stretch divided by the ticks moved is a candidate; *cyc_per_tick keeps the
 * smallest candidate strictly above 3000 cycles per tick.  It stops once the
 * tick count has been seen to move 100 times.  A calibration that finds no
 * candidate leaves *cyc_per_tick at 0.0.
 */
static inline void calibrate_ticks(double *cyc_per_tick, void (*start)(void), double (*get)(void))
{
    const int events_wanted = 100;        /* tick movements to watch */
    const double min_stretch = 1000.0;    /* cycles between looks at the tick count */
    const double min_ratio = 3000.0;      /* candidates must be strictly above this */

    uint64_t oldc = user_ticks();
    start();
    double oldt = get();
    int events = 0;
    while (events < events_wanted) {
        double newt = get();
        if (newt - oldt >= min_stretch) {
            uint64_t newc = user_ticks();
            if (newc > oldc) {
                double cpt = (newt - oldt) / (double)(newc - oldc);
                if (cpt > min_ratio && (*cyc_per_tick == 0.0 || *cyc_per_tick > cpt))
                    *cyc_per_tick = cpt;
                events++;
                oldc = newc;
            }
            oldt = newt;
        }
    }
}

#endif /* MEMSWEEP_TICK_CALIBRATION_H */
