// Internals of the data transfers: the transfer bodies behind the public entry points, and the
// two waits that tests shorten.
#pragma once

#include <cstdint>

#include <vexel/datax_protocol.h>

namespace vx::datax {

inline constexpr uint32_t kNothingStored = 0xFFFFFFFF;

struct Progress {
    vexel_datax_progress_cb cb = nullptr;
    void* user = nullptr;
    // True when the caller asks to cancel.
    bool report(uint32_t done, uint32_t total, int stage) const { return cb && cb(done, total, stage, user) != 0; }
};

int write_image(vexel_ll_dev* ll, uint8_t type, uint16_t version, const char* path, const Progress& progress);
int read_image(vexel_ll_dev* ll, uint8_t type, const char* path, const Progress& progress);

// The board's restart wait after a write (20000 / 7000 ms). Null restores the real sleep;
// returns the previous function.
using WaitFn = void (*)(unsigned ms);
WaitFn set_board_wait(WaitFn fn);

// How long a write waits for the camera's flash erase in total; returns the previous limit.
inline constexpr unsigned kEraseLimitMs = 120000;
unsigned set_erase_limit_ms(unsigned ms);

}  // namespace vx::datax
