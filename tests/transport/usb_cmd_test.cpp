// Control commands against the simulated camera: wire form, chunking, status handling, time-outs.
#include "tests/transport/sim_fixture.hpp"

namespace vxt {
namespace {

constexpr uint8_t kTarget = 2;  // a register space of 32-bit words

class CommandTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        vxsim::CameraOptions o;
        o.timing = vxsim::Timing::instant();  // status queries are counted exactly
        cam_ = &add(o);
        dev_ = &rec();
        ASSERT_EQ(vexel_ll_dev_open(dev_), dev_);
        cam_->clear_logs();
    }
    vxsim::Camera* cam_ = nullptr;
    vexel_ll_dev* dev_ = nullptr;
};

uint32_t le32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | uint32_t(v[at + 3]) << 24;
}

TEST_F(CommandTest, RegisterReadRunsInChunksOfSixteen) {
    const uint32_t base = 1000;
    for (uint32_t i = 0; i < 40; ++i) cam_->set_reg(kTarget, base + i, 0xA0000000u + i * 7);
    std::vector<uint32_t> got(40, 0);
    ASSERT_EQ(vexel_ll_reg_read(dev_, kTarget, base, got.data(), 40), 1);
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(got[i], 0xA0000000u + i * 7) << i;

    const auto headers = commands(*cam_, 0xC2, 1, true);
    const auto reads = commands(*cam_, 0xC2, 1, false);
    ASSERT_EQ(headers.size(), 3u);
    ASSERT_EQ(reads.size(), 3u);
    const uint32_t bases[] = {base, base + 16, base + 32};
    const uint16_t counts[] = {16, 16, 8};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(headers[i].data.size(), 7u);
        EXPECT_EQ(headers[i].data[0], kTarget);
        EXPECT_EQ(le32(headers[i].data, 1), bases[i]);
        EXPECT_EQ(headers[i].data[5] | headers[i].data[6] << 8, counts[i] * 4);
        EXPECT_EQ(reads[i].length, counts[i] * 4);
    }
    // A status query after each of the six phases.
    EXPECT_EQ(status_queries(*cam_), 6);

    cam_->clear_logs();
    EXPECT_EQ(vexel_ll_reg_read(dev_, kTarget, base, got.data(), 0), 1);
    EXPECT_TRUE(cam_->command_log().empty());
}

TEST_F(CommandTest, RegisterWriteOfOneSendsElevenBytes) {
    const uint32_t value = 0x11223344;
    ASSERT_EQ(vexel_ll_reg_write(dev_, kTarget, 0x01020304, &value, 1), 1);
    const auto w = commands(*cam_, 0xC2, 0, true);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].request_type, 0x22);
    EXPECT_EQ(w[0].index, 0);
    EXPECT_EQ(w[0].data,
              (std::vector<uint8_t>{kTarget, 0x04, 0x03, 0x02, 0x01, 0x04, 0x00, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(cam_->reg(kTarget, 0x01020304), value);
    EXPECT_EQ(status_queries(*cam_), 1);
}

TEST_F(CommandTest, OversizedBatchesAreRefusedBeforeAnythingIsSent) {
    // One register more than fits the 16-bit length: 7 + 4 * 16383 would wrap to 3 bytes, a
    // length libusb would happily send.
    std::vector<uint32_t> vals(16383);
    for (size_t i = 0; i < vals.size(); ++i) vals[i] = static_cast<uint32_t>(i * 3 + 1);
    EXPECT_EQ(vexel_ll_reg_write(dev_, kTarget, 0, vals.data(), 16383), 0);
    EXPECT_TRUE(log_.has("[ERR] [usb_ll_reg_write] too many registers: 16383"));
    std::vector<vexel_ll_param_rec> recs(3277, vexel_ll_param_rec{13, 2, {100, 0}});
    EXPECT_EQ(vexel_ll_param_set(dev_, recs.data(), 3277), 0);
    EXPECT_TRUE(log_.has("[ERR] [usb_ll_param_set] too many parameters: 3277"));
    EXPECT_EQ(vexel_ll_param_set(dev_, recs.data(), -1), 0);
    EXPECT_TRUE(cam_->command_log().empty());

    // The largest batches go out as checked commands of at most 4096 data bytes (libusb's limit).
    ASSERT_EQ(vexel_ll_reg_write(dev_, kTarget, 0, vals.data(), 16382), 1);
    const auto w = commands(*cam_, 0xC2, 0, true);
    ASSERT_EQ(w.size(), 17u);
    EXPECT_EQ(le32(w[16].data, 1), 16u * 1022);
    EXPECT_EQ(w[16].length, 7 + 4 * 30);
    for (uint32_t r : {1021u, 1022u, 16381u}) EXPECT_EQ(cam_->reg(kTarget, r), vals[r]) << r;
    ASSERT_EQ(vexel_ll_param_set(dev_, recs.data(), 3276), 1);
    EXPECT_EQ(commands(*cam_, 0xC0, 3, true).size(), 17u);
}

TEST_F(CommandTest, ParameterReadRunsInChunksOfThreeWithValuesCleared) {
    const uint8_t ids[7] = {2, 3, 5, 6, 7, 12, 13};
    vexel_ll_param_rec recs[7];
    for (int i = 0; i < 7; ++i) {
        std::memset(&recs[i], 0xEE, sizeof recs[i]);  // stale caller data must not travel
        recs[i].id = ids[i];
    }
    ASSERT_EQ(vexel_ll_param_get(dev_, recs, 7), 1);

    const auto out = commands(*cam_, 0xC0, 4, true);
    const auto in = commands(*cam_, 0xC0, 4, false);
    ASSERT_EQ(out.size(), 3u);
    ASSERT_EQ(in.size(), 3u);
    const size_t sizes[] = {60, 60, 20};
    int next = 0;
    for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(out[c].data.size(), sizes[c]);
        EXPECT_EQ(in[c].length, sizes[c]);
        for (size_t r = 0; r < sizes[c] / 20; ++r, ++next) {
            EXPECT_EQ(out[c].data[r * 20], ids[next]);
            for (size_t b = 1; b < 20; ++b)
                EXPECT_EQ(out[c].data[r * 20 + b], 0) << "record " << next << " byte " << b;
        }
    }
    EXPECT_EQ(status_queries(*cam_), 6);
    // The device's answers land in the records in order.
    for (int i = 0; i < 7; ++i) {
        const auto want = cam_->param(ids[i]);
        ASSERT_EQ(recs[i].len, want.size()) << int(ids[i]);
        EXPECT_EQ(std::vector<uint8_t>(recs[i].val, recs[i].val + recs[i].len), want) << int(ids[i]);
    }
}

TEST_F(CommandTest, BusyStatusIsAskedAgainUntilDone) {
    cam_->set_faults([](vxsim::Faults& f) { f.status_busy = 2; });
    vexel_ll_param_rec recs[2] = {{12, 4, {25, 0, 0, 0}}, {13, 2, {0x2C, 0x01}}};
    ASSERT_EQ(vexel_ll_param_set(dev_, recs, 2), 1);
    EXPECT_EQ(status_queries(*cam_), 3);
    const auto w = commands(*cam_, 0xC0, 3, true);
    ASSERT_EQ(w.size(), 1u);
    ASSERT_EQ(w[0].data.size(), sizeof recs);
    EXPECT_EQ(std::memcmp(w[0].data.data(), recs, sizeof recs), 0);
    EXPECT_EQ(cam_->param(13), (std::vector<uint8_t>{0x2C, 0x01}));
}

TEST_F(CommandTest, EndlessBusyIsGivenUpAfterABound) {
    cam_->set_faults([](vxsim::Faults& f) { f.status_busy = 1 << 30; });
    vexel_ll_param_rec rec{12, 4, {15, 0, 0, 0}};
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_ll_param_set(dev_, &rec, 1), 0);
    const double took = ms_since(t0);
    EXPECT_GE(took, 2900.0);
    EXPECT_LT(took, 6000.0);
    EXPECT_EQ(log_.count("[ERR] [usb_ll_check_last_cmd]  last cmd (t=192,v=3) still busy after 3000 ms\r\n"),
              1);
    cam_->set_faults([](vxsim::Faults& f) { f.status_busy = 0; });
    EXPECT_EQ(vexel_ll_check_last_cmd(dev_, 0xC0, 3), 1);
}

TEST_F(CommandTest, FailureStatusLogsTheCamerasText) {
    cam_->set_faults([](vxsim::Faults& f) { f.fail_next = "sensor not ready"; });
    vexel_ll_param_rec rec{12, 4, {15, 0, 0, 0}};
    EXPECT_EQ(vexel_ll_param_set(dev_, &rec, 1), 0);
    EXPECT_EQ(log_.count("[ERR] [usb_ll_check_last_cmd] sensor not ready\n"), 1);
    EXPECT_EQ(cam_->param(12), (std::vector<uint8_t>{30, 0, 0, 0}));
    EXPECT_EQ(vexel_ll_param_set(dev_, &rec, 1), 1);
}

TEST_F(CommandTest, StatusEchoOfAnotherCommandIsNotSuccess) {
    uint8_t hdr[7] = {kTarget, 0, 0, 0, 0, 4, 0};
    ASSERT_EQ(vexel_ll_exe_cmd(dev_, 1, 0xC2, 1, hdr, 7, 1000), 1);
    EXPECT_EQ(vexel_ll_check_last_cmd(dev_, 0xC0, 3), 0);
    EXPECT_EQ(
        log_.count("[WRN] [usb_ll_check_last_cmd]  last cmd (t=194,v=1) is not as expect(t=192,v=3)\r\n"), 1);
    EXPECT_EQ(vexel_ll_check_last_cmd(dev_, 0xC2, 0), 0);  // the type alone is not enough
    EXPECT_EQ(vexel_ll_check_last_cmd(dev_, 0xC0, 1), 0);  // nor the value alone
    EXPECT_EQ(vexel_ll_check_last_cmd(dev_, 0xC2, 1), 1);
}

TEST_F(CommandTest, ShortReadIsAFailure) {
    // Ask for more bytes than the status reply has: the command moved fewer than requested.
    vexel_ll_param_rec rec{12, 4, {25, 0, 0, 0}};
    ASSERT_EQ(vexel_ll_exe_cmd(dev_, 1, 0xC0, 3, &rec, sizeof rec, 1000), 1);
    uint8_t buf[80] = {};
    EXPECT_EQ(vexel_ll_exe_cmd(dev_, 0, 0xB0, 0, buf, sizeof buf, 1000), 0);
    EXPECT_TRUE(log_.has("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: "));
    EXPECT_EQ(buf[1], 0xC0);  // what did arrive is still copied
    EXPECT_EQ(buf[2], 3);
}

// The host waits for a command as long as its own time-out: one the camera completes late,
// within it, succeeds and has its effect; one later than that (and than the second the host
// gives a cancelled transfer to report), or never completed, times out with the documented
// messages. Either way the next command works.
TEST_F(CommandTest, CommandsAreWaitedForUpToTheirOwnTimeOut) {
    const struct {
        int slow_ms;  // -1: never completes
        uint32_t timeout_ms;
    } cases[] = {{-1, 2000}, {1400, 2000}, {2600, 1000}};  // past the time-out and the cancel's grace
    const char* const msgs[] = {"[WRN] [usb_ll_exe_cmd] contrl trans timeout , cancel it\n",
                                "[ERR] [usb_ll_exe_cmd] control transfer timeout !\n",
                                "exe usb cmd failed: LIBUSB_ERROR_TIMEOUT"};
    uint8_t fps = 20;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.slow_ms) + " ms late, time-out " + std::to_string(c.timeout_ms));
        const bool ok = c.slow_ms >= 0 && uint32_t(c.slow_ms) < c.timeout_ms;
        cam_->set_faults([&](vxsim::Faults& f) {
            f.hang_control = c.slow_ms < 0;
            f.slow_command = c.slow_ms >= 0;
            f.slow_command_ms = unsigned(std::max(c.slow_ms, 0));
        });
        int before[3];
        for (int i = 0; i < 3; ++i) before[i] = log_.count(msgs[i]);
        vexel_ll_param_rec rec{12, 4, {++fps, 0, 0, 0}};
        const auto t0 = Clock::now();
        EXPECT_EQ(vexel_ll_exe_cmd(dev_, 1, 0xC0, 3, &rec, sizeof rec, int(c.timeout_ms)), ok ? 1 : 0);
        EXPECT_GE(ms_since(t0), ok ? c.slow_ms - 5.0 : c.timeout_ms - 50.0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(log_.count(msgs[i]) - before[i], ok ? 0 : 1) << msgs[i];
        EXPECT_TRUE(!ok || vexel_ll_check_last_cmd(dev_, 0xC0, 3) == 1);
        ASSERT_EQ(vexel_ll_param_set(dev_, &rec, 1), 1);
        vexel_ll_param_rec back{12};
        ASSERT_EQ(vexel_ll_param_get(dev_, &back, 1), 1);
        EXPECT_EQ(back.val[0], fps);
    }
}

TEST_F(CommandTest, ClosedRecordReportsMissingHandler) {
    vexel_ll_dev closed = *dev_;
    closed.priv = nullptr;
    uint32_t v = 0;
    EXPECT_EQ(vexel_ll_reg_read(&closed, kTarget, 0, &v, 1), 0);
    EXPECT_EQ(vexel_ll_check_last_cmd(&closed, 0xC0, 0), 0);
    EXPECT_EQ(vexel_ll_dev_reset(&closed, 0), 0);
    EXPECT_EQ(log_.count("[ERR] [usb_ll_exe_cmd]  USB handler Is NULL!\r\n"), 3);
    EXPECT_TRUE(cam_->command_log().empty());
}

TEST_F(CommandTest, ResetOfOtherTargetsIsACheckedCommand) {
    ASSERT_EQ(vexel_ll_dev_reset(dev_, 1), 1);
    const auto w = commands(*cam_, 0xC0, 0, true);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(status_queries(*cam_), 1);
    EXPECT_EQ(vexel_ll_dev_reset(dev_, 9), 0);  // the camera refuses it
}

TEST_F(CommandTest, UsbResetReopensTheRecordInPlace) {
    const uint8_t old_addr = cam_->address();
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_ll_dev_reset(dev_, 3), 1);
    // The camera is away for 600 ms; the record comes back on a 200 ms retry.
    EXPECT_GE(ms_since(t0), 600.0);
    EXPECT_LT(ms_since(t0), 2500.0);
    ASSERT_NE(dev_->priv, nullptr);
    EXPECT_NE(cam_->address(), old_addr);
    EXPECT_FALSE(log_.has("reopen device failed"));
    EXPECT_EQ(status_queries(*cam_), 0);  // nothing is asked of a camera that is leaving
    vexel_ll_param_rec rec{3};
    EXPECT_EQ(vexel_ll_param_get(dev_, &rec, 1), 1);
    EXPECT_EQ(cam_->clients(), 1);
}

TEST_F(CommandTest, UsbResetOfARecordNotOpenStillRetriesTheOpen) {
    vexel_ll_dev_close(dev_);
    vexel_ll_dev listed[1];
    ASSERT_EQ(vexel_ll_dev_list(listed, 1), 1);
    vexel_ll_dev& d = rec(&listed[0]);
    EXPECT_EQ(vexel_ll_dev_reset(&d, 3), 1);  // the command and the close find nothing; the open works
    EXPECT_EQ(log_.count("[ERR] [usb_ll_exe_cmd]  USB handler Is NULL!\r\n"), 1);
    EXPECT_EQ(log_.count("[WRN] [usb_ll_dev_close] device no need to closed!\n"), 1);
    ASSERT_NE(d.priv, nullptr);
}

TEST_F(CommandTest, UsbResetReportsACameraThatStaysAway) {
    cam_->unplug();
    ASSERT_TRUE(cam_->wait_until([](const vxsim::Camera& c) { return !c.attached(); }));
    const auto t0 = Clock::now();
    EXPECT_EQ(vexel_ll_dev_reset(dev_, 3), 0);
    EXPECT_GE(ms_since(t0), 3000.0);
    EXPECT_EQ(log_.count("[WRN] [usb_ll_dev_reset] reopen device failed!\n"), 1);
    vexel_ll_dev_close(dev_);  // releases what is left of the record
    EXPECT_EQ(dev_->priv, nullptr);
}

}  // namespace
}  // namespace vxt
