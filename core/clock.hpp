// The library time source: wall-clock seconds and microseconds at millisecond resolution.
#pragma once

#include <cstdint>

namespace vx {

struct Timestamp {
    int64_t sec;
    uint32_t usec;  // milliseconds * 1000
};

Timestamp now();

// Milliseconds from a to b (b later), as the log's "spends: %d.%03u ms" shows them.
int64_t elapsed_ms(const Timestamp& a, const Timestamp& b);

// Monotonic milliseconds, for deadlines that must not jump with the wall clock.
int64_t monotonic_ms();

void sleep_ms(unsigned ms);

}  // namespace vx
