// Feeds arbitrary bytes to the stream parser in arbitrary pieces, with fetches, resets and
// failing allocations interleaved, and checks the parser's invariants after every step.
//
// Input: byte 0 max_frames (mod 16), bytes 1..4 the seed that picks piece sizes and actions,
// the rest is the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <vexel/log.h>
#include "capture/stream.hpp"

namespace {

uint32_t g_rng;
uint32_t next() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 17;
    g_rng ^= g_rng << 5;
    return g_rng;
}

bool g_fail_alloc;
// Real frames are 614400 bytes; refusing much larger ones keeps a run fast and still takes
// the allocation failure path.
void* fuzz_alloc(std::size_t n) {
    return g_fail_alloc || n > (std::size_t{8} << 20) ? nullptr : std::malloc(n);
}

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                   \
        }                                                                   \
    } while (0)

struct Harness {
    vx_stream* s;
    uint32_t max_frames;
    uint32_t fetched = 0;  // since the last reset

    void check() {
        vx_stream_state st;
        CHECK(vx_stream_get_state(s, &st) == 1);
        CHECK(st.frames_ready <= max_frames);
        CHECK(vx_stream_fetch_frames(s, nullptr, 0, ~0u, nullptr, 1) == st.frames_ready);
        CHECK(st.frames_moved == fetched + st.frames_dropped + st.frames_ready);
        CHECK(st.reserved0 == 0 && st.reserved1 == 0);
    }

    // Peeks the oldest frame twice over different fill patterns: exactly its declared length
    // is written both times, and removing it yields the same bytes.
    void fetch_one() {
        vx_stream_frame_info info{};
        uint8_t probe;
        if (vx_stream_fetch_frames(s, &probe, 0, 1, &info, 1) != 1) return;
        CHECK(info.frlen > 0 && info.frlen < 0x8000000);
        const std::size_t n = info.frlen, pad = 16;
        std::vector<uint8_t> a(n + pad, 0x00), b(n + pad, 0xFF);
        CHECK(vx_stream_fetch_frames(s, a.data(), uint32_t(a.size()), 1, nullptr, 1) == 1);
        CHECK(vx_stream_fetch_frames(s, b.data(), uint32_t(b.size()), 1, nullptr, 1) == 1);
        CHECK(std::memcmp(a.data(), b.data(), n) == 0);
        for (std::size_t i = n; i < n + pad; ++i) CHECK(a[i] == 0x00 && b[i] == 0xFF);
        vx_stream_frame_info again{};
        std::vector<uint8_t> c(n);
        CHECK(vx_stream_fetch_frames(s, c.data(), uint32_t(n), 1, &again, 0) == 1);
        CHECK(std::memcmp(&again, &info, sizeof info) == 0);
        CHECK(std::memcmp(c.data(), a.data(), n) == 0);
        ++fetched;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Silence: the messages' arguments are checked against their formats at compile time.
    vx_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const vx_stream_cfg cfg{data[0] % 16u};
    std::memcpy(&g_rng, data + 1, 4);
    g_rng |= 1;
    data += 5;
    size -= 5;

    Harness h{vx_stream_create(&cfg), cfg.max_frames};
    CHECK(h.s != nullptr);
    static_cast<vx::StreamParser*>(h.s)->set_node_alloc(fuzz_alloc);
    static constexpr uint32_t kPieceCap[] = {1, 3, 36, 37, 512, 4096, 1u << 20};
    const uint32_t cap = kPieceCap[next() % 7];
    while (size > 0) {
        const uint32_t action = next() % 64;
        g_fail_alloc = action == 0;
        if (action == 1) {
            vx_stream_reset(h.s);
            h.fetched = 0;
        } else if (action < 12) {
            h.fetch_one();
        } else {
            const std::size_t n = std::min<std::size_t>(size, next() % cap + 1);
            const int ready = vx_stream_feed_input(h.s, data, uint32_t(n));
            vx_stream_state st;
            vx_stream_get_state(h.s, &st);
            CHECK(ready == (st.frames_ready > 0));
            data += n;
            size -= n;
        }
        h.check();
    }
    while (vx_stream_fetch_frames(h.s, nullptr, 0, 1, nullptr, 1) == 1) {
        h.fetch_one();
        h.check();
    }
    vx_stream_destroy(h.s);
    return 0;
}
