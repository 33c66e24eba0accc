// Cost of the USB emulation the simulated camera runs on: control round trips and bulk
// throughput through raw libusb.
//   in-process:        bench_sim
//   across processes:  vexel-sim --pacing fast --rate-cap 0 --instant --camera --pacing fast --instant -- bench_sim
// Camera 1 streams as fast as it is reaped; camera 2 is capped like a USB 2.0 link. Both answer
// commands at once, so the emulation's own cost is what is measured.
#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "sim/sim.hpp"

namespace {

libusb_context* g_ctx = nullptr;
libusb_device_handle* g_h = nullptr;
libusb_device_handle* g_fast = nullptr;
libusb_device_handle* g_capped = nullptr;

libusb_device_handle* open_port(uint8_t port) {
    libusb_device** list;
    libusb_device_handle* h = nullptr;
    const ssize_t n = libusb_get_device_list(g_ctx, &list);
    for (ssize_t i = 0; i < n; ++i)
        if (libusb_get_port_number(list[i]) == port && libusb_open(list[i], &h) == 0) break;
    libusb_free_device_list(list, 1);
    if (h && libusb_claim_interface(h, 0) != 0) {
        libusb_close(h);
        h = nullptr;
    }
    return h;
}

bool command(uint8_t type, uint16_t value, void* data, uint16_t len) {
    if (libusb_control_transfer(g_h, 0x22, type, value, 0, static_cast<unsigned char*>(data), len, 1000) != len)
        return false;
    unsigned char st[63];
    return libusb_control_transfer(g_h, 0xA2, 0xB0, 0, 0, st, 63, 1000) == 63 && st[0] == 0;
}

// The 16 x 153600-byte ring the transport keeps on the bulk endpoint.
struct Ring {
    std::vector<std::vector<uint8_t>> bufs;
    std::vector<libusb_transfer*> xfers;
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> live{0};
    std::atomic<bool> stop{false};

    static void done(libusb_transfer* t) {
        auto* r = static_cast<Ring*>(t->user_data);
        if (t->status == LIBUSB_TRANSFER_COMPLETED) r->bytes += uint64_t(t->actual_length);
        if (r->stop || libusb_submit_transfer(t) != 0) --r->live;
    }
    void start() {
        bufs.assign(16, std::vector<uint8_t>(153600));
        for (auto& b : bufs) {
            libusb_transfer* t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(t, g_h, 0x81, b.data(), int(b.size()), done, this, 6000);
            xfers.push_back(t);
            if (libusb_submit_transfer(t) == 0) ++live;
        }
        uint32_t arg = 0;
        command(0xC2, 4, &arg, 4);
    }
    void finish() {
        stop = true;
        for (auto* t : xfers) libusb_cancel_transfer(t);
        while (live > 0) libusb_handle_events(g_ctx);
        uint8_t b = 0xC2;
        command(0xC2, 5, &b, 1);
        for (auto* t : xfers) libusb_free_transfer(t);
    }
};

void BM_ControlRoundTrip(benchmark::State& state) {
    unsigned char st[63];
    for (auto _ : state) {
        if (libusb_control_transfer(g_h, 0xA2, 0xB0, 0, 0, st, 63, 1000) != 63) state.SkipWithError("status query");
    }
}
BENCHMARK(BM_ControlRoundTrip)->UseRealTime();

// One parameter read as the host makes it: write phase, status, read phase, status.
void BM_ParamGet(benchmark::State& state) {
    unsigned char rec[20];
    for (auto _ : state) {
        std::memset(rec, 0, sizeof rec);  // the write phase carries the id alone
        rec[0] = 12;
        if (!command(0xC0, 4, rec, 20) || libusb_control_transfer(g_h, 0xA2, 0xC0, 4, 0, rec, 20, 1000) != 20)
            state.SkipWithError("param get");
    }
}
BENCHMARK(BM_ParamGet)->UseRealTime();

void BM_BulkThroughput(benchmark::State& state) {
    g_h = state.range(0) ? g_capped : g_fast;
    Ring ring;
    ring.start();
    for (auto _ : state) {
        const uint64_t until = ring.bytes + 16 * 153600;
        while (ring.bytes < until) libusb_handle_events(g_ctx);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 16 * 153600);
    ring.finish();
}
BENCHMARK(BM_BulkThroughput)->ArgName("capped")->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// A status query while the ring streams: control transfers must not queue behind bulk data.
void BM_ControlWhileStreaming(benchmark::State& state) {
    g_h = state.range(0) ? g_capped : g_fast;
    Ring ring;
    ring.start();
    std::thread events([&] {
        while (!ring.stop) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout(g_ctx, &tv);
        }
    });
    unsigned char st[63];
    for (auto _ : state) {
        if (libusb_control_transfer(g_h, 0xA2, 0xB0, 0, 0, st, 63, 1000) != 63) state.SkipWithError("status query");
    }
    ring.stop = true;
    events.join();
    ring.finish();
    g_h = g_fast;
}
BENCHMARK(BM_ControlWhileStreaming)->ArgName("capped")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Under the launcher the cameras live in the launcher's process; otherwise make our own.
    const bool external = std::getenv("VXSIM_CAMERAS") != nullptr;
    if (!external) vxsim::ensure_preload(argc, argv);
    std::unique_ptr<vxsim::Testbed> tb;
    if (!external) {
        tb = std::make_unique<vxsim::Testbed>();
        vxsim::CameraOptions o;
        o.pacing = vxsim::Pacing::fast;
        o.timing = vxsim::Timing::instant();
        o.rate_cap_mbps = 0;
        tb->add_camera(o);
        o.rate_cap_mbps = 40;
        tb->add_camera(o);
    }
    benchmark::Initialize(&argc, argv);
    libusb_init(&g_ctx);
    g_h = g_fast = open_port(1);
    g_capped = open_port(2);
    if (!g_fast || !g_capped) {
        std::fprintf(stderr, "bench_sim wants two simulated cameras on ports 1 and 2\n");
        return 1;
    }
    benchmark::AddCustomContext("emulation", external ? "across processes (vexel-sim)" : "in-process");
    benchmark::RunSpecifiedBenchmarks();
    for (auto* h : {g_fast, g_capped}) {
        libusb_release_interface(h, 0);
        libusb_close(h);
    }
    libusb_exit(g_ctx);
    benchmark::Shutdown();
    return 0;
}
