// Capture control and frame delivery against the simulated camera.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/vexel.h>

#include "capture/stream_gen.hpp"
#include "core/device.hpp"
#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

using namespace std::chrono_literals;
using vxtest::console_of;
using vxtest::contains;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFrame = vxsim::kFrameBytes;

template <class Pred>
bool wait_for(Pred&& pred, std::chrono::milliseconds timeout = 5s) {
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The frame number the simulated camera rendered into a delivered frame.
uint32_t frame_number(const uint8_t* frame) {
    uint16_t s0;
    std::memcpy(&s0, frame, 2);  // plane 0, row 0, col 0 = frame & 0xFFF
    return s0;
}

bool is_pattern_frame(const uint8_t* frame, uint32_t n) {
    for (unsigned plane = 0; plane < vxsim::kPlanes; ++plane)
        for (unsigned row = 0; row < vxsim::kHeight; row += 37)
            for (unsigned col = 0; col < vxsim::kWidth; col += 13) {
                uint16_t s;
                std::memcpy(&s, frame + 2 * ((plane * vxsim::kHeight + row) * vxsim::kWidth + col), 2);
                if (s != vxsim::pattern_sample(n, plane, row, col)) return false;
            }
    return true;
}

struct Delivered {
    std::atomic<int> frames{0};
    std::atomic<int> last_idx{-1};
    std::atomic<int> errors{0};
    std::atomic<int> last_code{0};
    std::atomic<uint32_t> last_arg{0};
    std::atomic<bool> keep_going{true};
};
Delivered* g_seen = nullptr;

void on_frame(vexel_dev*, vexel_frame* f) {
    g_seen->frames++;
    g_seen->last_idx = f->info.frame_idx;
}
int on_error(vexel_dev*, int code, uint32_t arg) {
    g_seen->errors++;
    g_seen->last_code = code;
    g_seen->last_arg = arg;
    return g_seen->keep_going ? 1 : 0;
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx_log_disable();
        vx_log_enable(VX_LOG_CONSOLE, 5, nullptr);
        g_seen = &seen_;
    }
    void TearDown() override {
        if (dev_.handle) vexel_dev_close(&dev_);
        g_seen = nullptr;
    }
    vxsim::Camera& open(vxsim::CameraOptions o = {}) {
        if (o.product == vxsim::CameraOptions{}.product) o.product = "A-T0-1";
        vxsim::Camera& cam = tb_.add_camera(o);
        EXPECT_EQ(vexel_dev_open(&dev_), &dev_);
        return cam;
    }
    vexel_dev_handle* h() { return dev_.handle; }

    vxsim::Testbed tb_;
    vexel_dev dev_{};
    Delivered seen_;
};

TEST_F(CaptureTest, FramesArriveInOrderWithTheirInformation) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    o.sensor_temp = 417;
    o.illum_temp = -52;
    o.measurement.effects.warmup = false;  // the header carries the temperatures set here
    open(o);
    // Host time and temperatures beside the information: none before a frame was delivered.
    vexel_frame_meta meta{1, 1, 1, 1};
    EXPECT_EQ(vexel_cap_get_frame_meta(&dev_, &meta), 0);
    EXPECT_EQ(meta.host_time_ns, 0);
    EXPECT_EQ(vexel_cap_get_frame_meta(&dev_, nullptr), 0);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 1);
    std::vector<uint8_t> buf(kFrame);
    int prev = -1;
    int64_t last_ns = 0;
    for (int i = 0; i < 20; ++i) {
        vexel_frame_info info{};
        const auto before = std::chrono::system_clock::now();
        ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, &info), 1);
        const auto after = std::chrono::system_clock::now();
        ASSERT_EQ(vexel_cap_get_frame_meta(&dev_, &meta), 1);
        EXPECT_EQ(meta.sensor_temp, 417);
        EXPECT_EQ(meta.illum_temp, -52);
        EXPECT_GE(meta.host_time_ns, std::chrono::nanoseconds(before.time_since_epoch()).count());
        EXPECT_LE(meta.host_time_ns, std::chrono::nanoseconds(after.time_since_epoch()).count());
        EXPECT_GE(meta.host_time_ns, last_ns);
        last_ns = meta.host_time_ns;
        EXPECT_EQ(info.frame_size, kFrame);
        EXPECT_EQ(info.frame_width, 320u);
        EXPECT_EQ(info.frame_height, 240u);
        EXPECT_EQ(info.frame_depth, 4);
        EXPECT_EQ(info.frame_format, vxsim::kFrameFormat);
        EXPECT_TRUE(is_pattern_frame(buf.data(), info.frame_idx)) << "frame " << info.frame_idx;
        if (prev >= 0) {
            EXPECT_GT(static_cast<int>(info.frame_idx), prev);  // the ready list may drop, never reorder
        }
        prev = info.frame_idx;
    }
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 0);
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), -2);
    EXPECT_EQ(vexel_cap_get_frame_meta(&dev_, &meta), 1) << "the last frame's, until the next start";
    // A new capture tells nothing of the last one's frames.
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_EQ(vexel_cap_get_frame_meta(&dev_, &meta), 0);
    EXPECT_EQ(meta.sensor_temp, 0);
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
}

// A full-speed camera's link carries about 1 MB/s, a frame in 0.6 s while the sensor reads
// out 30 a second: the camera loses what its FIFO (two frames here) cannot hold, and the host
// gets whole frames, in order, with the camera's losses as index gaps; none of it is a stream
// error or a discarded frame.
TEST_F(CaptureTest, FullSpeedLinkDeliversWholeFramesAtItsOwnPace) {
    vxsim::CameraOptions o;
    o.speed_mbps = 12;
    o.fifo_frames = 2;
    vxsim::Camera& cam = open(o);
    vexel_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::vector<uint8_t> buf(kFrame);
    vexel_frame_info info{};
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, &info), 1);
    const uint64_t bytes0 = cam.counters().bytes;
    const auto t0 = Clock::now();
    int prev = info.frame_idx, gaps = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, &info), 1);
        EXPECT_TRUE(is_pattern_frame(buf.data(), info.frame_idx)) << "frame " << info.frame_idx;
        EXPECT_GT(static_cast<int>(info.frame_idx), prev);
        gaps += info.frame_idx > prev + 1;
        prev = info.frame_idx;
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    const double mb_per_s = double(cam.counters().bytes - bytes0) / s / 1e6;
    std::printf("[ link ] full speed: 3 frames in %.2f s, %.2f MB/s, %d gaps, %llu frames lost in the camera\n", s,
                mb_per_s, gaps, static_cast<unsigned long long>(cam.counters().frames_dropped));
    EXPECT_LT(mb_per_s, 1.1);  // the link's own limit; how close to it depends on the machine
    EXPECT_GE(gaps, 2);
    EXPECT_GT(cam.counters().frames_dropped, 0u);
    EXPECT_EQ(seen_.errors.load(), 0);
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
}

TEST_F(CaptureTest, FrameBufferSizeDecidesWhetherCaptureStarts) {
    vxsim::Camera& cam = open();
    std::string out = console_of([&] {
        EXPECT_EQ(vexel_cap_set_frame_buffer(&dev_, nullptr, 2 * 307200 - 1), 1);
        EXPECT_EQ(vexel_cap_start(&dev_), 0);
    });
    EXPECT_TRUE(contains(out, "frame buffer: 1 frames")) << out;
    EXPECT_TRUE(contains(out, "[_vexel_cap_start]  capture buffer not set or size is not correct")) << out;
    EXPECT_FALSE(cam.streaming());

    void* b = reinterpret_cast<void*>(1);
    uint32_t size = 0;
    EXPECT_EQ(vexel_cap_get_frame_buffer(&dev_, &b, &size), 1);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(size, 307200u);

    EXPECT_EQ(vexel_cap_set_frame_buffer(&dev_, nullptr, 2 * 307200), 1);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.streaming(); }));
    out = console_of([&] { EXPECT_EQ(vexel_cap_set_frame_buffer(&dev_, nullptr, 10 * 307200), 0); });
    EXPECT_TRUE(contains(out, "not allowed when device is not open or is capturing")) << out;
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
}

TEST_F(CaptureTest, GetFramesCopiesBackToBackAndHandsTheRestToTheCallback) {
    vxsim::CameraOptions o;
    o.frame_rate = 30;
    o.fifo_frames = 64;  // a slow moment of the host loses no frame between the two checked
    open(o);
    vexel_cap_set_callback_on_frame_ready(&dev_, on_frame);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    // Let at least three frames pile up in the library before asking for two.
    ASSERT_TRUE(wait_for([&] {
        vx_stream_state st{};
        vx_stream_get_state(h()->stream, &st);
        return st.frames_ready >= 3;
    }));
    std::vector<uint8_t> buf(2 * kFrame + 100, 0xEE);
    vexel_frame_info info{};
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), &info), 2);
    const uint32_t first = frame_number(buf.data());
    EXPECT_EQ(info.frame_idx & 0xFFF, first);
    EXPECT_TRUE(is_pattern_frame(buf.data(), first));
    EXPECT_TRUE(is_pattern_frame(buf.data() + kFrame, first + 1));
    EXPECT_EQ(buf[2 * kFrame], 0xEE);  // nothing written past two frames
    EXPECT_GE(seen_.frames.load(), 1);
    EXPECT_GT(seen_.last_idx.load(), static_cast<int>(info.frame_idx) + 1);
    // Room for exactly the first of two frames: it is kept, the second does not overwrite it.
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 2, buf.data(), kFrame, &info), 2);
    EXPECT_TRUE(is_pattern_frame(buf.data(), info.frame_idx));
    vexel_cap_stop(&dev_);
}

// Interface 0 held elsewhere: the camera opens on interface 1, but its stream endpoint cannot be
// read, so capture does not start rather than wait for data that cannot come.
TEST_F(CaptureTest, StartFailsWhenNoTransferCanBeQueued) {
    vxsim::CameraOptions o;
    o.interface0_busy = true;
    vxsim::Camera& cam = open(o);
    std::string out = console_of([&] { EXPECT_EQ(vexel_cap_start(&dev_), 0); });
    EXPECT_TRUE(contains(out, "[usb_ll_cap_start] no transfer in flight: capture cannot start")) << out;
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 0);
    for (const auto& c : cam.command_log())
        EXPECT_FALSE(c.request == 0xC2 && c.value == 4);  // never told to start
    EXPECT_FALSE(cam.streaming());
}

TEST_F(CaptureTest, UnknownFrameRateGivesTheTwentyFpsTimeout) {
    vxsim::CameraOptions o;
    o.frame_rate = 0;  // the camera reports 0 and sends nothing
    vxsim::Camera& cam = open(o);
    cam.set_faults([](vxsim::Faults& f) { f.stop_sending = true; });
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::vector<uint8_t> buf(3 * kFrame);
    const auto t0 = Clock::now();
    std::string out = console_of([&] { EXPECT_EQ(vexel_cap_get_frames(&dev_, 3, buf.data(), 3 * kFrame, nullptr), 0); });
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(ms, 2400);
    EXPECT_LT(ms, 3200);
    EXPECT_TRUE(contains(out, "frame_num = 3, timeout_msec=2450")) << out;
    EXPECT_TRUE(contains(out, "[INF] [_vexel_cap_get_frames]  timeout ...")) << out;
    vexel_cap_stop(&dev_);
}

TEST_F(CaptureTest, StallsStopTheCaptureOnlyWhenSeventeenInARow) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    vxsim::Camera& cam = open(o);
    std::vector<uint8_t> buf(kFrame);

    cam.set_faults([](vxsim::Faults& f) { f.stall_bulk = 16; });
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 2, buf.data(), kFrame, nullptr), 2);
    EXPECT_EQ(h()->pending_err.load(), 0);
    ASSERT_EQ(vexel_cap_stop(&dev_), 1);

    // No error callback: the stop error waits for the next pull, which returns it at once.
    cam.set_faults([](vxsim::Faults& f) { f.stall_bulk = 17; });
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    ASSERT_TRUE(wait_for([&] { return h()->stop.load() != 0; }));
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), VEXEL_ERR_CAP_STALL);
    EXPECT_LT(Clock::now() - t0, 200ms);
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
}

TEST_F(CaptureTest, EventCountingRules) {
    open();
    vexel_ll_dev* ll = &h()->ll;
    h()->stop.store(0);
    // Time-outs count from start: data in between does not reset them.
    for (int i = 0; i < 32; ++i) {
        vx::capture_event(ll, VX_LL_CAP_TIMEOUT, nullptr, 0, h());
        if (i == 10) vx::capture_event(ll, VX_LL_CAP_OK, nullptr, 0, h());
    }
    EXPECT_EQ(h()->stop.load(), 0u);
    std::string out = console_of([&] { vx::capture_event(ll, VX_LL_CAP_TIMEOUT, nullptr, 0, h()); });
    EXPECT_TRUE(contains(out, "[WRN] [on_capture_event] trans timeout -> stop")) << out;
    EXPECT_EQ(h()->stop.load(), 1u);
    EXPECT_EQ(h()->pending_err.load(), VEXEL_ERR_CAP_TIMEOUT);

    // Stalls: sixteen, then data, then sixteen more do not stop; the seventeenth in a row does.
    h()->stop.store(0);
    h()->pending_err.store(0);
    for (int i = 0; i < 16; ++i) vx::capture_event(ll, VX_LL_CAP_STALL, nullptr, 0, h());
    vx::capture_event(ll, VX_LL_CAP_OK, nullptr, 0, h());
    for (int i = 0; i < 16; ++i) vx::capture_event(ll, VX_LL_CAP_STALL, nullptr, 0, h());
    EXPECT_EQ(h()->stop.load(), 0u);
    vx::capture_event(ll, VX_LL_CAP_STALL, nullptr, 0, h());
    EXPECT_EQ(h()->pending_err.load(), VEXEL_ERR_CAP_STALL);

    // Any other code becomes the pending error as it is.
    h()->stop.store(0);
    vx::capture_event(ll, VX_LL_CAP_ERROR, nullptr, 0, h());
    EXPECT_EQ(h()->pending_err.load(), VEXEL_ERR_CAP_UNKNOWN);
    EXPECT_EQ(h()->stop.load(), 1u);
}

// A transfer that stalls or times out after part of its data arrived hands that part on: the
// stream stays whole and no frame is lost.
TEST_F(CaptureTest, DataOfAStalledOrTimedOutTransferIsKept) {
    open();
    vxtest::StreamGen gen;
    gen.sums = true;
    gen.frame(5000, 3);
    gen.frame(5000, 2);
    vx_stream_reset(h()->stream);
    h()->stop.store(0);
    uint8_t* p = gen.out.data();
    const int n = static_cast<int>(gen.out.size());
    vx::capture_event(&h()->ll, VX_LL_CAP_STALL, p, n / 3, h());
    vx::capture_event(&h()->ll, VX_LL_CAP_TIMEOUT, p + n / 3, n / 3, h());
    vx::capture_event(&h()->ll, VX_LL_CAP_OK, p + 2 * (n / 3), n - 2 * (n / 3), h());
    vx_stream_state st{};
    vx_stream_get_state(h()->stream, &st);
    EXPECT_EQ(st.frames_ready, 2u);
    EXPECT_EQ(st.frames_discarded, 0u);
    std::vector<uint8_t> got(5000);
    for (const auto& f : gen.frames) {
        ASSERT_EQ(vx_stream_fetch_frames(h()->stream, got.data(), 5000, 1, nullptr, 0), 1u);
        EXPECT_EQ(got, f.bytes);
    }
    EXPECT_EQ(h()->pending_err.load(), 0);
}

TEST_F(CaptureTest, DiscardsBecomeErrorThreeWithTheRunningTotal) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    vxsim::Camera& cam = open(o);
    vexel_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::vector<uint8_t> buf(kFrame);
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 1);
    // Two separate discards: the second report carries the total, 2, not the difference.
    for (uint32_t n = 1; n <= 2; ++n) {
        cam.set_faults([](vxsim::Faults& f) { f.corrupt_payload = 1; });
        for (int i = 0; i < 30 && seen_.errors.load() < int(n); ++i)
            vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr);
        ASSERT_EQ(seen_.errors.load(), int(n));
        EXPECT_EQ(seen_.last_code.load(), VEXEL_ERR_CAP_FRAME_DISCARD);
        EXPECT_EQ(seen_.last_arg.load(), n);
    }
    vexel_cap_stop(&dev_);
}

TEST_F(CaptureTest, ErrorCallbackReturningFalseStopsDeliveryUntilNextStart) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    vxsim::Camera& cam = open(o);
    seen_.keep_going = false;
    vexel_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::vector<uint8_t> buf(kFrame);
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 1);
    cam.set_faults([](vxsim::Faults& f) { f.corrupt_payload = 1; });
    for (int i = 0; i < 30 && seen_.errors.load() == 0; ++i) vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr);
    ASSERT_EQ(seen_.errors.load(), 1);
    EXPECT_EQ(h()->force_stop.load(), 1);
    EXPECT_EQ(vexel_cap_get_frame(&dev_, buf.data(), kFrame, nullptr), 0);
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 0);
    ASSERT_EQ(vexel_cap_stop(&dev_), 1);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 1);
    vexel_cap_stop(&dev_);
}

TEST_F(CaptureTest, SnapshotWhileIdleStartsReadsAndStops) {
    vxsim::Camera& cam = open();
    std::vector<uint8_t> buf(kFrame);
    vexel_frame_info info{};
    EXPECT_EQ(vexel_cap_snapshot(&dev_, buf.data(), kFrame, &info), 1);
    EXPECT_EQ(info.frame_size, kFrame);
    EXPECT_TRUE(is_pattern_frame(buf.data(), info.frame_idx));
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 0);
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return !c.streaming(); }));

    // A snapshot that gets no frame is not reported as one.
    cam.set_faults([](vxsim::Faults& f) { f.stall_bulk = 1000; });
    EXPECT_EQ(vexel_cap_snapshot(&dev_, buf.data(), kFrame, &info), 0);
    vexel_dev never{};
    EXPECT_EQ(vexel_cap_snapshot(&never, buf.data(), kFrame, &info), 0);
}

TEST_F(CaptureTest, WaitDeliversToTheCallbackUntilTimeoutOrStop) {
    open();
    vexel_cap_set_callback_on_frame_ready(&dev_, on_frame);
    EXPECT_EQ(vexel_cap_wait(&dev_, 100), 0);  // not capturing
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_cap_wait(&dev_, 1000), 0);
    EXPECT_GE(Clock::now() - t0, 990ms);
    EXPECT_GE(seen_.frames.load(), 2);  // 30 fps for 1 s, with slack for loaded sanitizer builds

    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        vexel_cap_stop(&dev_);
    });
    EXPECT_EQ(vexel_cap_wait(&dev_, 0), 1);  // without limit: returns when capture stops
    stopper.join();
}

TEST_F(CaptureTest, UnacknowledgedStopKeepsCapturing) {
    vxsim::Camera& cam = open();
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    cam.set_faults([](vxsim::Faults& f) { f.fail_next = "not now"; });
    EXPECT_EQ(vexel_cap_stop(&dev_), 0);
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 1);
    EXPECT_EQ(vexel_cap_stop(&dev_), 1);
    EXPECT_EQ(vexel_cap_is_ongoing(&dev_), 0);
}

TEST_F(CaptureTest, CloseWakesABlockedWaiter) {
    open();
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::atomic<int> result{-100};
    std::thread waiter([&] { result = vexel_cap_wait(&dev_, 0); });
    std::this_thread::sleep_for(200ms);
    vexel_dev_close(&dev_);
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(dev_.handle, nullptr);
}

// Every transfer done and none to resubmit when the cable goes (the host a ring behind): the
// capture stops with an error, and a waiting caller hears of it at once.
TEST_F(CaptureTest, UnplugWithTheHostARingBehindStopsTheCaptureAtOnce) {
    vxsim::Camera& cam = open();
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::thread unplug([&] { std::this_thread::sleep_for(300ms), cam.unplug(vxsim::Unplug::ring_behind); });
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_cap_wait(&dev_, 20000), 1);
    EXPECT_LT(Clock::now() - t0, 5s);
    unplug.join();
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, nullptr, 0, nullptr), VEXEL_ERR_CAP_UNKNOWN);
}

// Close or reopen from inside a callback would wait for the very call the callback runs in.
void close_from_callback(vexel_dev* dev, vexel_frame*) {
    vexel_dev_close(dev);
    if (vexel_dev_open(dev) == nullptr && dev->handle) vexel_cap_stop(dev);  // refused twice: end the call
}

TEST_F(CaptureTest, CloseOrReopenFromInsideACallbackIsRefused) {
    open();
    vexel_cap_set_callback_on_frame_ready(&dev_, close_from_callback);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    const std::string out = console_of([&] { EXPECT_EQ(vexel_cap_wait(&dev_, 10000), 1); });
    EXPECT_TRUE(contains(out, "[ERR] [vexel_dev_close] refused: called from inside a call on this device")) << out;
    EXPECT_TRUE(contains(out, "[ERR] [vexel_dev_open] refused: called from inside a call on this device")) << out;
    ASSERT_NE(dev_.handle, nullptr);  // still open; TearDown closes it from outside
}

// Several threads on one streaming camera: every command gets its own answer, every pull whole frames.
TEST_F(CaptureTest, ThreadsShareOneStreamingCamera) {
#if defined(__SANITIZE_THREAD__)
    // Under ThreadSanitizer each command through the emulated bus costs a great deal more
    // while frames stream; a few commands a thread still interleave with the consumers.
    constexpr uint32_t kCommands = 20;
#else
    constexpr uint32_t kCommands = 200;
#endif
    open();
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::atomic<int> failures{0};
    auto work = [&](int role) {
        std::vector<uint8_t> frame(kFrame);
        for (uint32_t i = 0; i < (role == 0 ? 8 : kCommands); ++i) {
            vexel_param_item it[2] = {{VX_PARAM_FPS, 0, {}, 0}, {VX_PARAM_PRODUCT, 0, {}, 0}};
            const uint32_t v[2] = {i, ~i};
            uint32_t back[2] = {};
            vexel_frame_info info{};
            if (role == 0)  // two consumers of frames
                failures += vexel_cap_get_frames(&dev_, 1, frame.data(), kFrame, &info) != 1 ||
                            !is_pattern_frame(frame.data(), info.frame_idx);
            else if (role == 1)
                failures += vexel_param_batch_get(&dev_, it, 2) != 1 || it[0].param_val[0] != 30 ||
                            std::strcmp(reinterpret_cast<const char*>(it[1].param_val), "A-T0-1") != 0;
            else
                failures += vexel_reg_batch_write(&dev_, 2, 100, v, 2) != 1 ||
                            vexel_reg_batch_read(&dev_, 2, 100, back, 2) != 1 || back[1] != v[1];
        }
    };
    std::vector<std::thread> threads;
    for (int role : {0, 0, 1, 1, 2}) threads.emplace_back(work, role);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(CaptureTest, StressStartStopAndCloseWhileStreaming) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    vxsim::Camera& cam = open(o);
    std::vector<uint8_t> buf(kFrame);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(vexel_cap_start(&dev_), 1) << i;
        if (i % 50 == 0) {
            EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 1);
        }
        ASSERT_EQ(vexel_cap_stop(&dev_), 1) << i;
    }
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, nullptr), 1);
    cam.clear_logs();
    const std::string out = console_of([&] { vexel_dev_close(&dev_); });  // while streaming
    EXPECT_EQ(dev_.handle, nullptr);
    // The stop is sent (and its status answered) before the interface goes.
    EXPECT_TRUE(contains(out, "[DBG] [vexel_cap_stop] Enter") && !contains(out, "stop capture failed!")) << out;
    EXPECT_EQ(cam.command_log().at(0).value, 5);
}

// A T0 camera's driver is a stub: its frames come whole, raw, but it has no distance or gray
// image to give (its decode writes floats where 16-bit values are read back), so both frame
// access calls refuse rather than count pixels of meaningless numbers as a result.
TEST_F(CaptureTest, StubDriverFramesStreamButGiveNoImages) {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    o.measurement.scene.kind = vxsim::Scene::Kind::wall;
    open(o);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    std::vector<uint8_t> buf(kFrame);
    vexel_frame_info info{};
    ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, buf.data(), kFrame, &info), 1);
    vexel_cap_stop(&dev_);
    EXPECT_EQ(info.frame_size, kFrame);
    std::vector<float> img(320 * 240, -1.0f);
    std::string out = console_of([&] {
        EXPECT_EQ(vexel_frame_get_distance(&dev_, img.data(), uint32_t(img.size()), buf.data(), kFrame, &info), 0);
        EXPECT_EQ(vexel_frame_get_gray(&dev_, img.data(), uint32_t(img.size()), buf.data(), kFrame, &info), 0);
    });
    EXPECT_TRUE(contains(out, "[_vexel_frame_get_u16] the TI OP8241 chip driver gives no distance images")) << out;
    EXPECT_TRUE(contains(out, "gives no gray images")) << out;
}

}  // namespace
