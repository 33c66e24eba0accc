// Recording a simulated camera and playing the file back as a device: the same frames, gaps,
// errors and decoded distances; refused settings writes; seek and loop; a cut-off file; the
// recording served by the simulated camera over USB.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vexel/features.h>
#include <vexel/record.h>
#include <vexel/vexel.h>

#include "chip/chip_fixture.hpp"
#include "record/reader.hpp"
#include "record/records.hpp"
#include "sim/replay/recording_source.hpp"
#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

constexpr uint32_t kPixels = vxsim::kWidth * vxsim::kHeight;
constexpr int kFrames = 14;

std::vector<std::pair<int, uint32_t>>* g_errors = nullptr;
int on_error(vexel_dev*, int code, uint32_t arg) {
    g_errors->emplace_back(code, arg);
    return 1;
}

struct Pulled {
    vexel_frame_info info{};
    std::vector<uint8_t> raw;
    std::vector<float> distance;
};

class RecordSim : public chiptest::ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
        g_errors = &errors_;
        path_ = file("run.vxr");
    }
    void TearDown() override {
        g_errors = nullptr;
        ChipTest::TearDown();
    }

    // The processing both runs decode with: pixel calibration on, the rest as it starts.
    static void set_up(vexel_dev* dev) {
        uint8_t set = 1;
        ASSERT_EQ(vexel_filter_enable(dev, VEXEL_FILTER_PIXEL_CALIB, &set, 1), 1);
        vexel_cap_set_callback_on_error(dev, on_error);
    }

    static Pulled pull(vexel_dev* dev) {
        Pulled p;
        p.raw.resize(vxsim::kFrameBytes);
        const int n = vexel_cap_get_frames(dev, 1, p.raw.data(), static_cast<uint32_t>(p.raw.size()), &p.info);
        EXPECT_EQ(n, 1);
        if (n != 1) p.raw.clear();
        return p;
    }

    static void decode(vexel_dev* dev, std::vector<Pulled>& frames) {
        for (Pulled& p : frames) {
            p.distance.resize(kPixels);
            EXPECT_EQ(vexel_frame_get_distance(dev, p.distance.data(), kPixels, p.raw.data(),
                                               static_cast<uint32_t>(p.raw.size()), &p.info),
                      static_cast<int>(kPixels));
        }
    }

    // A live run of kFrames pulled frames with a lost frame start (a gap and a discard) and a
    // stall in between, recorded from before capture start.
    std::vector<Pulled> record_live(const vexel_rec_options* opt = nullptr) {
        vxsim::CameraOptions o;
        o.measurement.scene = *vxsim::Scene::parse("boxes");
        o.frame_rate = 60;
        vxsim::Camera& cam = tb_.add_camera(o);
        vexel_dev list[2];
        EXPECT_EQ(vexel_dev_list(list, 2), 1);
        vexel_dev dev = list[0];
        EXPECT_EQ(vexel_dev_open(&dev), &dev);
        set_up(&dev);
        EXPECT_EQ(vexel_rec_start(&dev, path_.c_str(), opt), 1);
        EXPECT_EQ(vexel_rec_start(&dev, path_.c_str(), opt), 0) << "one recorder per device";
        EXPECT_EQ(vexel_cap_start(&dev), 1);
        std::vector<Pulled> out;
        for (int k = 0; k < kFrames; ++k) {
            if (k == 4) cam.set_faults([](vxsim::Faults& f) { f.drop_frame_start = 1; });
            if (k == 8) cam.set_faults([](vxsim::Faults& f) { f.stall_bulk = 1; });
            out.push_back(pull(&dev));
        }
        vexel_cap_stop(&dev);
        decode(&dev, out);
        vexel_rec_stats st{};
        EXPECT_EQ(vexel_rec_stop(&dev, &st), 1) << st.message;
        EXPECT_GE(st.frames, uint64_t{kFrames});
        EXPECT_GE(st.events, 2u) << "the discard and the stall";
        EXPECT_EQ(st.frames_lost, 0u);
        EXPECT_EQ(st.failed, 0);
        EXPECT_EQ(vexel_rec_stop(&dev, &st), 0) << "nothing left to stop";
        vexel_dev_close(&dev);
        return out;
    }

    vxsim::Testbed tb_;
    std::vector<std::pair<int, uint32_t>> errors_;
    std::string path_;
};

TEST_F(RecordSim, ReplayGivesTheLiveFramesGapsErrorsAndDistancesBitForBit) {
    const std::vector<Pulled> live = record_live();
    const auto live_errors = errors_;
    ASSERT_TRUE(std::any_of(live_errors.begin(), live_errors.end(),
                            [](auto e) { return e.first == VEXEL_ERR_CAP_FRAME_DISCARD; }));
    bool gap = false;
    for (size_t k = 1; k < live.size(); ++k)
        gap |= static_cast<uint16_t>(live[k].info.frame_idx - live[k - 1].info.frame_idx) != 1;
    ASSERT_TRUE(gap) << "the lost frame start leaves a gap in the indices";
    errors_.clear();

    vexel_dev* dev = vexel_dev_open_recording(path_.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->product, "A-E2-1.0");
    set_up(dev);
    vexel_play_info info{};
    ASSERT_EQ(vexel_play_get_info(dev, &info), 1);
    EXPECT_EQ(info.version, 2u);
    EXPECT_EQ(info.damaged, 0) << info.message;
    ASSERT_EQ(vexel_play_set(dev, VEXEL_PLAY_AS_PULLED, 0), 1);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    // Every recorded frame, none lost in between: the pulls take them one by one.
    std::vector<Pulled> replay;
    for (uint32_t k = 0; k < info.frames; ++k) replay.push_back(pull(dev));
    EXPECT_EQ(errors_, live_errors) << "the same discards, at the same running totals";
    decode(dev, replay);
    // The live pulls saw the recording's frames, or some of them when two arrived at once.
    size_t at = 0;
    for (size_t k = 0; k < live.size(); ++k) {
        SCOPED_TRACE("live frame " + std::to_string(k));
        while (at < replay.size() && replay[at].info.frame_idx != live[k].info.frame_idx) ++at;
        ASSERT_LT(at, replay.size());
        const Pulled& p = replay[at];
        EXPECT_EQ(p.info.frame_size, live[k].info.frame_size);
        EXPECT_EQ(p.info.frame_format, live[k].info.frame_format);
        EXPECT_TRUE(p.raw == live[k].raw);
        EXPECT_EQ(std::memcmp(p.distance.data(), live[k].distance.data(), kPixels * sizeof(float)), 0);
    }
    EXPECT_GE(replay.size(), live.size());
    EXPECT_EQ(replay[0].info.frame_idx, live[0].info.frame_idx);

    // The recorded camera's settings stand: a write of another value is refused, the same value taken.
    vexel_param_item fps{};
    fps.param_id = VX_PARAM_FPS;
    ASSERT_EQ(vexel_param_batch_get(dev, &fps, 1), 1);
    uint32_t rate;
    std::memcpy(&rate, fps.param_val, 4);
    EXPECT_EQ(rate, 60u);
    EXPECT_EQ(vexel_param_batch_set(dev, &fps, 1), 1);
    rate = 15;
    std::memcpy(fps.param_val, &rate, 4);
    EXPECT_EQ(vexel_param_batch_set(dev, &fps, 1), 0);
    uint32_t reg = 0;
    ASSERT_EQ(vexel_reg_batch_read(dev, 1, 128, &reg, 1), 1);
    EXPECT_EQ(vexel_reg_batch_write(dev, 1, 128, &reg, 1), 1);
    const uint32_t other = reg ^ 1;
    EXPECT_EQ(vexel_reg_batch_write(dev, 1, 128, &other, 1), 0);
    EXPECT_EQ(vexel_dev_reset(dev, 0), 0);

    // Seek back: the same frame next; past the end: refused.
    EXPECT_EQ(vexel_play_seek(dev, info.frames), 0);
    vexel_cap_stop(dev);
    ASSERT_EQ(vexel_play_seek(dev, 2), 1);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    EXPECT_TRUE(pull(dev).raw == replay[2].raw);

    // Played to the end without loop the capture stops; with loop it starts over.
    vexel_cap_stop(dev);
    ASSERT_EQ(vexel_play_seek(dev, info.frames - 1), 1);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    std::vector<uint8_t> buf(vxsim::kFrameBytes);
    EXPECT_EQ(vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 1);
    EXPECT_EQ(vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 0);
    ASSERT_EQ(vexel_play_get_info(dev, &info), 1);
    EXPECT_EQ(info.ended, 1);
    vexel_cap_stop(dev);
    ASSERT_EQ(vexel_play_seek(dev, info.frames - 1), 1);
    ASSERT_EQ(vexel_play_set(dev, VEXEL_PLAY_AS_PULLED, 1), 1);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 1);
    ASSERT_EQ(vexel_play_get_info(dev, &info), 1);
    EXPECT_EQ(info.loops, 1u);
    EXPECT_EQ(buf, replay[1].raw) << "after the wrap: the recording's second frame";
    vexel_dev_close(dev);
}

TEST_F(RecordSim, RecordedRateKeepsTheFramesApart) {
    record_live();
    vexel_dev* dev = vexel_dev_open_recording(path_.c_str());
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    std::vector<uint8_t> buf(vxsim::kFrameBytes);
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 7; ++k)
        ASSERT_EQ(vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 1);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(ms, 6 * 1000.0 / 60 * 0.8) << "six frame intervals at 60 fps";
    vexel_dev_close(dev);
}

std::map<int, std::chrono::steady_clock::time_point>* g_arrivals = nullptr;
void on_frame(vexel_dev*, vexel_frame* f) { (*g_arrivals)[f->info.frame_idx] = std::chrono::steady_clock::now(); }

// Frames the host received in a burst (the bulk pipe held back) play a camera period apart.
TEST_F(RecordSim, CameraRateSpacesFramesTheHostReceivedInABurst) {
    vxsim::CameraOptions o;
    o.frame_rate = 10;
    vxsim::Camera& cam = tb_.add_camera(o);
    vexel_dev* live = vexel_dev_open(nullptr);
    ASSERT_TRUE(live && vexel_rec_start(live, path_.c_str(), nullptr) == 1 && vexel_cap_start(live) == 1);
    std::vector<uint8_t> buf(vxsim::kFrameBytes);
    for (int k = 0; k < 8; ++k) {
        cam.set_faults([k](vxsim::Faults& f) { f.stop_sending = k == 3; });
        if (k == 3) std::this_thread::sleep_for(std::chrono::milliseconds(350));
        if (k != 3) {
            ASSERT_EQ(vexel_cap_get_frames(live, 1, buf.data(), uint32_t(buf.size()), nullptr), 1);
        }
    }
    ASSERT_EQ(vexel_rec_stop(live, nullptr), 1);
    vexel_dev_close(live);
    // At the recorded rate the burst comes as received; at the camera's rate every frame is
    // about a period (100 ms) after the one before.
    for (int pacing : {VEXEL_PLAY_RECORDED_RATE, VEXEL_PLAY_CAMERA_RATE}) {
        std::map<int, std::chrono::steady_clock::time_point> arrivals;
        g_arrivals = &arrivals;
        vexel_dev* dev = vexel_dev_open_recording(path_.c_str());
        ASSERT_TRUE(dev && vexel_play_set(dev, pacing, 0) == 1);
        vexel_cap_set_callback_on_frame_ready(dev, on_frame);
        ASSERT_EQ(vexel_cap_start(dev), 1);
        vexel_play_info pi{};
        for (int k = 0; k < 100 && vexel_play_get_info(dev, &pi) && !pi.ended; ++k) vexel_cap_wait(dev, 100);
        vexel_cap_wait(dev, 100);
        vexel_dev_close(dev);
        g_arrivals = nullptr;
        double closest = 1e9;
        for (const auto& [idx, t] : arrivals)
            if (arrivals.count(idx - 1)) closest = std::min(closest, std::chrono::duration<double, std::milli>(t - arrivals[idx - 1]).count());
        ASSERT_GE(arrivals.size(), 7u);
        // A host under a sanitizer takes tens of milliseconds per frame even in a burst.
        if (pacing == VEXEL_PLAY_RECORDED_RATE) EXPECT_LT(closest, 80.0) << "the host received no burst";
        else EXPECT_GE(closest, 60.0);
    }
}

TEST_F(RecordSim, CutOffRecordingPlaysItsCompleteChunksThenFails) {
    vexel_rec_options opt{};
    opt.chunk_bytes = 1;  // a chunk per record: the cut falls after a known frame
    record_live(&opt);
    const auto size = std::filesystem::file_size(path_);
    std::filesystem::resize_file(path_, size - 20000);

    vexel_dev* dev = vexel_dev_open_recording(path_.c_str());
    ASSERT_NE(dev, nullptr);
    vexel_play_info info{};
    ASSERT_EQ(vexel_play_get_info(dev, &info), 1);
    EXPECT_EQ(info.damaged, 1);
    EXPECT_TRUE(vxtest::contains(info.message, "cut off")) << info.message;
    ASSERT_GT(info.frames, 0u);
    ASSERT_EQ(vexel_play_set(dev, VEXEL_PLAY_AS_PULLED, 0), 1);
    ASSERT_EQ(vexel_cap_start(dev), 1);
    std::vector<uint8_t> buf(vxsim::kFrameBytes);
    uint32_t got = 0;
    int r;
    while ((r = vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr)) == 1) ++got;
    EXPECT_EQ(got, info.frames);
    // As with a camera, the pull that sees the stop returns what it has; the next one the error.
    if (r == 0) r = vexel_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    EXPECT_EQ(r, VEXEL_ERR_CAP_UNKNOWN) << "the cut is an error, not an end";
    vexel_dev_close(dev);

    // A recording whose calibration file clashes with the prefix's is refused, not decoded wrongly.
    for (const auto& e : std::filesystem::directory_iterator(dir_))
        if (vxtest::contains(e.path().filename().string(), "images_drnu")) {
            std::filesystem::resize_file(e.path(), 100);
        }
    EXPECT_EQ(vexel_dev_open_recording(path_.c_str()), nullptr);
    EXPECT_EQ(vexel_dev_open_recording(file("missing.vxr").c_str()), nullptr);
}

// vexel-sim --replay: the simulated camera serves the recording through the emulated bus, and a
// host opening it as a camera (downloading the calibration afresh) gets the recorded frames and
// decodes them as the live run did.
TEST_F(RecordSim, SimulatedCameraServesTheRecordingOverUsb) {
    const std::vector<Pulled> live = record_live();
    std::map<uint16_t, std::vector<uint8_t>> recorded;  // frame index -> bytes
    uint16_t last_index = 0;
    {
        std::string err;
        auto reader = vx::rec::Reader::open(path_, err);
        ASSERT_TRUE(reader) << err;
        std::vector<uint8_t> raw;
        std::vector<vx::rec::RecordView> records;
        for (size_t c = 0; c < reader->chunks().size(); ++c) {
            ASSERT_TRUE(reader->load(c, raw, records, err)) << err;
            for (const auto& r : records) {
                vx::rec::FrameRec f;
                if (r.kind != vx::rec::Kind::frame || !vx::rec::decode_frame(r, f)) continue;
                recorded[f.info.fridx].assign(f.bytes, f.bytes + f.info.frlen);
                last_index = f.info.fridx;
            }
        }
    }
    tb_.cameras()[0]->unplug();

    vxsim::CameraOptions o;
    std::string err;
    EXPECT_FALSE(vxsim::replay_recording(file("missing.vxr"), false, o, err));
    EXPECT_TRUE(vxtest::contains(err, "missing.vxr")) << err;
    ASSERT_TRUE(vxsim::replay_recording(path_, false, o, err)) << err;
    vxsim::Camera& cam = tb_.add_camera(o);
    EXPECT_EQ(cam.param(12), (std::vector<uint8_t>{60, 0, 0, 0})) << "the recorded frame rate";
    std::filesystem::create_directories(dir_ / "replay");
    ASSERT_EQ(vexel_path_cfg((dir_ / "replay/").string().c_str()), 0);
    vexel_dev list[2];
    ASSERT_EQ(vexel_dev_list(list, 2), 1);
    vexel_dev dev = list[0];
    ASSERT_EQ(vexel_dev_open(&dev), &dev);
    EXPECT_STREQ(dev.product, "A-E2-1.0");
    set_up(&dev);
    ASSERT_EQ(vexel_cap_start(&dev), 1);
    std::vector<Pulled> served;
    while (served.size() < recorded.size() && (served.empty() || served.back().info.frame_idx != last_index)) {
        served.push_back(pull(&dev));
        if (served.back().raw.empty()) break;
    }
    vexel_cap_stop(&dev);
    decode(&dev, served);
    vexel_dev_close(&dev);
    ASSERT_FALSE(served.empty());
    EXPECT_EQ(served.back().info.frame_idx, last_index) << "played to the recording's last frame";
    size_t matched = 0;
    for (size_t k = 0; k < served.size(); ++k) {
        const Pulled& p = served[k];
        SCOPED_TRACE("served frame " + std::to_string(p.info.frame_idx));
        ASSERT_EQ(recorded.count(p.info.frame_idx), 1u) << "only recorded frames";
        EXPECT_TRUE(p.raw == recorded[p.info.frame_idx]);
        if (k > 0) {
            EXPECT_NE(p.info.frame_idx, served[k - 1].info.frame_idx);
        }
        for (const Pulled& l : live)
            if (l.info.frame_idx == p.info.frame_idx) {
                ++matched;
                EXPECT_EQ(std::memcmp(p.distance.data(), l.distance.data(), kPixels * sizeof(float)), 0)
                    << "decoded as live, with the calibration downloaded from the served package";
            }
    }
    EXPECT_GE(matched, live.size() / 2);
}

}  // namespace
