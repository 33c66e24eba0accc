// The device core against the simulated camera: real libusb, real transport.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <mutex>

#include <gtest/gtest.h>

#include <vexel/vexel.h>

#include "core/device.hpp"
#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

using namespace std::chrono_literals;

template <class Pred>
bool wait_for(Pred&& pred, std::chrono::milliseconds timeout = 5s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}
using vxtest::console_of;
using vxtest::contains;

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx_log_disable();
        vx_log_enable(VX_LOG_CONSOLE, 5, nullptr);
    }
    vxsim::Camera& add(const std::string& product, uint8_t port = 0) {
        vxsim::CameraOptions o;
        o.product = product;
        o.port = port;
        return tb_.add_camera(o);
    }
    vxsim::Testbed tb_;
};

TEST_F(DeviceTest, ListRejectsBadArgumentsAndFillsRecords) {
    add("A-T0-1");
    add("A-E2-2.0");
    std::string out = console_of([] {
        EXPECT_EQ(vexel_dev_list(nullptr, 4), 0);
        vexel_dev one{};
        EXPECT_EQ(vexel_dev_list(&one, 0), 0);
    });
    EXPECT_TRUE(contains(out, "wrong params: dev_list=(nil), dev_list_num=4")) << out;
    EXPECT_TRUE(contains(out, "dev_list_num=0")) << out;

    vexel_dev list[4];
    std::memset(static_cast<void*>(list), 0xAB, sizeof list);
    ASSERT_EQ(vexel_dev_list(list, 4), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i].handle, nullptr);
        EXPECT_EQ(list[i].valid, 1);
        EXPECT_EQ(list[i].bus, 1);
        EXPECT_EQ(list[i].product[0], '\0');  // identification comes with the open
    }
    EXPECT_NE(list[0].port, list[1].port);
    EXPECT_EQ(list[2].valid, 0);  // untouched capacity is zeroed
    EXPECT_EQ(list[3].handle, nullptr);
}

TEST_F(DeviceTest, OpenListedRecordReadsIdentification) {
    vxsim::CameraOptions o;
    o.product = "A-E2-2.0";
    o.serial = "SN-1234";
    o.firmware_version = 0x0207;
    vxsim::Camera& cam = tb_.add_camera(o);

    vexel_dev list[2];
    ASSERT_EQ(vexel_dev_list(list, 2), 1);
    ASSERT_EQ(vexel_dev_open(&list[0]), &list[0]);
    ASSERT_NE(list[0].handle, nullptr);
    EXPECT_STREQ(list[0].product, "A-E2-2.0");
    EXPECT_EQ(std::string(list[0].dev_id), std::string(reinterpret_cast<const char*>(cam.param(2).data())).substr(0, 18));
    uint16_t words[4];
    std::memcpy(words, list[0].version, sizeof words);
    EXPECT_EQ(words[1], 0x0207);
    const std::vector<uint8_t> info = cam.param(5);
    EXPECT_EQ(0, std::memcmp(list[0].dev_info, info.data(), std::min<size_t>(info.size(), 18)));
    EXPECT_EQ(list[0].port, cam.port());
    EXPECT_EQ(list[0].path_prefix, vexel_path_get());
    EXPECT_EQ(list[0].busy, 0);

    vexel_driver_entry* drv = vexel_dev_get_drv(&list[0]);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->family, "E2");
    EXPECT_EQ(drv->ops, &g_vexel_driver_op_epc);
    vexel_dev_close(&list[0]);
    EXPECT_EQ(list[0].handle, nullptr);
}

TEST_F(DeviceTest, DriverChoiceByFamilyField) {
    struct Case {
        const char* product;
        const vexel_driver_op* ops;
    } cases[] = {{"A-E2-2.0", &g_vexel_driver_op_epc}, {"A-E1-1", &g_vexel_driver_op_epc},
                 {"A-E3-1", &g_vexel_driver_op_epc},   {"A-T0-1", &g_vexel_driver_op_ti},
                 {"A-E4-1", nullptr},                 {"AE2", nullptr},
                 {"A-E2", nullptr}};
    for (const Case& c : cases) {
        vexel_dev d{};
        std::strncpy(d.product, c.product, sizeof d.product - 1);
        vexel_driver_entry* e = vexel_drv_find(&d);
        EXPECT_EQ(e ? e->ops : nullptr, c.ops) << c.product;
    }
    vexel_dev d{};
    std::strcpy(d.product, "A-T0-1");
    EXPECT_STREQ(vexel_drv_find(&d)->name, "TI OP8241 chip driver");
}

TEST_F(DeviceTest, UnknownProductFailsNamingIt) {
    vxsim::Camera& cam = add("A-E4-1");
    vexel_dev d{};
    std::string out = console_of([&] { EXPECT_EQ(vexel_dev_open(&d), nullptr); });
    EXPECT_TRUE(contains(out, "cannot find driver for device: product=A-E4-1")) << out;
    EXPECT_EQ(d.handle, nullptr);
    // The transport was closed again: nobody holds the interface.
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.claimed_interfaces().empty(); }, 2s));
}

TEST_F(DeviceTest, FailedIdentificationClosesTheTransport) {
    vxsim::Camera& cam = add("A-T0-1");
    cam.set_faults([](vxsim::Faults& f) { f.fail_next = "no identity today"; });
    vexel_dev d{};
    std::string out = console_of([&] { EXPECT_EQ(vexel_dev_open(&d), nullptr); });
    EXPECT_TRUE(contains(out, "cannot get info of device")) << out;
    EXPECT_EQ(d.handle, nullptr);
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.claimed_interfaces().empty(); }, 2s));
    // and a later open works
    ASSERT_EQ(vexel_dev_open(&d), &d);
    vexel_dev_close(&d);
}

TEST_F(DeviceTest, DefaultRecordOpensOnceUntilClosed) {
    add("A-T0-1");
    vexel_dev* d = vexel_dev_open(nullptr);
    ASSERT_NE(d, nullptr);
    std::string out = console_of([] { EXPECT_EQ(vexel_dev_open(nullptr), nullptr); });
    EXPECT_TRUE(contains(out, "default device may not close properly!")) << out;
    vexel_dev_close(d);
    vexel_dev* again = vexel_dev_open(nullptr);
    EXPECT_EQ(again, d);
    vexel_dev_close(again);
}

TEST_F(DeviceTest, ReopenOfUnclosedRecordClosesFirst) {
    add("A-T0-1");
    vexel_dev d{};
    ASSERT_EQ(vexel_dev_open(&d), &d);
    vexel_dev_handle* first = d.handle;
    std::string out = console_of([&] { EXPECT_EQ(vexel_dev_open(&d), &d); });
    EXPECT_TRUE(contains(out, "[WRN] [vexel_dev_open] device not close correctly. close it..")) << out;
    ASSERT_NE(d.handle, nullptr);
    EXPECT_EQ(d.handle->open.load(), 1);
    (void)first;
    vexel_dev_close(&d);
}

TEST_F(DeviceTest, ResetRejectsTargetAboveEightAndNeedsOpenDevice) {
    add("A-T0-1");
    vexel_dev d{};
    std::string out = console_of([&] { EXPECT_EQ(vexel_dev_reset(&d, 1), 0); });
    EXPECT_TRUE(contains(out, "[vexel_dev_reset]  Device handler Is NULL!\r\n")) << out;
    ASSERT_EQ(vexel_dev_open(&d), &d);
    out = console_of([&] { EXPECT_EQ(vexel_dev_reset(&d, 9), 0); });
    EXPECT_TRUE(contains(out, "rest device (target=9)")) << out;
    EXPECT_TRUE(contains(out, "wrong reset target: 9")) << out;
    EXPECT_EQ(vexel_dev_reset(&d, 1), 1);
    EXPECT_EQ(vexel_dev_reset(&d, 8), 1);  // the last legal target
    vexel_dev_close(&d);
}

TEST_F(DeviceTest, ParameterBatchesConvertAndLog) {
    vxsim::Camera& cam = add("A-T0-1");
    vexel_dev d{};
    ASSERT_EQ(vexel_dev_open(&d), &d);
    cam.clear_logs();

    vexel_param_item set[2] = {};
    set[0].param_id = 0x10C;  // only the low 8 bits travel
    set[0].param_len = 4;
    const uint32_t fps = 15;
    std::memcpy(set[0].param_val, &fps, 4);
    set[1].param_id = 12;
    set[1].param_len = 4;
    const uint32_t fps2 = 25;
    std::memcpy(set[1].param_val, &fps2, 4);
    std::string out = console_of([&] { EXPECT_EQ(vexel_param_batch_set(&d, set, 2), 1); });
    EXPECT_TRUE(contains(out, "[_vexel_param_batch_set] Set FPS:25")) << out;
    EXPECT_FALSE(contains(out, "Set FPS:15")) << out;
    EXPECT_TRUE(contains(out, "set 2 param")) << out;
    const auto writes = cam.write_log();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].kind, vxsim::WriteRecord::param);
    EXPECT_EQ(writes[0].index, 12u);
    EXPECT_EQ(writes[0].value, 15u);
    EXPECT_EQ(writes[1].value, 25u);

    vexel_param_item get{};
    get.param_id = 12;
    get.param_len = 9;  // the camera's length replaces it
    get.reserved = 0x5A;
    out = console_of([&] { EXPECT_EQ(vexel_param_batch_get(&d, &get, 1), 1); });
    EXPECT_TRUE(contains(out, "[_vexel_param_batch_get] get 1 param")) << out;
    EXPECT_EQ(get.param_len, 4);
    uint32_t v;
    std::memcpy(&v, get.param_val, 4);
    EXPECT_EQ(v, 25u);
    EXPECT_EQ(get.param_id, 12u);
    EXPECT_EQ(get.reserved, 0x5A);

    // An empty batch is the transport's to answer: logged, and true.
    int empty[2] = {};
    out = console_of([&] { empty[0] = vexel_param_batch_get(&d, nullptr, 0), empty[1] = vexel_param_batch_set(&d, nullptr, 0); });
    EXPECT_TRUE(empty[0] == 1 && empty[1] == 1 && contains(out, "get 0 param") && contains(out, "set 0 param")) << out;

    // A failed read leaves the caller's items as they were.
    vexel_param_item keep = get;
    cam.set_faults([](vxsim::Faults& f) { f.fail_next = "param read refused"; });
    EXPECT_EQ(vexel_param_batch_get(&d, &keep, 1), 0);
    EXPECT_EQ(0, std::memcmp(&keep, &get, sizeof keep));
    vexel_dev_close(&d);

    out = console_of([&] { EXPECT_EQ(vexel_param_batch_get(&d, &keep, 1), 0); });
    EXPECT_TRUE(contains(out, "[vexel_param_batch_get]  Device handler Is NULL!")) << out;
}

TEST_F(DeviceTest, RegisterBatchesRoundTripAndRefuseOversizedCounts) {
    vxsim::Camera& cam = add("A-T0-1");
    vexel_dev d{};
    ASSERT_EQ(vexel_dev_open(&d), &d);
    const uint32_t vals[3] = {0x11, 0x22, 0x33};
    ASSERT_EQ(vexel_reg_batch_write(&d, 1, 200, vals, 3), 1);
    EXPECT_EQ(cam.reg(1, 201), 0x22u);
    uint32_t back[3] = {};
    ASSERT_EQ(vexel_reg_batch_read(&d, 1, 200, back, 3), 1);
    EXPECT_EQ(0, std::memcmp(vals, back, sizeof vals));

    cam.clear_logs();
    std::vector<uint32_t> big(65536, 0);
    std::string out = console_of([&] { EXPECT_EQ(vexel_reg_batch_write(&d, 1, 0, big.data(), 65536), 0); });
    EXPECT_TRUE(contains(out, "reg_cnt=0,")) << out;  // the trace shows what the wire would carry
    EXPECT_TRUE(contains(out, "[vexel_reg_batch_write] too many registers")) << out;
    EXPECT_TRUE(cam.write_log().empty());
    // 65535 is the core's last count: the transport gets it (and refuses it by its own bound).
    out = console_of([&] { EXPECT_EQ(vexel_reg_batch_write(&d, 1, 0, big.data(), 65535), 0); });
    EXPECT_FALSE(contains(out, "[vexel_reg_batch_write] too many registers")) << out;
    EXPECT_TRUE(contains(out, "[usb_ll_reg_write] too many registers: 65535")) << out;
    vexel_dev_close(&d);
}

TEST_F(DeviceTest, TwoCamerasOfOneFamilyKeepSeparateDriverState) {
    add("A-T0-1");
    add("A-T0-1");
    vexel_dev list[2];
    ASSERT_EQ(vexel_dev_list(list, 2), 2);
    ASSERT_EQ(vexel_dev_open(&list[0]), &list[0]);
    ASSERT_EQ(vexel_dev_open(&list[1]), &list[1]);
    vexel_driver_entry* a = vexel_dev_get_drv(&list[0]);
    vexel_driver_entry* b = vexel_dev_get_drv(&list[1]);
    ASSERT_NE(a, b);
    EXPECT_EQ(a->dev, &list[0]);
    EXPECT_EQ(b->dev, &list[1]);
    EXPECT_EQ(vexel_drv_find(&list[0])->dev, nullptr);  // the registry row itself stays constant
    vexel_dev_close(&list[0]);
    EXPECT_EQ(b->dev, &list[1]);
    uint32_t r = 0;
    EXPECT_EQ(vexel_reg_batch_read(&list[1], 1, 129, &r, 1), 1);  // the other camera still works
    vexel_dev_close(&list[1]);
}

TEST_F(DeviceTest, CloseWaitsForACallInsideTheHandle) {
    vxsim::Camera& cam = add("A-T0-1");
    vexel_dev d{};
    ASSERT_EQ(vexel_dev_open(&d), &d);
    cam.set_faults([](vxsim::Faults& f) { f.hang_control = 1; });

    std::atomic<bool> inside{false};
    std::atomic<int> result{-1};
    std::thread caller([&] {
        vexel_param_item item{};
        item.param_id = 12;
        inside = true;
        result = vexel_param_batch_get(&d, &item, 1);  // the control transfer never completes: ~1 s
    });
    while (!inside) std::this_thread::yield();
    EXPECT_TRUE(wait_for([&] { return std::atomic_ref<uint8_t>(d.busy).load() == 1; }));
    const auto t0 = std::chrono::steady_clock::now();
    vexel_dev_close(&d);
    // Close returned only after the call gave up on its transfer (about a second in).
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_EQ(d.handle, nullptr);
    caller.join();
    EXPECT_EQ(result.load(), 0);

    // Calls on the closed record are refused cleanly.
    uint32_t r;
    EXPECT_EQ(vexel_reg_batch_read(&d, 1, 0, &r, 1), 0);
}

TEST_F(DeviceTest, FreeOnCloseReleasesTheRecord) {
    add("A-T0-1");
    auto* d = static_cast<vexel_dev*>(std::calloc(1, sizeof(vexel_dev)));
    d->free_on_close = 1;
    ASSERT_EQ(vexel_dev_open(d), d);
    vexel_dev_close(d);  // ASan reports a leak if the record is not released

    auto* bad = static_cast<vexel_dev*>(std::calloc(1, sizeof(vexel_dev)));
    bad->free_on_close = 1;
    bad->valid = 1;
    bad->bus = 9;  // no such camera: the failed open releases it too
    EXPECT_EQ(vexel_dev_open(bad), nullptr);
}

// Hot-plug: the cameras there are reported at registration, on the caller's thread; a camera
// that leaves and comes back is reported with its serial both times, and can be opened by it
// again; a deregistered callback hears nothing more, also when it deregisters itself.
TEST_F(DeviceTest, HotplugReportsArrivalsAndDeparturesWithTheSerial) {
    vxsim::CameraOptions o;
    o.product = "A-T0-1";
    o.serial = "HP-A";
    tb_.add_camera(o);
    o.serial = "HP-B";
    vxsim::Camera& b = tb_.add_camera(o);
    struct Seen {
        std::mutex mu;
        std::vector<std::pair<int, std::string>> events;
        std::vector<vexel_hotplug_event> raw;
        std::thread::id thread;
        size_t count() {
            std::lock_guard l(mu);
            return events.size();
        }
    } seen, self_stop;
    auto record = [](const vexel_hotplug_event* ev, void* user) {
        auto* s = static_cast<Seen*>(user);
        std::lock_guard l(s->mu);
        s->events.emplace_back(ev->kind, ev->serial);
        s->raw.push_back(*ev);
        s->thread = std::this_thread::get_id();
    };
    EXPECT_EQ(vexel_hotplug_register(nullptr, nullptr), 0);
    const int id = vexel_hotplug_register(record, &seen);
    ASSERT_GT(id, 0);
    {
        std::lock_guard l(seen.mu);
        using E = std::vector<std::pair<int, std::string>>;
        EXPECT_EQ(seen.events, (E{{VEXEL_HOTPLUG_ARRIVED, "HP-A"}, {VEXEL_HOTPLUG_ARRIVED, "HP-B"}}));
        EXPECT_EQ(seen.thread, std::this_thread::get_id());
        EXPECT_EQ(seen.raw[1].port, b.port());
        EXPECT_EQ(seen.raw[1].addr, b.address());
    }
    // A callback that deregisters itself at its first event from the watch thread.
    static int self_id = 0;
    self_id = vexel_hotplug_register(
        [](const vexel_hotplug_event* ev, void* user) {
            auto* s = static_cast<Seen*>(user);
            if (ev->kind == VEXEL_HOTPLUG_LEFT) {
                EXPECT_EQ(vexel_hotplug_deregister(self_id), 1);
            }
            std::lock_guard l(s->mu);
            s->events.emplace_back(ev->kind, ev->serial);
        },
        &self_stop);
    ASSERT_GT(self_id, 0);

    const uint8_t old_addr = b.address();
    b.unplug();
    ASSERT_TRUE(wait_for([&] { return seen.count() == 3; }));
    b.replug();
    ASSERT_TRUE(wait_for([&] { return seen.count() == 4; }));
    {
        std::lock_guard l(seen.mu);
        EXPECT_EQ(seen.events[2], std::make_pair(int{VEXEL_HOTPLUG_LEFT}, std::string("HP-B")));
        EXPECT_EQ(seen.raw[2].addr, old_addr);
        EXPECT_EQ(seen.events[3], std::make_pair(int{VEXEL_HOTPLUG_ARRIVED}, std::string("HP-B")));
        EXPECT_NE(seen.thread, std::this_thread::get_id());
        EXPECT_EQ(seen.raw[3].addr, b.address());
    }
    vexel_dev d{};
    ASSERT_EQ(vexel_dev_open_serial(&d, "HP-B"), &d);
    EXPECT_EQ(d.addr, b.address());
    vexel_dev_close(&d);
    EXPECT_EQ(self_stop.count(), 3u);  // two arrivals, the departure; not the return

    EXPECT_EQ(vexel_hotplug_deregister(id), 1);
    EXPECT_EQ(vexel_hotplug_deregister(id), 0);
    b.unplug();
    std::this_thread::sleep_for(1500ms);  // more than a scan period: nothing may arrive
    EXPECT_EQ(seen.count(), 4u);
}

// Open by serial: the camera with that USB serial, whichever its bus position; again after it
// left and came back at a new address; nothing for a serial no camera has, or without one.
TEST_F(DeviceTest, OpenBySerialFindsTheCameraWhereverItIs) {
    vxsim::CameraOptions o;
    o.product = "A-T0-1";
    o.serial = "SER-A";
    vxsim::Camera& a = tb_.add_camera(o);
    o.serial = "SER-B";
    vxsim::Camera& b = tb_.add_camera(o);
    vexel_dev d{};
    for (vxsim::Camera* cam : {&b, &a}) {
        ASSERT_EQ(vexel_dev_open_serial(&d, cam->options().serial.c_str()), &d);
        EXPECT_EQ(d.port, cam->port());
        EXPECT_EQ(d.addr, cam->address());
        EXPECT_EQ(cam->clients(), 1);
    }
    vexel_dev_close(&d);
    b.reenumerate(50);
    ASSERT_TRUE(b.wait_until([&](const vxsim::Camera& c) { return c.attached() && c.address() != d.addr; }));
    ASSERT_EQ(vexel_dev_open_serial(&d, "SER-B"), &d);
    EXPECT_EQ(d.addr, b.address());
    vexel_dev_close(&d);

    vexel_dev none{};
    const std::string out = console_of([&] {
        EXPECT_EQ(vexel_dev_open_serial(&none, "SER-"), nullptr);  // a prefix is not the serial
        EXPECT_EQ(vexel_dev_open_serial(&none, ""), nullptr);
        EXPECT_EQ(vexel_dev_open_serial(&none, nullptr), nullptr);
        EXPECT_EQ(vexel_dev_open_serial(nullptr, "SER-A"), nullptr);
    });
    EXPECT_TRUE(contains(out, "no camera with serial SER-")) << out;
    EXPECT_EQ(none.handle, nullptr);
}

}  // namespace
