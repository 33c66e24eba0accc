// Discovery, open and close against the simulated camera.
#include "tests/transport/sim_fixture.hpp"

namespace vxt {
namespace {

using DiscoveryTest = SimTest;

TEST_F(DiscoveryTest, ListsCamerasUpToCapacity) {
    vxsim::Camera& a = add();
    vxsim::Camera& b = add();

    vexel_ll_dev one[1];
    ASSERT_EQ(vexel_ll_dev_list(one, 1), 1);

    vexel_ll_dev list[4];
    std::memset(list, 0xA5, sizeof list);
    ASSERT_EQ(vexel_ll_dev_list(list, 4), 2);
    // Capacity 1 stops at the first camera in enumeration order.
    EXPECT_EQ(one[0].bus, list[0].bus);
    EXPECT_EQ(one[0].port, list[0].port);

    std::vector<std::pair<int, int>> found, expected = {{a.bus(), a.port()}, {b.bus(), b.port()}};
    for (int i = 0; i < 2; ++i) {
        const vexel_ll_dev& r = list[i];
        EXPECT_EQ(r.valid, 1);
        EXPECT_EQ(r.ops, &ll_op_usb);
        EXPECT_EQ(r.priv, nullptr);
        EXPECT_EQ(r.fd, 0);
        EXPECT_EQ(r.speed, LIBUSB_SPEED_HIGH);
        const vxsim::Camera& cam = r.port == a.port() && r.bus == a.bus() ? a : b;
        EXPECT_EQ(r.addr, cam.address());
        found.emplace_back(r.bus, r.port);
    }
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    // Unused capacity is cleared, not left as the caller had it.
    for (int i = 2; i < 4; ++i) {
        EXPECT_EQ(list[i].ops, nullptr);
        EXPECT_EQ(list[i].valid, 0);
    }
    EXPECT_TRUE(log_.has("VEXEL device (speed=3) found @"));
}

TEST_F(DiscoveryTest, OtherDevicesAreNeverListedNorOpened) {
    vxsim::CameraOptions other;
    other.usb_vendor = 0x046D;
    other.usb_product = 0xC52B;
    vxsim::Camera& stranger = add(other);
    other.usb_vendor = vxsim::kVendorId;  // right vendor, wrong product
    vxsim::Camera& cousin = add(other);
    vxsim::Camera& cam = add();

    vexel_ll_dev list[4];
    ASSERT_EQ(vexel_ll_dev_list(list, 4), 1);
    EXPECT_EQ(list[0].port, cam.port());
    EXPECT_TRUE(log_.has("[usb_ll_dev_list] probe vexel device (max=4) in 3 usb device\n"));

    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.port, cam.port());
    EXPECT_EQ(stranger.clients(), 0);
    EXPECT_EQ(cousin.clients(), 0);
}

TEST_F(DiscoveryTest, OpenFreshRecordTakesFirstCameraAndClaimsInterfaceZero) {
    vxsim::Camera& cam = add();
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.ops, &ll_op_usb);
    EXPECT_EQ(d.valid, 1);
    EXPECT_EQ(d.bus, cam.bus());
    EXPECT_EQ(d.port, cam.port());
    EXPECT_EQ(d.addr, cam.address());
    EXPECT_EQ(d.speed, LIBUSB_SPEED_HIGH);
    ASSERT_NE(d.priv, nullptr);
    EXPECT_EQ(cam.claimed_interfaces(), std::vector<int>{0});
    EXPECT_FALSE(log_.has("not in HS mode"));

    vexel_ll_dev_close(&d);
    EXPECT_EQ(d.priv, nullptr);
    EXPECT_EQ(d.ops, &ll_op_usb);  // identity and table stay: the record can be opened again
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.claimed_interfaces().empty(); }));
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
}

TEST_F(DiscoveryTest, ListedRecordIsFoundAgainAfterReenumeration) {
    vxsim::Camera& cam = add();
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_list(&d, 1), 1);
    const uint8_t old_addr = d.addr;
    cam.reenumerate(50);
    ASSERT_TRUE(
        cam.wait_until([&](const vxsim::Camera& c) { return c.attached() && c.address() != old_addr; }));

    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.addr, old_addr);  // matched by bus and port; the record is not rewritten
    EXPECT_EQ(cam.clients(), 1);
    vexel_ll_param_rec rec{12};
    EXPECT_EQ(vexel_ll_param_get(&d, &rec, 1), 1);
}

TEST_F(DiscoveryTest, DebugLevelAppliesToContextsOpenedAfterwards) {
    add();
    vexel_ll_dev& d = rec();
    vexel_ll_set_debug(0);  // libusb's debug level
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    vexel_ll_set_debug(5);  // none, as before the first call; the open context keeps its level
    vexel_ll_dev_close(&d);
    const std::string chatty = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(chatty.find("libusb: debug"), std::string::npos);

    ::testing::internal::CaptureStderr();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    vexel_ll_dev_close(&d);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(DiscoveryTest, FullSpeedCameraOpensWithWarning) {
    vxsim::CameraOptions o;
    o.speed_mbps = 12;
    add(o);
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.speed, LIBUSB_SPEED_FULL);
    EXPECT_EQ(log_.count("[WRN] [_usb_ll_dev_open] found vexel device not in HS mode (speed=2) @"), 1);
}

TEST_F(DiscoveryTest, BusyInterfaceZeroFallsBackToOne) {
    vxsim::CameraOptions o;
    o.interface0_busy = true;
    vxsim::Camera& cam = add(o);
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    const auto claimed = cam.claimed_interfaces();
    EXPECT_NE(std::find(claimed.begin(), claimed.end(), 1), claimed.end());
    EXPECT_FALSE(log_.has("libusb_claim_interface failed"));
}

TEST_F(DiscoveryTest, HostOpenedDescriptorIsRefusedSilently) {
    add();
    vexel_ll_dev& d = rec();
    d.fd = 5;
    EXPECT_EQ(vexel_ll_dev_open(&d), nullptr);
    EXPECT_EQ(vexel_ll_dev_open_by_fd(&d), nullptr);
    EXPECT_EQ(d.priv, nullptr);  // nothing allocated that no close would free
    d.ops = &ll_op_usb;
    vexel_ll_dev_close(&d);
    EXPECT_EQ(log_.text(), "");
    d.fd = 0;
    EXPECT_EQ(vexel_ll_dev_open_by_fd(&d), &d);
}

TEST_F(DiscoveryTest, FailedOpenLeavesNothingAndLaterOpenWorks) {
    vxsim::Camera& cam = add();
    cam.unplug();
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return !c.attached(); }));
    vexel_ll_dev& d = rec();
    EXPECT_EQ(vexel_ll_dev_open(&d), nullptr);
    EXPECT_EQ(d.priv, nullptr);
    EXPECT_EQ(d.ops, nullptr);

    cam.replug();
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.attached(); }));
    EXPECT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.ops, &ll_op_usb);
}

TEST_F(DiscoveryTest, SecondOpenOfAnOpenRecordKeepsTheFirst) {
    vxsim::Camera& cam = add();
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    void* priv = d.priv;
    EXPECT_EQ(vexel_ll_dev_open(&d), &d);
    EXPECT_EQ(d.priv, priv);
    EXPECT_EQ(cam.clients(), 1);
}

TEST_F(DiscoveryTest, IdleCloseIsQuickAndStopsTheEventThread) {
    vxsim::Camera& cam = add();
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    ASSERT_TRUE(eventually([&] { return vx::usb::priv_of(&d)->evt_running.load() == 1; }));
    std::this_thread::sleep_for(50ms);  // let the loop settle into its wait
    const auto t0 = Clock::now();
    vexel_ll_dev_close(&d);
    EXPECT_LT(ms_since(t0), 400.0);  // one event wait is 200 ms; the close interrupts it
    EXPECT_EQ(d.priv, nullptr);
    EXPECT_TRUE(eventually([&] { return cam.clients() == 0; }));  // dropped a moment after close
    EXPECT_EQ(log_.count("[_ll_event_loop] Exit ll event loop..."), 1);
    EXPECT_FALSE(log_.has("libusb reports error"));
}

TEST_F(DiscoveryTest, CloseOfUnopenedRecordOnlyWarns) {
    add();
    vexel_ll_dev& d = rec();
    ASSERT_EQ(vexel_ll_dev_list(&d, 1), 1);
    const vexel_ll_dev before = d;
    vexel_ll_dev_close(&d);
    EXPECT_EQ(log_.count("[WRN] [usb_ll_dev_close] device no need to closed!\n"), 1);
    EXPECT_EQ(d.priv, nullptr);
    EXPECT_EQ(d.ops, before.ops);
    EXPECT_EQ(d.valid, before.valid);
    EXPECT_EQ(d.addr, before.addr);

    ASSERT_EQ(vexel_ll_dev_open(&d), &d);
    vexel_ll_dev_close(&d);
    vexel_ll_dev_close(&d);
    EXPECT_EQ(log_.count("device no need to closed!"), 2);
}

}  // namespace
}  // namespace vxt
