// Control round trips and bulk throughput through the USB transport, against the simulated
// camera with the real libusb. The plain libusb control transfer on the same handle is the
// baseline for what the transport adds.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <benchmark/benchmark.h>

#include <vexel/log.h>
#include <vexel/transport.h>
#include "sim/sim.hpp"
#include "transport/usb_priv.hpp"

namespace {

vexel_ll_dev g_dev;
vxsim::Camera* g_cam = nullptr;

void BM_StatusQueryLibusbSync(benchmark::State& state) {
    auto* p = vx::usb::priv_of(&g_dev);
    uint8_t reply[63];
    for (auto _ : state) {
        const int r = libusb_control_transfer(p->handle, 0xA2, 0xB0, 0, 0, reply, sizeof reply, 1000);
        if (r != sizeof reply) state.SkipWithError("status query failed");
    }
}
BENCHMARK(BM_StatusQueryLibusbSync)->UseRealTime();

void BM_StatusQuery(benchmark::State& state) {
    uint8_t reply[63];
    for (auto _ : state)
        if (!vexel_ll_exe_cmd(&g_dev, 0, 0xB0, 0, reply, sizeof reply, 1000))
            state.SkipWithError("status query failed");
}
BENCHMARK(BM_StatusQuery)->UseRealTime();

// A changing command: the command and its status query.
void BM_ParamSetChecked(benchmark::State& state) {
    vexel_ll_param_rec rec{13, 2, {0xF4, 0x01}};
    for (auto _ : state)
        if (!vexel_ll_param_set(&g_dev, &rec, 1)) state.SkipWithError("param_set failed");
}
BENCHMARK(BM_ParamSetChecked)->UseRealTime();

// Sixteen registers: header, status, values, status.
void BM_RegRead16(benchmark::State& state) {
    uint32_t vals[16];
    for (auto _ : state)
        if (!vexel_ll_reg_read(&g_dev, 2, 0, vals, 16)) state.SkipWithError("reg_read failed");
}
BENCHMARK(BM_RegRead16)->UseRealTime();

struct Sink {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t bytes = 0;
    bool copy = false;
    uint8_t scratch[vx::usb::kBulkXferSize];
};

int on_data(vexel_ll_dev*, int code, uint8_t* data, int len, void* user) {
    auto* s = static_cast<Sink*>(user);
    if (code == 0 && s->copy) std::memcpy(s->scratch, data, static_cast<size_t>(len));
    {
        std::lock_guard lk(s->mu);
        if (code == 0) s->bytes += static_cast<uint64_t>(len);
    }
    s->cv.notify_all();
    return 0;
}

// Bytes per second delivered to the capture callback; one iteration is one ring's worth.
// Arg 1 copies every transfer out of its buffer, as the stream parser does.
void BM_BulkStream(benchmark::State& state) {
    static Sink sink;
    sink.copy = state.range(0) != 0;
    {
        std::lock_guard lk(sink.mu);
        sink.bytes = 0;
    }
    if (!vexel_ll_cap_start(&g_dev, 0, on_data, &sink)) {
        state.SkipWithError("cap_start failed");
        return;
    }
    const uint64_t per_iter = uint64_t(vx::usb::kBulkXferNum) * vx::usb::kBulkXferSize;
    uint64_t target = 0;
    for (auto _ : state) {
        target += per_iter;
        std::unique_lock lk(sink.mu);
        if (!sink.cv.wait_for(lk, std::chrono::seconds(5), [&] { return sink.bytes >= target; })) {
            state.SkipWithError("stream stalled");
            break;
        }
    }
    vexel_ll_cap_stop(&g_dev);
    state.SetBytesProcessed(static_cast<int64_t>(target));
    // The next run must not find transfers of this one still draining.
    auto* p = vx::usb::priv_of(&g_dev);
    std::unique_lock lk(p->xfer_mu);
    p->idle_cv.wait_for(lk, std::chrono::seconds(2), [p] {
        for (auto& f : p->in_flight)
            if (f.load()) return false;
        return true;
    });
}
BENCHMARK(BM_BulkStream)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    benchmark::Initialize(&argc, argv);
    vx_log_enable(VX_LOG_CONSOLE, 4, nullptr);

    int rc = 0;
    {
        vxsim::Testbed tb;
        vxsim::CameraOptions opt;
        opt.pacing = vxsim::Pacing::fast;
        opt.rate_cap_mbps = 0;                   // the transport's own ceiling, not the link's
        opt.timing = vxsim::Timing::instant();  // and its own command cost
        g_cam = &tb.add_camera(opt);
        if (vexel_ll_dev_open(&g_dev) != &g_dev) {
            std::fprintf(stderr, "no simulated camera\n");
            return 1;
        }
        benchmark::RunSpecifiedBenchmarks();
        vexel_ll_dev_close(&g_dev);
    }
    benchmark::Shutdown();
    return rc;
}
