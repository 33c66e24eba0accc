// Helpers shared by the suites: scratch directories, file contents, captured console output.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <vexel/log.h>

namespace vxtest {

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Runs `fn` with the console at trace level and returns what it printed; the console is
// silenced afterwards.
template <class Fn>
std::string console_of(Fn&& fn) {
    vx_log_enable(VX_LOG_CONSOLE, 0, nullptr);
    ::testing::internal::CaptureStdout();
    fn();
    std::string out = ::testing::internal::GetCapturedStdout();
    vx_log_enable(VX_LOG_CONSOLE, 5, nullptr);
    return out;
}

// A fixture that runs each test in a fresh directory of its own.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vexel_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_, old_cwd_;
};

}  // namespace vxtest
