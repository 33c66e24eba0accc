// The C++ layer's recorder and a recording opened as a Device.
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/vexel.hpp>

#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

class HppRecord : public vxtest::ScratchDirTest {};

TEST_F(HppRecord, RecorderFileReplaysTheSameFramesAndRefusesWrites) {
    vxsim::Testbed tb;
    tb.add_camera({});
    vexel::Library lib(nullptr, VX_LOG_OFF);
    const std::string path = (dir_ / "cpp.vxr").string();
    // (frame index, bytes) of each frame the live run pulled.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> live;
    {
        vexel::Device cam = vexel::Device::open();
        vexel::Recorder rec(cam, path);
        EXPECT_THROW(vexel::Recorder(cam, path), vexel::Error) << "one recorder per device";
        {
            vexel::Capture cap(cam);
            for (int k = 0; k < 4; ++k) {
                const auto f = cam.next_frame();
                live.emplace_back(f.index(), std::vector<uint8_t>(f.raw().begin(), f.raw().end()));
            }
        }
        EXPECT_GT(rec.stats().file_bytes, 0u);
        const vexel_rec_stats st = rec.stop();
        EXPECT_GE(st.frames, 4u);
        EXPECT_EQ(rec.stop().frames, 0u) << "a second stop does nothing";
        vexel_play_info info{};
        EXPECT_FALSE(cam.playback(info));
    }
    EXPECT_THROW(vexel::Device::open_recording((dir_ / "none.vxr").string()), vexel::Error);
    // The recording's calibration lives in a directory of its own while it plays, and goes with
    // it; where the prefix points, files of the same names with other contents stay untouched.
    std::vector<std::filesystem::path> names;
    std::string own;
    {
        vexel::Device first = vexel::Device::open_recording(path);
        own = vexel_path_get();
        for (const auto& e : std::filesystem::directory_iterator(own)) names.push_back(e.path().filename());
    }
    ASSERT_FALSE(names.empty());
    EXPECT_FALSE(std::filesystem::exists(own));
    for (const auto& e : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename(), "cpp.vxr") << "the working directory holds the recording only";
    const auto other = dir_ / "other";
    std::filesystem::create_directories(other);
    for (const auto& n : names) {
        std::FILE* f = std::fopen((other / n).c_str(), "wb");
        ASSERT_TRUE(f);
        std::fputs("other", f);
        std::fclose(f);
    }
    ASSERT_EQ(vexel_path_cfg((other.string() + "/").c_str()), 0);
    vexel::Device rec = vexel::Device::open_recording(path);
    for (const auto& n : names) EXPECT_EQ(std::filesystem::file_size(other / n), 5u);
    EXPECT_EQ(rec.product(), "A-E2-1.0");
    vexel_play_info info{};
    ASSERT_TRUE(rec.playback(info));
    EXPECT_GE(info.frames, 4u);
    // A pull hands over the newest of the frames ready at once, so a slow live run skips frames
    // the recording holds: each live frame is looked for by its index among the replayed ones.
    std::vector<uint8_t> first_recorded;
    {
        vexel::Capture cap(rec);
        for (const auto& [index, want] : live) {
            auto f = rec.next_frame();
            if (first_recorded.empty()) first_recorded.assign(f.raw().begin(), f.raw().end());
            for (uint32_t k = 0; k < info.frames && f.index() != index; ++k) f = rec.next_frame();
            ASSERT_EQ(f.index(), index);
            EXPECT_TRUE(std::equal(f.raw().begin(), f.raw().end(), want.begin(), want.end()));
        }
    }
    rec.seek(0);
    EXPECT_THROW(rec.seek(info.frames), vexel::Error);
    vexel::Capture cap(rec);
    const auto first = rec.next_frame();
    EXPECT_TRUE(std::equal(first.raw().begin(), first.raw().end(), first_recorded.begin(), first_recorded.end()));
}

}  // namespace
