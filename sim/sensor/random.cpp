#include "sim/sensor/random.hpp"

namespace vxsim {

const std::array<float, 4096>& gauss_table() {
    static const std::array<float, 4096> t = [] {
        std::array<float, 4096> a{};
        for (size_t i = 0; i < a.size(); ++i) {
            const double p = (double(i) + 0.5) / double(a.size());
            double lo = -9, hi = 9;
            for (int it = 0; it < 60; ++it) {
                const double mid = 0.5 * (lo + hi);
                (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p ? lo : hi) = mid;
            }
            a[i] = static_cast<float>(0.5 * (lo + hi));
        }
        return a;
    }();
    return t;
}

}  // namespace vxsim
