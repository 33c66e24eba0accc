#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.hpp"
#include "test_util.hpp"
#include "transport/usb_debug.hpp"
#include <vexel/transport.h>

namespace fs = std::filesystem;

namespace {

using vxtest::slurp;

// Each test runs in a scratch directory with the library's initial thresholds restored.
class LogTest : public vxtest::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        vx_log_disable();
        vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
        vx_log_enable(VX_LOG_SLOT2, 5, nullptr);
    }
    void TearDown() override {
        vx_log_disable();
        vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
        ScratchDirTest::TearDown();
    }
};

TEST_F(LogTest, DefaultThresholdsRouteLevelsToChannels) {
    const std::string path = (dir_ / "a.log").string();
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 1, path.c_str()), 1);
    ::testing::internal::CaptureStdout();
    vx_log(3, "WRN", "[%s] warn %d\n", "t", 3);
    vx_log(1, "DBG", "[%s] debug\n", "t");
    vx_log(0, "TRC", "[%s] trace\n", "t");
    vx_log(5, "XXX", "never\n");
    vx_log(6, "SIX", "above five\n");  // only level 5 itself is never written
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string file = slurp(path);

    EXPECT_NE(out.find("[WRN] [t] warn 3\n"), std::string::npos);
    EXPECT_EQ(out.find("debug"), std::string::npos);
    EXPECT_NE(file.find("[WRN] [t] warn 3\n"), std::string::npos);
    EXPECT_NE(file.find("[DBG] [t] debug\n"), std::string::npos);
    EXPECT_EQ(file.find("trace"), std::string::npos);
    EXPECT_EQ(file.find("never"), std::string::npos);
    EXPECT_EQ(out.find("never"), std::string::npos);
    EXPECT_NE(out.find("[SIX] above five\n"), std::string::npos);
    EXPECT_NE(file.find("[SIX] above five\n"), std::string::npos);
}

TEST_F(LogTest, PrefixHasLocalTimeMillisecondsAndThreadId) {
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 0, nullptr), 1);  // default file name
    vx_log(2, "INF", "[%s] hello\n", "fn");
    vx_log_raw(2, "raw %d\n", 7);
    const std::string file = slurp("vx.log");
    const std::regex line(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[(\d+)\]\[INF\] \[fn\] hello\nraw 7\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(file, m, line)) << file;
    EXPECT_EQ(std::stoul(m[1]), static_cast<unsigned long>(::gettid()));
}

TEST_F(LogTest, FileSlotKeepsOrReopensByPointerIdentity) {
    std::string p1 = (dir_ / "same.log").string();
    std::string p2 = p1;  // same text, different pointer
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 1, p1.c_str()), 1);
    vx_log(1, "DBG", "one\n");
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 1, p1.c_str()), 1);  // kept: nothing reopened
    vx_log(1, "DBG", "two\n");
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 1, p2.c_str()), 1);  // reopened, appending
    vx_log(1, "DBG", "three\n");
    // null path with a file open keeps it and only changes the threshold
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 4, nullptr), 1);
    vx_log(3, "WRN", "filtered\n");
    vx_log(4, "ERR", "four\n");
    const std::string file = slurp(p1);
    const auto one = file.find("one"), two = file.find("two"), three = file.find("three"), four = file.find("four");
    ASSERT_NE(one, std::string::npos);
    ASSERT_NE(two, std::string::npos);
    ASSERT_NE(three, std::string::npos);
    ASSERT_NE(four, std::string::npos);
    EXPECT_TRUE(one < two && two < three && three < four);
    EXPECT_EQ(file.find("filtered"), std::string::npos);
    EXPECT_FALSE(fs::exists("vx.log"));
}

TEST_F(LogTest, DisableSilencesUntilReenabled) {
    const std::string path = (dir_ / "d.log").string();
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 0, path.c_str()), 1);
    EXPECT_EQ(vx_log_disable(), 0);  // fclose result
    EXPECT_EQ(vx_log_disable(), 0);  // nothing open
    ::testing::internal::CaptureStdout();
    vx_log(4, "ERR", "silent\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(slurp(path).find("silent"), std::string::npos);

    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 0, path.c_str()), 1);
    vx_log(4, "ERR", "back\n");
    EXPECT_NE(slurp(path).find("back"), std::string::npos);
}

TEST_F(LogTest, BadSlotAndUnopenableFileFail) {
    EXPECT_EQ(vx_log_enable(3, 0, nullptr), 0);
    EXPECT_EQ(vx_log_enable(VX_LOG_SLOT2, 0, nullptr), 1);  // settable, read by nobody
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vx_log_enable(VX_LOG_FILE, 0, "no/such/dir/x.log"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "cannot open file no/such/dir/x.log for write\n");
    EXPECT_TRUE(vx::log_enabled(3));
    EXPECT_FALSE(vx::log_enabled(2));  // the file slot has threshold 0 but no file
}

TEST_F(LogTest, ConcurrentThreadsWriteWholeLines) {
    const std::string path = (dir_ / "mt.log").string();
    ASSERT_EQ(vx_log_enable(VX_LOG_FILE, 0, path.c_str()), 1);
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) vx::logf(vx::kDbg, "[worker] t=%d i=%d payload-payload-payload\n", t, i);
        });
    for (auto& th : threads) th.join();

    std::ifstream in(path);
    const std::regex line(R"(^\d{4}/\d{2}/\d{2} [\d:.]+\[\d+\]\[DBG\] \[worker\] t=(\d) i=(\d+) payload-payload-payload$)");
    std::vector<int> next(kThreads, 0);
    std::string l;
    int count = 0;
    while (std::getline(in, l)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << "torn line: " << l;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines in its own order
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(ErrorName, NamedCodesAndUnknownNeighbours) {
    EXPECT_STREQ(vexel_error_name(0), "OK");
    EXPECT_STREQ(vexel_error_name(-5), "VEXEL_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(vexel_error_name(-7), "VEXEL_ERR_CAP_STALL");
    EXPECT_STREQ(vexel_error_name(-8), "VEXEL_ERR_CAP_ERROR");
    EXPECT_STREQ(vexel_error_name(-10), "VEXEL_ERR_CAP_UNKNOWN");
    EXPECT_STREQ(vexel_error_name(3), "VEXEL_ERR_CAP_FRAME_DISCARD");
    for (int code : {-11, -9, -6, -4, -3, -2, -1, 1, 2, 4, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(vexel_error_name(code), "**UNKNOWN**") << code;
}

TEST(TransportDebug, LevelMapping) {
    const int expected[] = {4, 4, 3, 2, 1, 0, 0};
    for (unsigned lvl = 0; lvl < 7; ++lvl) EXPECT_EQ(vx::usb::libusb_level_for(lvl), expected[lvl]) << lvl;
    EXPECT_EQ(vexel_log_cfg(3, 5, 2), 1);
    EXPECT_EQ(vx::usb::stored_debug_level(), 3);
    EXPECT_EQ(vexel_ll_set_debug(9), 1);
    EXPECT_EQ(vx::usb::stored_debug_level(), 0);
}

}  // namespace
