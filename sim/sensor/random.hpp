// The simulated camera's random numbers: seeded, reproducible, and cheap enough per sample.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace vxsim {

inline uint64_t splitmix64(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline double uniform(uint64_t& s) {
    return double(splitmix64(s) >> 11) * 0x1.0p-53;
}

inline double gaussian(uint64_t& s) {
    const double u = std::max(uniform(s), 1e-300), v = uniform(s);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
}

// Quantiles of the standard normal at (i + 0.5) / 4096: a 12-bit index is one Gaussian draw.
const std::array<float, 4096>& gauss_table();

}  // namespace vxsim
