// The vexel_ll_ entry points: dispatch through the record's table, null rules, narrowing.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/transport.h>

namespace {

// A second transport that records the arguments of the last call that reached it.
struct Seen {
    int calls = 0;
    std::vector<uint64_t> args;
};
Seen g_seen;

int note(std::vector<uint64_t> args) {
    ++g_seen.calls;
    g_seen.args = std::move(args);
    return 7;  // not a boolean the entry layer could have made up
}

int rec_exe(vexel_ll_dev*, uint8_t w, uint8_t t, uint16_t v, void*, uint16_t len, uint32_t to) {
    return note({w, t, v, len, to});
}
int rec_check(vexel_ll_dev*, uint8_t t, uint8_t v) {
    return note({t, v});
}
int rec_reset(vexel_ll_dev*, uint8_t target) {
    return note({target});
}
int rec_reg_write(vexel_ll_dev*, uint8_t t, uint32_t base, const uint32_t*, uint16_t n) {
    return note({t, base, n});
}
int rec_reg_read(vexel_ll_dev*, uint8_t t, uint32_t base, uint32_t*, uint16_t n) {
    return note({t, base, n});
}
int rec_param(vexel_ll_dev*, vexel_ll_param_rec*, int n) {
    return note({static_cast<uint64_t>(n)});
}
int rec_cap_start(vexel_ll_dev*, uint32_t arg, vexel_ll_cap_cb, void*) {
    return note({arg});
}
int rec_cap_stop(vexel_ll_dev*) {
    return note({});
}
void rec_cap_abort(vexel_ll_dev*) {
    note({});
}
void rec_close(vexel_ll_dev*) {
    note({});
}
vexel_ll_dev* rec_open(vexel_ll_dev* d) {
    return note({}), d;
}

const vexel_ll_op kRecorder = {
    nullptr,   nullptr,       nullptr,      rec_open,      rec_open,      rec_close,
    nullptr,   rec_exe,       rec_check,    rec_cap_abort, rec_cap_start, rec_cap_stop,
    rec_reset, rec_reg_write, rec_reg_read, rec_param,     rec_param,
};

// Every per-device call that returns a result.
std::vector<int (*)(vexel_ll_dev*)> per_device_calls() {
    static uint32_t v[1];
    static vexel_ll_param_rec r[1];
    return {
        [](vexel_ll_dev* d) { return vexel_ll_dev_reset(d, 1); },
        [](vexel_ll_dev* d) { return vexel_ll_exe_cmd(d, 1, 0xC0, 0, v, 4, 1000); },
        [](vexel_ll_dev* d) { return vexel_ll_check_last_cmd(d, 0xC0, 0); },
        [](vexel_ll_dev* d) { return vexel_ll_cap_start(d, 0, nullptr, nullptr); },
        [](vexel_ll_dev* d) { return vexel_ll_cap_stop(d); },
        [](vexel_ll_dev* d) { return vexel_ll_reg_write(d, 1, 0, v, 1); },
        [](vexel_ll_dev* d) { return vexel_ll_reg_read(d, 1, 0, v, 1); },
        [](vexel_ll_dev* d) { return vexel_ll_param_set(d, r, 1); },
        [](vexel_ll_dev* d) { return vexel_ll_param_get(d, r, 1); },
    };
}

class LlEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen = {};
        dev_.ops = &kRecorder;
    }
    vexel_ll_dev dev_{};
};

TEST_F(LlEntryTest, RecordWithoutTableGetsFalseAndNoDispatch) {
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
}

TEST_F(LlEntryTest, CallsGoToTheRecordsTableAndReturnItsResult) {
    int n = 0;
    for (auto call : per_device_calls()) {
        EXPECT_EQ(call(&dev_), 7);
        EXPECT_EQ(g_seen.calls, ++n);
    }
    vexel_ll_cap_abort(&dev_);
    vexel_ll_dev_close(&dev_);
    EXPECT_EQ(vexel_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(vexel_ll_dev_open_by_fd(&dev_), &dev_);
    EXPECT_EQ(g_seen.calls, n + 4);
}

TEST_F(LlEntryTest, NarrowArgumentsAreCutBeforeDispatch) {
    uint32_t buf[4];
    vexel_ll_exe_cmd(&dev_, 0x100, 0x1C2, 0x12345, buf, 0x10014, 70000);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{0, 0xC2, 0x2345, 0x14, 70000}));
    vexel_ll_check_last_cmd(&dev_, 0x2C0, 0x304);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{0xC0, 0x04}));
    vexel_ll_dev_reset(&dev_, 0x203);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{3}));
    vexel_ll_reg_write(&dev_, 0x101, 0xFFFFFFF0u, buf, 0x10003);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{1, 0xFFFFFFF0u, 3}));
    vexel_ll_reg_read(&dev_, 0x1FF, 7, buf, 65536 + 65535);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{0xFF, 7, 65535}));
    // Parameter counts and the start argument pass whole: the transport judges them.
    vexel_ll_param_set(&dev_, nullptr, 70000);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{70000}));
    vexel_ll_cap_start(&dev_, 0xDEADBEEF, nullptr, nullptr);
    EXPECT_EQ(g_seen.args, (std::vector<uint64_t>{0xDEADBEEF}));
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
