// SPDX-License-Identifier: MIT
/*
 * random.h -- memsweep-record's random numbers: a generator of its own and
 * the shuffle that orders each pass.  Private to memsweep-record.
 */
#ifndef MEMSWEEP_RECORD_RANDOM_H
#define MEMSWEEP_RECORD_RANDOM_H

#include <stdint.h>

#include <vector>

namespace memsweep {

/* A small random number generator of this program's own, so that a seed
 * gives the same order on every machine and with every C++ library. */
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    /* next returns the next 64 random bits. */
    uint64_t next();
    /* below returns a number from 0 to n - 1, each as likely; n >= 1. */
    uint64_t below(uint64_t n);

private:
    uint64_t state_;
};

/* shuffled returns 0 .. n - 1 in a random order drawn from random. */
std::vector<int> shuffled(int n, Random &random);

}  // namespace memsweep

#endif /* MEMSWEEP_RECORD_RANDOM_H */
