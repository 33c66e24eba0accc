// Bulk streaming against the simulated camera: the ring of transfers, stop, abort, time-outs,
// stalls, unplug, and close while transfers are still in libusb's hands.
#include <set>

#include "tests/transport/sim_fixture.hpp"

namespace vxt {
namespace {

constexpr int kRing = vx::usb::kBulkXferNum;

class StreamTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        vxsim::CameraOptions o;
        o.frame_rate = 100;
        cam_ = &add(o);
        dev_ = &rec();
        ASSERT_EQ(vexel_ll_dev_open(dev_), dev_);
        cam_->clear_logs();
    }
    bool start() { return vexel_ll_cap_start(dev_, 0, CapRecorder::callback, &rec_) == 1; }
    void silence() {
        cam_->set_faults([](vxsim::Faults& f) { f.stop_sending = true; });
    }
    bool all_pending() {
        return cam_->wait_until([](const vxsim::Camera& c) { return c.pending_bulk() == kRing; });
    }
    bool idle() {
        return eventually([&] { return bulk_in_flight(*dev_) == 0; }) &&
               cam_->wait_until([](const vxsim::Camera& c) { return c.pending_bulk() == 0; });
    }

    vxsim::Camera* cam_ = nullptr;
    vexel_ll_dev* dev_ = nullptr;
    CapRecorder rec_;
};

TEST_F(StreamTest, StartQueuesTheRingBeforeTheStartCommandAndStreams) {
    ASSERT_TRUE(start());
    EXPECT_EQ(log_.count("[usb_ll_cap_start] trans["), kRing);
    EXPECT_EQ(log_.count("issue: txlen=153600"), kRing);
    // The ring is queued before the camera hears the start command.
    const std::string text = log_.text();
    EXPECT_LT(text.rfind("trans[15] issue: txlen=153600"), text.find("[usb_ll_cap_start] Enter"));
    const auto starts = commands(*cam_, 0xC2, 4, true);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].data, (std::vector<uint8_t>{0, 0, 0, 0}));

    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= 3 * kRing; }));
    EXPECT_EQ(rec_.seen_dev, dev_);
    std::set<const uint8_t*> buffers;
    for (const auto& e : rec_.snapshot()) {
        EXPECT_EQ(e.code, VX_LL_CAP_OK);
        EXPECT_GT(e.len, 0);
        EXPECT_LE(e.len, vx::usb::kBulkXferSize);
        buffers.insert(e.data);
    }
    EXPECT_EQ(buffers.size(), static_cast<size_t>(kRing));  // every transfer comes round again
    EXPECT_EQ(bulk_in_flight(*dev_), kRing);

    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    EXPECT_EQ(commands(*cam_, 0xC2, 5, true).at(0).data, (std::vector<uint8_t>{0xC2}));
    ASSERT_TRUE(idle());
}

TEST_F(StreamTest, StopCancelsEachTransferOnceAndResubmitsNothing) {
    silence();
    ASSERT_TRUE(start());
    ASSERT_TRUE(all_pending());
    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    ASSERT_TRUE(idle());
    std::this_thread::sleep_for(100ms);
    const auto ev = rec_.snapshot();
    ASSERT_EQ(ev.size(), static_cast<size_t>(kRing));
    std::set<const uint8_t*> buffers;
    for (const auto& e : ev) {
        EXPECT_EQ(e.code, VX_LL_CAP_CANCELLED);
        buffers.insert(e.data);
    }
    EXPECT_EQ(buffers.size(), static_cast<size_t>(kRing));
    EXPECT_EQ(cam_->pending_bulk(), 0);
}

TEST_F(StreamTest, StopWhileDataFlowsLeavesEveryTransferIdle) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= kRing; }));
    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    ASSERT_TRUE(idle());
    const size_t settled = rec_.size();
    const uint64_t urbs = cam_->counters().bulk_urbs;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rec_.size(), settled);
    EXPECT_EQ(cam_->counters().bulk_urbs, urbs);
    // Transfers the camera had already filled report data rather than a cancellation.
    EXPECT_LE(rec_.count(VX_LL_CAP_CANCELLED), kRing);
}

TEST_F(StreamTest, SilentCameraTimesEveryTransferOutAndKeepsTheRing) {
    silence();
    ASSERT_TRUE(start());
    const auto t0 = Clock::now();
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_TIMEOUT) >= kRing; }, 9000ms));
    const auto ev = rec_.snapshot();
    std::set<const uint8_t*> buffers;
    for (const auto& e : ev) {
        EXPECT_EQ(e.code, VX_LL_CAP_TIMEOUT);
        EXPECT_EQ(e.len, 0);
        EXPECT_GE((std::chrono::duration<double, std::milli>(e.at - t0).count()), 5900.0);
        buffers.insert(e.data);
    }
    EXPECT_EQ(buffers.size(), static_cast<size_t>(kRing));
    EXPECT_EQ(log_.count("timeout (last_tx=0)"), kRing);
    // Each one went back into the queue.
    EXPECT_TRUE(all_pending());
    EXPECT_EQ(bulk_in_flight(*dev_), kRing);
    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    ASSERT_TRUE(idle());
}

TEST_F(StreamTest, StallIsReportedAfterTheHaltIsCleared) {
    cam_->set_faults([](vxsim::Faults& f) { f.stall_bulk = 2; });
    uint64_t halts_at_start = 0;
    std::vector<uint64_t> halts_at_stall;
    rec_.on_event = [&](vexel_ll_dev*, const CapEvent& e) {
        if (e.code == VX_LL_CAP_STALL) halts_at_stall.push_back(cam_->counters().clear_halts);
    };
    // One clear comes from the start itself, before any transfer is queued.
    halts_at_start = cam_->counters().clear_halts + 1;
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= kRing; }));
    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    ASSERT_TRUE(idle());
    ASSERT_EQ(halts_at_stall.size(), 2u);
    EXPECT_EQ(halts_at_stall[0], halts_at_start + 1);
    EXPECT_EQ(halts_at_stall[1], halts_at_start + 2);
    EXPECT_EQ(log_.count("[WRN] [on_usb_trans_event] trans["), 2);
    EXPECT_FALSE(log_.has("Clear halt failed"));
}

TEST_F(StreamTest, AbortFromTheCallbackDrainsWithoutACommand) {
    std::atomic<bool> aborted{false};
    rec_.on_event = [&](vexel_ll_dev* d, const CapEvent&) {
        if (!aborted.exchange(true)) vexel_ll_cap_abort(d);
    };
    ASSERT_TRUE(start());
    ASSERT_TRUE(idle());
    std::this_thread::sleep_for(100ms);
    // The aborting transfer and every other one report once more, then stay idle.
    const auto ev = rec_.snapshot();
    EXPECT_EQ(ev.size(), static_cast<size_t>(kRing));
    std::set<const uint8_t*> buffers;
    for (const auto& e : ev) buffers.insert(e.data);
    EXPECT_EQ(buffers.size(), static_cast<size_t>(kRing));
    for (const auto& c : cam_->command_log())
        EXPECT_TRUE(c.request == 0xB0 || (c.request == 0xC2 && c.value == 4))
            << int(c.request) << "/" << c.value;
    EXPECT_TRUE(commands(*cam_, 0xC2, 5, true).empty());
}

TEST_F(StreamTest, StartRightAfterAbortSkipsTransfersStillBusy) {
    // Four transfers stall and the first report aborts; the other twelve stay queued in libusb.
    cam_->set_faults([](vxsim::Faults& f) {
        f.stop_sending = true;
        f.stall_bulk = 4;
    });
    std::atomic<bool> abort_on_report{true};
    rec_.on_event = [&](vexel_ll_dev* d, const CapEvent&) {
        if (abort_on_report) vexel_ll_cap_abort(d);
    };
    ASSERT_TRUE(start());
    ASSERT_TRUE(
        eventually([&] { return rec_.count(VX_LL_CAP_STALL) == 4 && bulk_in_flight(*dev_) == kRing - 4; }));

    abort_on_report = false;
    ASSERT_TRUE(start());
    EXPECT_EQ(log_.count("[ERR] [usb_ll_cap_start] trans["), kRing - 4);
    EXPECT_EQ(bulk_in_flight(*dev_), kRing);
    cam_->set_faults([](vxsim::Faults& f) { f.stop_sending = false; });
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= 2 * kRing; }));
    EXPECT_EQ(rec_.count(VX_LL_CAP_STALL), 4);
    ASSERT_EQ(vexel_ll_cap_stop(dev_), 1);
    ASSERT_TRUE(idle());
}

TEST_F(StreamTest, RefusedStartCancelsTheRing) {
    cam_->set_faults([](vxsim::Faults& f) {
        f.stop_sending = true;
        f.fail_next = "no sensor";
    });
    // Like the capture core, give up on the first cancellation.
    rec_.on_event = [](vexel_ll_dev* d, const CapEvent& e) {
        if (e.code == VX_LL_CAP_CANCELLED) vexel_ll_cap_abort(d);
    };
    EXPECT_FALSE(start());
    EXPECT_TRUE(log_.has("[WRN] [usb_ll_cap_start] vexel_ll_cap_start failed\n"));
    EXPECT_TRUE(log_.has("[ERR] [usb_ll_check_last_cmd] no sensor\n"));
    ASSERT_TRUE(idle());
    EXPECT_EQ(rec_.count(VX_LL_CAP_CANCELLED), kRing);
}

TEST_F(StreamTest, UnplugMidStreamReportsErrorsAndClosesCleanly) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= kRing; }));
    silence();  // every transfer waiting on the wire when the cable goes
    ASSERT_TRUE(all_pending());
    const size_t before = rec_.size();
    cam_->unplug();
    ASSERT_TRUE(eventually([&] { return bulk_in_flight(*dev_) == 0; }));
    const auto ev = rec_.snapshot();
    ASSERT_EQ(ev.size(), before + kRing);
    for (size_t i = before; i < ev.size(); ++i) EXPECT_EQ(ev[i].code, VX_LL_CAP_ERROR);
    EXPECT_EQ(log_.count("Unable to submit URB. libusb error code: -4\n"), kRing);
    const auto t0 = Clock::now();
    vexel_ll_dev_close(dev_);
    EXPECT_LT(ms_since(t0), 1000.0);
    EXPECT_EQ(dev_->priv, nullptr);
}

TEST_F(StreamTest, CloseWhileStreamingWaitsForEveryTransfer) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(eventually([&] { return rec_.count(VX_LL_CAP_OK) >= kRing; }));
    const size_t before = rec_.size();
    vexel_ll_dev_close(dev_);
    EXPECT_EQ(dev_->priv, nullptr);
    EXPECT_EQ(cam_->pending_bulk(), 0);
    const size_t at_close = rec_.size();
    // Each transfer reports once more (one may have been reporting as the close began).
    EXPECT_GE(at_close - before, static_cast<size_t>(kRing - 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec_.size(), at_close);  // nothing reports after the record is gone
    EXPECT_FALSE(log_.has("did not report after cancel"));
}

}  // namespace
}  // namespace vxt
