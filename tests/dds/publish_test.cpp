// vexel-publish as a ROS 2 node on another host would see it: the program runs under vexel-sim
// (a wall 2 m in front of the camera), readers in this process take its messages. Every test
// has a DDS domain of its own and talks over loopback only, with no multicast, so nothing
// leaves the machine and parallel runs do not hear each other.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dds/ros.hpp"
#include "test_util.hpp"

namespace {

using vxtest::contains;
using vxtest::slurp;

constexpr char kLoopback[] =
    "<CycloneDDS><Domain><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>";

// A program started through the shell, stopped (SIGTERM) if still running when it goes.
class Child {
  public:
    explicit Child(const std::string& cmd) {
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGTERM);
            wait(30);
        }
    }
    // Asks it to end (Ctrl-C's effect) and returns its exit status, -1 after 30 s.
    int stop() {
        if (status_ < 0) kill(pid_, SIGINT);
        return wait(30);
    }
    // Exit status, or -1 when it has not ended within `seconds`.
    int wait(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int st = 0;
        while (status_ < 0 && std::chrono::steady_clock::now() < end) {
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

class Publish : public vxtest::ScratchDirTest {
  protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        setenv("CYCLONEDDS_URI", kLoopback, 1);  // also for the programs started below
    }
    // A domain of this process and test (`k` < 3); ids go up to 232.
    void join(uint32_t k) {
        domain_ = 100 + static_cast<uint32_t>(getpid() % 40) * 3 + k;
        pp_ = dds_create_participant(domain_, nullptr, nullptr);
        ASSERT_GT(pp_, 0) << dds_strretcode(pp_);
    }
    void TearDown() override {
        if (pp_ > 0) dds_delete(pp_);
        ScratchDirTest::TearDown();
    }
    dds_entity_t reader(const std::string& ns, vexel_dds::Topic t, bool reliable) {
        const std::string name = vexel_dds::topic_name(ns, t);
        const dds_entity_t topic = dds_create_topic(pp_, vexel_dds::topic_type(t), name.c_str(), nullptr, nullptr);
        dds_qos_t* q = vexel_dds::make_qos(reliable, 8);
        const dds_entity_t r = dds_create_reader(pp_, topic, q, nullptr);
        dds_delete_qos(q);
        return r;
    }
    // Held at the calibration temperatures: a cold camera reads centimetres short at first.
    std::string publisher(const std::string& args) const {
        return std::string(VXSIM_LAUNCHER) + " --scene wall:2 --warmup off -- " + VEXEL_PUBLISH + " --domain " +
               std::to_string(domain_) + " " + args;
    }
    uint32_t domain_ = 0;
    dds_entity_t pp_ = 0;
};

// Hands every sample waiting on `rd` to fn(const T&) and returns the loan; the number handed.
template <class T, class Fn>
int drain(dds_entity_t rd, Fn&& fn) {
    void* s[8] = {};
    dds_sample_info_t info[8];
    const int n = dds_take(rd, s, info, 8, 8);
    int valid = 0;
    for (int i = 0; i < n; ++i)
        if (info[i].valid_data) {
            fn(*static_cast<const T*>(s[i]));
            ++valid;
        }
    if (n > 0) dds_return_loan(rd, s, n);
    return valid;
}

std::string type_name(dds_entity_t reader) {
    char name[128] = {};
    dds_get_type_name(dds_get_topic(reader), name, sizeof name);
    return name;
}

using Image = sensor_msgs_msg_dds__Image_;
using Cloud = sensor_msgs_msg_dds__PointCloud2_;
using Info = sensor_msgs_msg_dds__CameraInfo_;

}  // namespace

// One of each message, as the IDL lays it out and as ROS 2 tools read it; depth against the
// wall's known distance, and the cloud of a frame against that frame's depth image.
TEST_F(Publish, DeliversDepthAmplitudeCloudAndCameraInfoAsRos2Types) {
    using namespace vexel_dds;
    join(0);
    const dds_entity_t depth = reader("cam_a", kDepth, true), amp = reader("cam_a", kAmplitude, true),
                       points = reader("cam_a", kPoints, true), info = reader("cam_a", kCameraInfo, true);
    ASSERT_GT(depth, 0);
    ASSERT_GT(info, 0);
    EXPECT_EQ(type_name(depth), "sensor_msgs::msg::dds_::Image_");
    EXPECT_EQ(type_name(points), "sensor_msgs::msg::dds_::PointCloud2_");
    EXPECT_EQ(type_name(info), "sensor_msgs::msg::dds_::CameraInfo_");
    // The settings topics, before the publisher starts, so that discovery has happened when they are used.
    dds_qos_t* rq = make_qos(true, 8);
    const dds_entity_t set = dds_create_writer(
        pp_, dds_create_topic(pp_, &std_msgs_msg_dds__String__desc, "rt/cam_a/set", nullptr, nullptr), rq, nullptr);
    const dds_entity_t result = dds_create_reader(
        pp_, dds_create_topic(pp_, &std_msgs_msg_dds__String__desc, "rt/cam_a/set_result", nullptr, nullptr), rq,
        nullptr);
    dds_delete_qos(rq);
    ASSERT_GT(set, 0);
    ASSERT_GT(result, 0);
    Child pub(publisher("--namespace /cam_a/ --frame-id cam_a_optical --reliable -n 400 >pub.txt 2>&1"));

    std::map<int64_t, std::vector<uint16_t>> depth_mm;  // by stamp, to pair clouds with their frame
    std::vector<float> cloud;
    int64_t cloud_stamp = 0;
    int amps = 0, infos = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while ((cloud.empty() || !depth_mm.count(cloud_stamp) || amps == 0 || infos == 0) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        drain<Image>(depth, [&](const Image& m) {
            EXPECT_EQ(m.width_, 320u);
            EXPECT_EQ(m.height_, 240u);
            EXPECT_STREQ(m.encoding_, "16UC1");
            EXPECT_EQ(m.step_, 640u);
            EXPECT_EQ(m.is_bigendian_, 0);
            EXPECT_STREQ(m.header_.frame_id_, "cam_a_optical");
            ASSERT_EQ(m.data_._length, 320u * 240u * 2u);
            auto& v = depth_mm[from_stamp(m.header_.stamp_)];
            v.resize(320 * 240);
            std::memcpy(v.data(), m.data_._buffer, m.data_._length);
        });
        amps += drain<Image>(amp, [&](const Image& m) {
            EXPECT_STREQ(m.encoding_, "mono16");
            EXPECT_EQ(m.step_, 640u);
            EXPECT_EQ(m.data_._length, 320u * 240u * 2u);
        });
        infos += drain<Info>(info, [&](const Info& m) {
            EXPECT_EQ(m.width_, 320u);
            EXPECT_EQ(m.height_, 240u);
            EXPECT_STREQ(m.distortion_model_, "plumb_bob");
            EXPECT_EQ(m.d_._length, 5u);
            // K = [fx 0 cx; 0 fy cy; 0 0 1] with the principal point inside the image; R identity;
            // P = [K | 0]
            EXPECT_GT(m.k_[0], 100.0);
            EXPECT_GT(m.k_[4], 100.0);
            EXPECT_GT(m.k_[2], 100.0);
            EXPECT_LT(m.k_[2], 220.0);
            EXPECT_GT(m.k_[5], 60.0);
            EXPECT_LT(m.k_[5], 180.0);
            EXPECT_EQ(m.k_[8], 1.0);
            for (int i = 0; i < 9; ++i) EXPECT_EQ(m.r_[i], i % 4 == 0 ? 1.0 : 0.0) << i;
            EXPECT_EQ(m.p_[0], m.k_[0]);
            EXPECT_EQ(m.p_[6], m.k_[5]);
            EXPECT_EQ(m.p_[10], 1.0);
            EXPECT_EQ(m.p_[3], 0.0);
        });
        drain<Cloud>(points, [&](const Cloud& m) {
            if (!cloud.empty()) return;
            EXPECT_EQ(m.width_, 320u);
            EXPECT_EQ(m.height_, 240u);
            EXPECT_EQ(m.point_step_, 16u);
            EXPECT_EQ(m.row_step_, 16u * 320u);
            EXPECT_FALSE(m.is_bigendian_);
            ASSERT_EQ(m.fields_._length, 4u);
            const char* names[] = {"x", "y", "z", "intensity"};
            for (uint32_t i = 0; i < 4; ++i) {
                EXPECT_STREQ(m.fields_._buffer[i].name_, names[i]);
                EXPECT_EQ(m.fields_._buffer[i].offset_, 4 * i);
                EXPECT_EQ(m.fields_._buffer[i].datatype_, 7);  // FLOAT32
                EXPECT_EQ(m.fields_._buffer[i].count_, 1u);
            }
            ASSERT_EQ(m.data_._length, 320u * 240u * 16u);
            cloud.resize(320 * 240 * 4);
            std::memcpy(cloud.data(), m.data_._buffer, m.data_._length);
            cloud_stamp = from_stamp(m.header_.stamp_);
        });
    }
    ASSERT_FALSE(cloud.empty()) << slurp("pub.txt");
    ASSERT_TRUE(depth_mm.count(cloud_stamp)) << "no depth image of the cloud's frame";
    EXPECT_GT(amps, 0);
    EXPECT_GT(infos, 0);

    // The wall is perpendicular to the optical axis: z = 2 m at every pixel that measured.
    const std::vector<uint16_t>& mm = depth_mm[cloud_stamp];
    int valid = 0, near_wall = 0, agree = 0;
    for (size_t i = 0; i < mm.size(); ++i) {
        const float z = cloud[4 * i + 2];
        if (mm[i] == 0) {
            EXPECT_TRUE(std::isnan(z)) << "pixel " << i << " has a point but no depth";
            continue;
        }
        ++valid;
        near_wall += std::abs(mm[i] - 2000) <= 60;
        agree += std::abs(z * 1000.0f - mm[i]) <= 0.51f && cloud[4 * i + 3] >= 0.0f;
    }
    EXPECT_GT(valid, 320 * 240 * 9 / 10);
    EXPECT_GT(near_wall, valid * 95 / 100);
    EXPECT_EQ(agree, valid);

    // Settings with the command line's ranges, each limit from both sides; one reply per request, in order.
    const std::pair<const char*, const char*> settings[] = {
        {"fps 15", "fps 15: applied"},
        {"fps 0", "refused: frame rate '0' not in range 1 to 100 fps"},
        {"integration 4001", "refused: integration time '4001' not in range 1 to 4000 us"},
        {"integration 4000", "integration 4000 us: applied"},
        {"integration 1", "integration 1 us: applied"},
        {"filter lens", "refused: filters are not settable over DDS"},
        {"integration -5", "refused: integration time '-5' not in range 1 to 4000 us"},
    };
    dds_publication_matched_status_t heard{};
    for (int i = 0; i < 500 && heard.current_count == 0; ++i) {
        dds_get_publication_matched_status(set, &heard);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(heard.current_count, 1u) << "the publisher does not read its settings topic";
    for (const auto& [request, want] : settings) {
        std_msgs_msg_dds__String_ m{const_cast<char*>(request)};
        ASSERT_EQ(dds_write(set, &m), DDS_RETCODE_OK);
        std::string got;
        for (int i = 0; i < 500 && got.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            drain<std_msgs_msg_dds__String_>(result, [&](const std_msgs_msg_dds__String_& r) { got = r.data_; });
        }
        EXPECT_EQ(got, want) << request;
    }

    // Ctrl-C: the summary, status 130, and the readers see the writer leave.
    dds_subscription_matched_status_t matched{};
    ASSERT_EQ(dds_get_subscription_matched_status(depth, &matched), DDS_RETCODE_OK);
    EXPECT_EQ(matched.current_count, 1u);
    EXPECT_EQ(pub.stop(), 130) << slurp("pub.txt");
    EXPECT_TRUE(contains(slurp("pub.txt"), "published ")) << slurp("pub.txt");
    for (int i = 0; i < 250 && matched.current_count > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dds_get_subscription_matched_status(depth, &matched);
    }
    EXPECT_EQ(matched.current_count, 0u);
}

// The default, best effort: --listen sees the metres image of its namespace with rates; a reader
// of another namespace hears nothing.
TEST_F(Publish, ListenerReportsItsNamespaceOnly) {
    using namespace vexel_dds;
    join(1);
    const dds_entity_t other = reader("cam_b", kDepth, false);
    ASSERT_GT(other, 0);
    Child listener(std::string(VEXEL_PUBLISH) + " --listen --namespace cam_a --domain " + std::to_string(domain_) +
                   " -n 5 --timeout 40 >listen.txt 2>&1");
    Child pub(publisher("--namespace cam_a --depth-format 32FC1 -n 400 >pub.txt 2>&1"));
    EXPECT_EQ(listener.wait(60), 0) << slurp("listen.txt") << slurp("pub.txt");
    const std::string out = slurp("listen.txt");
    EXPECT_TRUE(contains(out, "depth/image_raw: 320x240 32FC1 step 1280, 307200 bytes, centre 2.0")) << out;
    EXPECT_TRUE(contains(out, "frame id vexel_optical_frame")) << out;
    EXPECT_TRUE(contains(out, "depth/image_raw: publisher joined (1 now)")) << out;
    EXPECT_TRUE(contains(out, "depth/image_raw: 5 messages") || contains(out, "depth/image_raw: 6 messages"))
        << out;
    int heard = 0;
    for (int i = 0; i < 10; ++i) {
        heard += drain<Image>(other, [](const Image&) {});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(heard, 0);
}

// Median of the measured pixels of a 16UC1 depth image and how many measured; 0s without any.
std::pair<int, int> median_mm(const Image& m) {
    if (m.data_._length != 320u * 240u * 2u) return {0, 0};
    std::vector<uint16_t> d(320 * 240);
    std::memcpy(d.data(), m.data_._buffer, m.data_._length);
    d.erase(std::remove(d.begin(), d.end(), uint16_t{0}), d.end());
    if (d.empty()) return {0, 0};
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    return {d[d.size() / 2], static_cast<int>(d.size())};
}

// Two hosts' cameras in one system: two simulated cameras (walls at 2 m and 3 m), each with its
// own publisher and namespace. One participant hears both, each camera's images intact under
// its own name; a participant that joins while they run gets their next frames and camera info.
TEST_F(Publish, TwoCamerasKeepTheirNamespacesAndALateReaderGetsTheNextFrame) {
    using namespace vexel_dds;
    join(2);
    const struct {
        const char* ns;
        int wall_mm;
    } cams[] = {{"cam_a", 2000}, {"cam_b", 3000}};
    std::vector<std::unique_ptr<Child>> pubs;
    dds_entity_t depth[2] = {};
    for (int c = 0; c < 2; ++c) {
        depth[c] = reader(cams[c].ns, kDepth, false);
        ASSERT_GT(depth[c], 0);
        const std::string ns = cams[c].ns;
        pubs.push_back(std::make_unique<Child>(
            std::string(VXSIM_LAUNCHER) + " --scene wall:" + std::to_string(cams[c].wall_mm / 1000) +
            " --warmup off -- " +
            VEXEL_PUBLISH + " --domain " + std::to_string(domain_) + " --namespace " + ns + " --frame-id " + ns +
            "_optical -n 600 >" + ns + ".txt 2>&1"));
    }
    // Each namespace's images, and only its own, until both have arrived.
    int64_t last_stamp[2] = {0, 0};
    const auto hear = [&](dds_entity_t rd, int c, int64_t* stamp) {
        return drain<Image>(rd, [&](const Image& m) {
            EXPECT_STREQ(m.header_.frame_id_, (std::string(cams[c].ns) + "_optical").c_str());
            const auto [mm, valid] = median_mm(m);
            EXPECT_NEAR(mm, cams[c].wall_mm, 60) << cams[c].ns;
            EXPECT_GT(valid, 320 * 240 * 9 / 10) << cams[c].ns;
            *stamp = std::max(*stamp, from_stamp(m.header_.stamp_));
        });
    };
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while ((last_stamp[0] == 0 || last_stamp[1] == 0) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int c = 0; c < 2; ++c) hear(depth[c], c, &last_stamp[c]);
    }
    ASSERT_GT(last_stamp[0], 0) << slurp("cam_a.txt");
    ASSERT_GT(last_stamp[1], 0) << slurp("cam_b.txt");

    const int64_t heard_before = last_stamp[1];
    // Late: a participant of its own, as a node started later on another host. Samples are not
    // kept for late joiners (volatile), so what it gets is newer than what was heard before it.
    const dds_entity_t late = dds_create_participant(domain_, nullptr, nullptr);
    ASSERT_GT(late, 0) << dds_strretcode(late);
    dds_qos_t* q = make_qos(false, 8);
    const auto late_reader = [&](Topic t) {
        const dds_entity_t topic =
            dds_create_topic(late, topic_type(t), topic_name("cam_b", t).c_str(), nullptr, nullptr);
        return dds_create_reader(late, topic, q, nullptr);
    };
    const dds_entity_t late_depth = late_reader(kDepth), late_info = late_reader(kCameraInfo);
    dds_delete_qos(q);
    ASSERT_GT(late_depth, 0);
    ASSERT_GT(late_info, 0);
    int64_t late_stamp = 0;
    int infos = 0;
    end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while ((late_stamp == 0 || infos == 0) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        drain<Image>(late_depth, [&](const Image& m) {
            EXPECT_GT(from_stamp(m.header_.stamp_), heard_before) << "an old frame for a late joiner";
            EXPECT_NEAR(median_mm(m).first, 3000, 60);
            late_stamp = std::max(late_stamp, from_stamp(m.header_.stamp_));
        });
        infos += drain<Info>(late_info, [&](const Info& m) {
            EXPECT_STREQ(m.header_.frame_id_, "cam_b_optical");
            EXPECT_STREQ(m.distortion_model_, "plumb_bob");
        });
        for (int c = 0; c < 2; ++c) hear(depth[c], c, &last_stamp[c]);
    }
    EXPECT_GT(late_stamp, 0) << slurp("cam_b.txt");
    EXPECT_GT(infos, 0) << slurp("cam_b.txt");
    dds_delete(late);
    // Both publishers were still running: neither's status is in.
    for (auto& p : pubs) EXPECT_EQ(p->stop(), 130);
}

// A recording of `vexel record` publishes every frame it holds, and its end is a normal end.
// One program, every attached camera: each under the namespace's own SERIAL part, with a frame
// id of its own, its images its own scene's; a summary line each.
TEST_F(Publish, EveryAttachedCameraUnderItsSerial) {
    using namespace vexel_dds;
    join(1);
    const struct {
        const char* serial;
        int wall_mm;
    } cams[] = {{"VX0001", 2000}, {"VX0002", 3000}};
    dds_entity_t depth[2] = {};
    for (int c = 0; c < 2; ++c) depth[c] = reader(std::string("rig/") + cams[c].serial, kDepth, false);
    Child pub(std::string(VXSIM_LAUNCHER) + " --scene wall:2 --camera --scene wall:3 -- " + VEXEL_PUBLISH +
              " -d all --namespace rig --domain " + std::to_string(domain_) + " -n 900 >pub.txt 2>&1");
    int heard[2] = {0, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((heard[0] < 3 || heard[1] < 3) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int c = 0; c < 2; ++c)
            heard[c] += drain<Image>(depth[c], [&](const Image& m) {
                EXPECT_EQ(std::string(m.header_.frame_id_), std::string(cams[c].serial) + "_vexel_optical_frame");
                EXPECT_NEAR(median_mm(m).first, cams[c].wall_mm, 60) << cams[c].serial;
            });
    }
    EXPECT_GE(heard[0], 3) << slurp("pub.txt");
    EXPECT_GE(heard[1], 3) << slurp("pub.txt");
    EXPECT_EQ(pub.stop(), 130);
    const std::string said = slurp("pub.txt");
    EXPECT_TRUE(contains(said, "camera 0 (VX0001): published ")) << said;
    EXPECT_TRUE(contains(said, "camera 1 (VX0002): published ")) << said;
}

TEST_F(Publish, PublishesARecordingToItsEnd) {
    Child rec(std::string(VXSIM_LAUNCHER) + " --scene wall:2 -- " + VEXEL_CLI + " record -n 5 -o rec.vxr >rec.txt 2>&1");
    ASSERT_EQ(rec.wait(60), 0) << slurp("rec.txt");
    const std::string said = slurp("rec.txt");
    const size_t at = said.find("rec.vxr: ");
    ASSERT_NE(at, std::string::npos) << said;
    const long frames = std::atol(said.c_str() + at + 9);
    ASSERT_GE(frames, 5) << said;
    Child pub(std::string(VEXEL_PUBLISH) + " --replay rec.vxr --domain 231 >pub.txt 2>&1");
    EXPECT_EQ(pub.wait(60), 0) << slurp("pub.txt");
    EXPECT_TRUE(contains(slurp("pub.txt"), "published " + std::to_string(frames) + " frames")) << slurp("pub.txt");
    Child missing(std::string(VEXEL_PUBLISH) + " --replay absent.vxr >pub.txt 2>&1");
    EXPECT_EQ(missing.wait(20), 2) << slurp("pub.txt");
}

// Usage errors exit 2 before anything opens; the domain's limits from both sides; no camera is 1.
TEST_F(Publish, RefusesBadOptions) {
    const struct {
        const char* args;
        int code;
    } cases[] = {
        {"--namespace 1cam", 2},   {"--namespace a//b", 2}, {"--namespace a-b", 2},
        {"--domain 233", 2},       {"--domain -1", 2},      {"--depth-format 8UC1", 2},
        {"--frame-id ''", 2},      {"--domain 232", 1},     {"--namespace /_a/b2/ --domain 0", 1},
        {"-d 64", 2},              {"-d 63", 1},            {"-d all", 1},
        {"-d 1,0", 2},             {"-d all --replay /dev/null", 2},
    };
    for (const auto& c : cases) {
        Child p(std::string(VEXEL_PUBLISH) + " " + c.args + " >out.txt 2>err.txt");
        EXPECT_EQ(p.wait(20), c.code) << c.args << ": " << slurp("err.txt");
        if (c.code == 1) {
            EXPECT_TRUE(contains(slurp("err.txt"), "no camera")) << c.args;
        }
    }
}

// Minor page faults of a thread using ten clouds' memory as Cyclone's receive buffers and a take
// do (three cloud-sized blocks written, then freed), after a first such cloud.
long cloud_refaults() {
    constexpr size_t kCloud = 320 * 240 * 16;
    rusage before{}, after{};
    std::thread([&] {
        for (int r = 0; r <= 10; ++r) {
            if (r == 1) getrusage(RUSAGE_THREAD, &before);
            void* b[3] = {std::malloc(kCloud), std::malloc(kCloud), std::malloc(kCloud)};
            for (void* p : b) {
                std::memset(p, r + 1, kCloud);
                asm volatile("" : : "r"(p) : "memory");  // the writes stay
            }
            for (void* p : b) std::free(p);
        }
        getrusage(RUSAGE_THREAD, &after);
    }).join();
    return after.ru_minflt - before.ru_minflt;
}

TEST(ReceiveMemory, CloudsReuseTheirPagesRatherThanFaultingThemInAgain) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator does not follow glibc's settings";
#endif
    const long pages = 10 * 3 * 320 * 240 * 16 / 4096;
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);  // glibc's first setting: free memory goes back at once
    EXPECT_GT(cloud_refaults(), pages / 2);
    vexel_dds::keep_receive_memory();
    EXPECT_LT(cloud_refaults(), pages / 20);
}
