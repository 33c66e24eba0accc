// The vexel_ll_ entry points: dispatch through the record's table, null rules, narrowing.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/transport.h>

namespace {

// A second transport that records what reached it, so the entry layer is seen in isolation.
struct Seen {
    int calls = 0;
    unsigned is_write = 0, type = 0, value = 0, length = 0, target = 0, count = 0;
    uint32_t base = 0, timeout = 0, arg = 0;
    const void* data = nullptr;
    vexel_ll_dev* dev = nullptr;
};
Seen g_seen;

int rec_exe(vexel_ll_dev* d, uint8_t w, uint8_t t, uint16_t v, void* data, uint16_t len, uint32_t to) {
    g_seen = {g_seen.calls + 1, w, t, v, len, 0, 0, 0, to, 0, data, d};
    return 7;  // distinguishable from a boolean made up by the entry layer
}
int rec_check(vexel_ll_dev* d, uint8_t t, uint8_t v) {
    g_seen = {g_seen.calls + 1, 0, t, v};
    g_seen.dev = d;
    return 1;
}
int rec_reset(vexel_ll_dev* d, uint8_t target) {
    ++g_seen.calls;
    g_seen.target = target;
    g_seen.dev = d;
    return 1;
}
int rec_reg_write(vexel_ll_dev*, uint8_t target, uint32_t base, const uint32_t* v, uint16_t n) {
    g_seen = {g_seen.calls + 1, 0, 0, 0, 0, target, n, base};
    g_seen.data = v;
    return 1;
}
int rec_reg_read(vexel_ll_dev*, uint8_t target, uint32_t base, uint32_t* v, uint16_t n) {
    g_seen = {g_seen.calls + 1, 0, 0, 0, 0, target, n, base};
    g_seen.data = v;
    return 1;
}
int rec_param(vexel_ll_dev*, vexel_ll_param_rec* r, int n) {
    g_seen = {g_seen.calls + 1};
    g_seen.count = static_cast<unsigned>(n);
    g_seen.data = r;
    return 1;
}
int rec_cap_start(vexel_ll_dev*, uint32_t arg, vexel_ll_cap_cb, void*) {
    g_seen = {g_seen.calls + 1};
    g_seen.arg = arg;
    return 1;
}
int rec_cap_stop(vexel_ll_dev*) {
    return ++g_seen.calls, 1;
}
void rec_cap_abort(vexel_ll_dev*) {
    ++g_seen.calls;
}
void rec_close(vexel_ll_dev*) {
    ++g_seen.calls;
}
vexel_ll_dev* rec_open(vexel_ll_dev* d) {
    return ++g_seen.calls, d;
}

const vexel_ll_op kRecorder = {
    nullptr,   nullptr,       nullptr,      rec_open,      rec_open,      rec_close,
    nullptr,   rec_exe,       rec_check,    rec_cap_abort, rec_cap_start, rec_cap_stop,
    rec_reset, rec_reg_write, rec_reg_read, rec_param,     rec_param,
};

class LlEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen = {};
        std::memset(&dev_, 0, sizeof dev_);
        dev_.ops = &kRecorder;
    }
    vexel_ll_dev dev_;
};

// Every per-device call through a record that names no transport, as a list of thunks.
std::vector<int (*)(vexel_ll_dev*)> per_device_calls() {
    return {
        [](vexel_ll_dev* d) { return vexel_ll_dev_reset(d, 1); },
        [](vexel_ll_dev* d) {
            uint8_t b[4] = {};
            return vexel_ll_exe_cmd(d, 1, 0xC0, 0, b, 4, 1000);
        },
        [](vexel_ll_dev* d) { return vexel_ll_check_last_cmd(d, 0xC0, 0); },
        [](vexel_ll_dev* d) { return vexel_ll_cap_start(d, 0, nullptr, nullptr); },
        [](vexel_ll_dev* d) { return vexel_ll_cap_stop(d); },
        [](vexel_ll_dev* d) {
            uint32_t v = 1;
            return vexel_ll_reg_write(d, 1, 0, &v, 1);
        },
        [](vexel_ll_dev* d) {
            uint32_t v = 0;
            return vexel_ll_reg_read(d, 1, 0, &v, 1);
        },
        [](vexel_ll_dev* d) {
            vexel_ll_param_rec r{};
            return vexel_ll_param_set(d, &r, 1);
        },
        [](vexel_ll_dev* d) {
            vexel_ll_param_rec r{};
            return vexel_ll_param_get(d, &r, 1);
        },
    };
}

TEST_F(LlEntryTest, NullRecordOrNullTableGivesFalseWithoutDispatch) {
    vexel_ll_dev unlisted{};
    for (auto call : per_device_calls()) {
        EXPECT_EQ(call(nullptr), 0);
        EXPECT_EQ(call(&unlisted), 0);
    }
    vexel_ll_cap_abort(nullptr);
    vexel_ll_cap_abort(&unlisted);
    vexel_ll_dev_close(nullptr);
    vexel_ll_dev_close(&unlisted);
    EXPECT_EQ(vexel_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(vexel_ll_dev_open_by_fd(nullptr), nullptr);
    EXPECT_EQ(g_seen.calls, 0);
    EXPECT_EQ(unlisted.priv, nullptr);
}

TEST_F(LlEntryTest, PerDeviceCallsGoToTheRecordsTable) {
    int n = 0;
    for (auto call : per_device_calls()) {
        EXPECT_NE(call(&dev_), 0);
        EXPECT_EQ(g_seen.calls, ++n);
    }
    vexel_ll_cap_abort(&dev_);
    vexel_ll_dev_close(&dev_);
    EXPECT_EQ(vexel_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(vexel_ll_dev_open_by_fd(&dev_), &dev_);
    EXPECT_EQ(g_seen.calls, n + 4);
}

TEST_F(LlEntryTest, CommandArgumentsAreNarrowedBeforeDispatch) {
    uint8_t buf[8];
    EXPECT_EQ(vexel_ll_exe_cmd(&dev_, 0x100, 0x1C2, 0x12345, buf, 0x10014, 70000), 7);
    EXPECT_EQ(g_seen.dev, &dev_);
    EXPECT_EQ(g_seen.is_write, 0u);
    EXPECT_EQ(g_seen.type, 0xC2u);
    EXPECT_EQ(g_seen.value, 0x2345u);
    EXPECT_EQ(g_seen.length, 0x14u);
    EXPECT_EQ(g_seen.timeout, 70000u);
    EXPECT_EQ(g_seen.data, buf);

    EXPECT_EQ(vexel_ll_check_last_cmd(&dev_, 0x2C0, 0x304), 1);
    EXPECT_EQ(g_seen.type, 0xC0u);
    EXPECT_EQ(g_seen.value, 0x04u);

    EXPECT_EQ(vexel_ll_dev_reset(&dev_, 0x203), 1);
    EXPECT_EQ(g_seen.target, 3u);
}

TEST_F(LlEntryTest, BatchCountsTravelAsSixteenBitsAndBasesAsThirtyTwo) {
    uint32_t vals[4] = {};
    EXPECT_EQ(vexel_ll_reg_write(&dev_, 0x101, 0xFFFFFFF0u, vals, 0x10003), 1);
    EXPECT_EQ(g_seen.target, 1u);
    EXPECT_EQ(g_seen.count, 3u);
    EXPECT_EQ(g_seen.base, 0xFFFFFFF0u);
    EXPECT_EQ(g_seen.data, vals);

    EXPECT_EQ(vexel_ll_reg_read(&dev_, 0x1FF, 7, vals, 65536 + 65535), 1);
    EXPECT_EQ(g_seen.target, 0xFFu);
    EXPECT_EQ(g_seen.count, 65535u);

    // Parameter counts are not narrowed: the transport refuses what does not fit.
    vexel_ll_param_rec recs[1];
    EXPECT_EQ(vexel_ll_param_set(&dev_, recs, 70000), 1);
    EXPECT_EQ(g_seen.count, 70000u);
    EXPECT_EQ(vexel_ll_cap_start(&dev_, 0xDEADBEEF, nullptr, nullptr), 1);
    EXPECT_EQ(g_seen.arg, 0xDEADBEEFu);
}

TEST(LlGlobalTest, ListWithoutCapacityTouchesNothing) {
    vexel_ll_dev list[2];
    std::memset(list, 0xA5, sizeof list);
    EXPECT_EQ(vexel_ll_dev_list(list, 0), 0);
    EXPECT_EQ(vexel_ll_dev_list(list, -1), 0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(list);
    for (size_t i = 0; i < sizeof list; ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
}

TEST(LlGlobalTest, UsbTableIsCompleteAndInitIsFree) {
    const auto* slots = reinterpret_cast<void* const*>(&ll_op_usb);
    for (size_t i = 0; i < sizeof(vexel_ll_op) / sizeof(void*); ++i)
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    EXPECT_EQ(vexel_ll_init(), 1);
    vexel_ll_uninit();
}

}  // namespace
