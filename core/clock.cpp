#include "core/clock.hpp"

#include <chrono>
#include <thread>

namespace vx {

Timestamp now() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return Timestamp{ms / 1000, static_cast<uint32_t>(ms % 1000) * 1000u};
}

int64_t elapsed_ms(const Timestamp& a, const Timestamp& b) {
    return (b.sec - a.sec) * 1000 + (static_cast<int64_t>(b.usec) - static_cast<int64_t>(a.usec)) / 1000;
}

int64_t monotonic_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace vx
