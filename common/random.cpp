// SPDX-License-Identifier: MIT
/*
 * random.cpp -- the generator and the shuffle.
 */
#include "common/random.h"

#include <utility>

namespace memsweep {

/* A 64-bit counter passed through a mixing function: every seed, 0
 * included, starts a stream of well-spread numbers. */
uint64_t Random::next()
{
    uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

/* Numbers below the largest multiple of n that fits are taken; the few
 * above it are drawn again, so that no remainder is favoured. */
uint64_t Random::below(uint64_t n)
{
    uint64_t threshold = (0 - n) % n; /* 2^64 mod n */
    for (;;) {
        uint64_t r = next();
        if (r >= threshold)
            return r % n;
    }
}

/* Fisher and Yates' shuffle: each of the n! orders is as likely. */
std::vector<int> shuffled(int n, Random &random)
{
    std::vector<int> order(n > 0 ? n : 0);
    for (int i = 0; i < n; i++)
        order[i] = i;
    for (int i = n - 1; i > 0; i--)
        std::swap(order[i], order[random.below((uint64_t)i + 1)]);
    return order;
}

}  // namespace memsweep
