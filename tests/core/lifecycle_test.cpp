#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <vexel/vexel.h>

#include "imgproc/cmap.hpp"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace {

using vxtest::slurp;

class LifecycleTest : public vxtest::ScratchDirTest {
protected:
    void TearDown() override {
        vexel_uninit();
        vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
        ScratchDirTest::TearDown();
    }
};

TEST_F(LifecycleTest, InitOpensTheDatedLogWithTheBannerAndTheColourMap) {
    vexel_path_cfg("elsewhere/");
    vexel_init(nullptr);
    char name[64];
    const time_t t = std::time(nullptr);
    struct tm lt {};
    localtime_r(&t, &lt);
    std::strftime(name, sizeof name, "vexel_%Y%m%d.log", &lt);
    const std::string log = slurp(name);
    const std::regex banner(R"(\[INF\] \[vexel_init\]  --- VEXEL v1\.40\(compile at [A-Z][a-z]{2} [ \d]\d \d{4} \d{2}:\d{2}:\d{2}\) log start -----\n)");
    EXPECT_TRUE(std::regex_search(log, banner)) << log;
    EXPECT_STREQ(vexel_path_get(), ".\\");  // init restores the default prefix
    ASSERT_NE(vx::library_cmap(), nullptr);
    EXPECT_EQ(vx::library_cmap()->count, 30000);

    vexel_uninit();
    EXPECT_NE(slurp(name).find("[vexel_uninit] ----- AL log END ----\n\n"), std::string::npos);
    vx_log(4, "ERR", "after uninit\n");
    EXPECT_EQ(slurp(name).find("after uninit"), std::string::npos);
}

TEST_F(LifecycleTest, OpenByDescriptorIsRefusedOnThisPlatform) {
    vexel_init("named.log");
    vexel_dev d{};
    d.fd = 5;
    EXPECT_EQ(vexel_dev_open_by_fd(&d), nullptr);
    EXPECT_NE(slurp("named.log").find("vexel_dev_open_by_fd currently only support in android!"), std::string::npos);
    EXPECT_EQ(d.handle, nullptr);
}

TEST_F(LifecycleTest, CallsOnRecordsThatWereNeverOpenedFailCleanly) {
    vexel_init("calls.log");
    vexel_dev d{};
    uint32_t v = 0;
    vexel_param_item item{};
    EXPECT_EQ(vexel_reg_batch_read(&d, 1, 0, &v, 1), 0);
    EXPECT_EQ(vexel_reg_batch_write(nullptr, 1, 0, &v, 1), 0);
    EXPECT_EQ(vexel_param_batch_get(&d, &item, 1), 0);
    EXPECT_EQ(vexel_param_batch_set(nullptr, &item, 1), 0);
    EXPECT_EQ(vexel_dev_reset(nullptr, 0), 0);
    EXPECT_EQ(vexel_cap_start(&d), 0);
    EXPECT_EQ(vexel_cap_stop(&d), 0);
    EXPECT_EQ(vexel_cap_get_frames(&d, 1, &v, 4, nullptr), -1);
    EXPECT_EQ(vexel_cap_get_frame(nullptr, &v, 4, nullptr), -1);
    EXPECT_EQ(vexel_cap_wait(&d, 10), 0);
    EXPECT_EQ(vexel_cap_is_ongoing(&d), 0);
    EXPECT_EQ(vexel_dev_get_drv(&d), nullptr);
    vexel_dev_close(&d);
    vexel_dev_close(nullptr);
    const std::string log = slurp("calls.log");
    EXPECT_NE(log.find("[vexel_reg_batch_read]  Device handler Is NULL!\r\n"), std::string::npos);
    EXPECT_NE(log.find("[vexel_param_batch_set]  Device handler Is NULL!\r\n"), std::string::npos);
    EXPECT_NE(log.find("[vexel_cap_start]  Device handler Is NULL!\r\n"), std::string::npos);
    EXPECT_NE(log.find("[_vexel_cap_get_frames] Wrong params\n"), std::string::npos);
}

}  // namespace
