// SPDX-License-Identifier: MIT
/*
 * memory.h -- how much memory a session's buffers may take, and how large
 * their working sets go: one rule for the latency, the bandwidth plane and
 * the loaded latency alike.  Private to this project; not installed.
 */
#ifndef MEMSWEEP_COMMON_MEMORY_H
#define MEMSWEEP_COMMON_MEMORY_H

#include <stdint.h>

namespace memsweep {

/* memsweep's smallest and largest working sets, 16 KiB and its 128 MiB
 * array, and the largest any measurement goes to: a few times any cache of
 * today, and a buffer that most machines spare for a minute. */
const uint64_t smallest_set = uint64_t(16) << 10;
const uint64_t array_bytes = uint64_t(128) << 20;
const uint64_t largest_set = uint64_t(1) << 30;

/* memory_room returns the bytes that a session's buffers may take
 * together, of available_mib MiB free (MemAvailable, read before memsweep's
 * array is resident): half of it, and no more than what the array leaves,
 * so that no buffer measures the paging or pushes the array out; 0 at
 * least.  Negative when the free memory is unknown (negative). */
double memory_room(double available_mib);

/* largest_set_for returns the largest working set of a measurement that
 * shares the largest cache (cache_bytes; 0 unknown) and the room (bytes;
 * negative unknown) with others as its share gives: the largest power of
 * two within four times the cache (which then holds a quarter of it at
 * most) and largest_set, but memsweep's 128 MiB at least; halved to fit
 * the room, down to 16 KiB; 128 MiB at most where the room is unknown. */
uint64_t largest_set_for(uint64_t cache_bytes, double room);

}  // namespace memsweep

#endif /* MEMSWEEP_COMMON_MEMORY_H */
