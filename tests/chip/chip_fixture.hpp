// Shared set-up of the chip suites: fresh process-wide chip state, a private path prefix
// directory, and capture of what the chip library prints or logs.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/chip.h>
#include <vexel/log.h>
#include <vexel/path.h>

#include "chip/chip.hpp"
#include "core/path.hpp"

namespace chiptest {

namespace fs = std::filesystem;

class ChipTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx::chip::reset_all();
        dir_ = fs::temp_directory_path() /
               ("vexel_chip_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ASSERT_EQ(vexel_path_cfg((dir_.string() + "/").c_str()), 0);
    }
    void TearDown() override {
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr);
        vx::reset_path_prefix();
        fs::remove_all(dir_);
        vx::chip::reset_all();
    }

    // Standard output of `fn`, with the console log opened down to debug messages.
    static std::string output_of(const std::function<void()>& fn) {
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_DBG, nullptr);
        ::testing::internal::CaptureStdout();
        fn();
        std::string out = ::testing::internal::GetCapturedStdout();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr);
        return out;
    }

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    static void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    fs::path dir_;
};

// A camera's identity as the calibration file names carry it (wafer 7, chip 42, device address
// 32) and the clock table of the power-on registers (36000, 24000, 12000, ... kHz).
class ChipFiles : public ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        configSetWaferID(7);
        configSetChipID(42);
        configSetDeviceAddress(32);
        vx::chip::config().freqs = vx::chip::freq_table(23, 0);
    }
    std::string param_path() const {
        char name[VX_CHIP_NAME_MAX];
        calibrationGetParamName(name);
        return file(name);
    }
    std::string images_path() const {
        char name[VX_CHIP_NAME_MAX];
        calibrationGetDistanceImagesName(name);
        return file(name);
    }
};

// Little-endian field builder for calibration files.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    Bytes& f64(double v) {
        uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
        return *this;
    }
};

}  // namespace chiptest
