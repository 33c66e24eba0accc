#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <vexel/path.h>

#include "core/path.hpp"
#include "test_util.hpp"

namespace fs = std::filesystem;

namespace {

class PathTest : public vxtest::ScratchDirTest {
protected:
    void TearDown() override {
        vx::reset_path_prefix();
        ScratchDirTest::TearDown();
    }
};

TEST_F(PathTest, ChainIsCreatedAndTrailingSeparatorKept) {
    EXPECT_EQ(vexel_path_cfg("out/a/b/"), 0);
    EXPECT_TRUE(fs::is_directory("out"));
    EXPECT_TRUE(fs::is_directory("out/a"));
    EXPECT_TRUE(fs::is_directory("out/a/b"));
    EXPECT_STREQ(vexel_path_get(), "out/a/b/");
    EXPECT_EQ(vx::prefixed_path("lens_param.txt"), "out/a/b/lens_param.txt");
    EXPECT_EQ(vexel_path_cfg("out/a/b/"), 0);  // existing chain is fine
}

TEST_F(PathTest, BackslashesSeparateOnDiskButStayInTheText) {
    vx::reset_path_prefix();
    EXPECT_STREQ(vexel_path_get(), ".\\");
    EXPECT_EQ(vx::prefixed_path("lens_param.txt"), "./lens_param.txt");

    EXPECT_EQ(vexel_path_cfg("win\\cal\\"), 0);
    EXPECT_TRUE(fs::is_directory("win/cal"));
    EXPECT_FALSE(fs::exists("win\\cal"));
    EXPECT_STREQ(vexel_path_get(), "win\\cal\\");
    EXPECT_EQ(vx::prefixed_path("x.bin"), "win/cal/x.bin");
}

TEST_F(PathTest, LongPrefixIsCutAt255AndCreationFailureReported) {
    const std::string longp(300, 'p');
    vexel_path_cfg(longp.c_str());  // a 255-character name exceeds NAME_MAX; the text is still stored
    EXPECT_EQ(std::string(vexel_path_get()), longp.substr(0, 255));
    ASSERT_EQ(::close(::creat("file", 0644)), 0);
    EXPECT_NE(vexel_path_cfg("file/sub/"), 0);  // a file in the way: mkdir fails
}

}  // namespace
