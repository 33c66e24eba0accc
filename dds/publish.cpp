// The publishing loop: capture, decode, convert to the ROS 2 messages, write.
#include <algorithm>
#include <barrier>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>
#include <tuple>
#include <vector>

#include <vexel/driver.h>
#include <vexel/vexel.hpp>

#include "publisher.hpp"
#include "ros.hpp"
#include "viewer/controls.hpp"

namespace vexel_dds {

namespace {

constexpr uint8_t kFloat32 = 7;  // sensor_msgs/PointField FLOAT32

// A DDS participant and one writer per topic; everything goes when the participant does.
class Writers {
  public:
    Writers(uint32_t domain, const std::string& ns, bool reliable) {
        pp_ = dds_create_participant(domain, nullptr, nullptr);
        if (pp_ < 0) throw std::runtime_error(std::string("DDS participant: ") + dds_strretcode(pp_));
        dds_qos_t* q = make_qos(reliable, 2);
        for (int t = 0; t < kTopics; ++t) {
            const std::string name = topic_name(ns, Topic(t));
            const dds_entity_t topic = dds_create_topic(pp_, topic_type(Topic(t)), name.c_str(), nullptr, nullptr);
            w_[t] = topic < 0 ? topic : dds_create_writer(pp_, topic, q, nullptr);
            if (w_[t] < 0) {
                dds_delete_qos(q);
                dds_delete(pp_);
                throw std::runtime_error("DDS writer for " + name + ": " + dds_strretcode(w_[t]));
            }
        }
        dds_delete_qos(q);
        // Settings: reliable both ways, as `ros2 topic pub` sends by default.
        q = make_qos(true, 8);
        const dds_entity_t req = dds_create_topic(pp_, &std_msgs_msg_dds__String__desc,
                                                  settings_topic(ns, false).c_str(), nullptr, nullptr);
        const dds_entity_t rep = dds_create_topic(pp_, &std_msgs_msg_dds__String__desc,
                                                  settings_topic(ns, true).c_str(), nullptr, nullptr);
        requests_ = req < 0 ? req : dds_create_reader(pp_, req, q, nullptr);
        replies_ = rep < 0 ? rep : dds_create_writer(pp_, rep, q, nullptr);
        dds_delete_qos(q);
        if (requests_ < 0 || replies_ < 0) {
            dds_delete(pp_);
            throw std::runtime_error("DDS settings topics: " + std::string(dds_strretcode(std::min(requests_, replies_))));
        }
    }
    // The settings requests that arrived since the last call, as text.
    std::vector<std::string> requests() {
        std::vector<std::string> got;
        void* s[8] = {};
        dds_sample_info_t info[8];
        const int n = dds_take(requests_, s, info, 8, 8);
        for (int i = 0; i < n; ++i)
            if (info[i].valid_data) {
                const char* d = static_cast<const std_msgs_msg_dds__String_*>(s[i])->data_;
                got.emplace_back(d ? d : "");
            }
        if (n > 0) dds_return_loan(requests_, s, n);
        return got;
    }
    void reply(const std::string& text) {
        std_msgs_msg_dds__String_ m{const_cast<char*>(text.c_str())};
        dds_write(replies_, &m);
    }
    ~Writers() { dds_delete(pp_); }
    Writers(const Writers&) = delete;
    Writers& operator=(const Writers&) = delete;
    // False with the reason on stderr; a best-effort writer drops rather than fails.
    bool write(Topic t, const void* msg) {
        const dds_return_t r = dds_write(w_[t], msg);
        if (r < 0) std::cerr << "write " << topic_suffix(t) << ": " << dds_strretcode(r) << '\n';
        return r >= 0;
    }

  private:
    dds_entity_t pp_ = 0;
    dds_entity_t w_[kTopics] = {};
    dds_entity_t requests_ = 0, replies_ = 0;
};

template <class Seq, class T>
void lend(Seq& seq, std::vector<T>& v) {  // the message borrows the vector's bytes
    seq._buffer = reinterpret_cast<decltype(seq._buffer)>(v.data());
    seq._length = seq._maximum = static_cast<uint32_t>(v.size() * sizeof(T) / sizeof(*seq._buffer));
    seq._release = false;
}

std_msgs_msg_dds__Header_ header(int64_t stamp_ns, const std::string& frame_id) {
    return {to_stamp(stamp_ns), const_cast<char*>(frame_id.c_str())};
}

sensor_msgs_msg_dds__Image_ image(const std_msgs_msg_dds__Header_& h, int w, int height, const char* encoding,
                                  uint32_t bytes_per_pixel) {
    sensor_msgs_msg_dds__Image_ m{};
    m.header_ = h;
    m.height_ = static_cast<uint32_t>(height);
    m.width_ = static_cast<uint32_t>(w);
    m.encoding_ = const_cast<char*>(encoding);
    m.is_bigendian_ = 0;  // as the host stores them: every host we build for is little-endian
    m.step_ = static_cast<uint32_t>(w) * bytes_per_pixel;
    return m;
}

bool write_param(vexel_dev* dev, uint32_t id, int bytes, long long value) {
    vexel_param_item it{};
    it.param_id = id;
    it.param_len = static_cast<uint8_t>(bytes);
    for (int i = 0; i < bytes; ++i) it.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    return vexel_param_batch_set(dev, &it, 1) != 0;
}

}  // namespace

// One settings request: the viewer's control messages "integration US" and "fps N", checked
// with the command line's ranges before the camera sees them. The reply says what happened.
std::string apply_setting(vexel_dev* dev, const std::string& text) {
    std::string why;
    const auto c = vexel_view::parse_control(
        text, [](const std::string&) { return std::string("filters are not settable over DDS"); }, why);
    if (!c) return "refused: " + why;
    if (c->kind == vexel_view::Control::integration)
        return write_param(dev, VX_PARAM_INTG_TIME, 2, c->value)
                   ? "integration " + std::to_string(c->value) + " us: applied"
                   : "refused: the camera refused integration time " + std::to_string(c->value) + " us";
    if (c->kind == vexel_view::Control::frame_rate)
        return write_param(dev, VX_PARAM_FPS, 4, c->value)
                   ? "fps " + std::to_string(c->value) + ": applied"
                   : "refused: the camera refused frame rate " + std::to_string(c->value);
    return std::string("refused: ") + (c->kind == vexel_view::Control::record ? "recording" : "pause") +
           " is not settable over DDS";
}


struct CameraPublisher::Impl {
    Impl(uint32_t domain, const std::string& ns, bool reliable) : out(domain, ns, reliable) {}
    Writers out;
    std::string frame_id;
    bool metres = false;
    sensor_msgs_msg_dds__PointField_ fields[4];
    std::vector<uint16_t> depth_mm, amp16;
    std::vector<float> depth_m, points;
    std::vector<vexel::Point> xyz;
    std::vector<double> dcoeff;
};

CameraPublisher::CameraPublisher(uint32_t domain, const std::string& ns, bool reliable, std::string frame_id,
                                 bool metres)
    : impl_(std::make_unique<Impl>(domain, ns, reliable)) {
    impl_->frame_id = std::move(frame_id);
    impl_->metres = metres;
    // Point layout: x y z intensity, float32 each, as point-cloud consumers expect them.
    static const char* kNames[] = {"x", "y", "z", "intensity"};
    for (uint32_t i = 0; i < 4; ++i) impl_->fields[i] = {const_cast<char*>(kNames[i]), 4 * i, kFloat32, 1};
}

CameraPublisher::~CameraPublisher() = default;

std::vector<std::string> CameraPublisher::requests() { return impl_->out.requests(); }
void CameraPublisher::reply(const std::string& text) { impl_->out.reply(text); }

void CameraPublisher::send(vexel::Device& cam, std::span<const float> dist, std::span<const float> amp, int w,
                           int h, int64_t stamp) {
    Impl& m = *impl_;
    const size_t n = size_t(w) * size_t(h);
    const auto hd = header(stamp, m.frame_id);
    // The cloud first: its z is the depth image (z, not the ray length; none where the cloud has
    // no point, a measured pixel without a ray too). It is written right after the depth image,
    // before the amplitude: the largest message, it takes longest to arrive.
    m.xyz.resize(n);
    cam.organised_cloud(dist, w, h, m.xyz);

    auto dm = image(hd, w, h, m.metres ? "32FC1" : "16UC1", m.metres ? 4 : 2);
    if (m.metres) {
        m.depth_m.resize(n);
        for (size_t i = 0; i < n; ++i) m.depth_m[i] = m.xyz[i].z;
        lend(dm.data_, m.depth_m);
    } else {
        m.depth_mm.resize(n);  // 0 = no measurement, as ROS 2 depth images mark it
        for (size_t i = 0; i < n; ++i) {
            const float z = m.xyz[i].z;  // below 60 m where not NaN: the millimetres fit
            m.depth_mm[i] = std::isnan(z) ? 0 : static_cast<uint16_t>(z * 1000.0f + 0.5f);
        }
        lend(dm.data_, m.depth_mm);
    }
    m.out.write(kDepth, &dm);

    m.points.resize(4 * n);
    bool dense = true;
    for (size_t i = 0; i < n; ++i) {
        m.points[4 * i] = m.xyz[i].x;
        m.points[4 * i + 1] = m.xyz[i].y;
        m.points[4 * i + 2] = m.xyz[i].z;
        m.points[4 * i + 3] = amp[i];
        dense = dense && !std::isnan(m.xyz[i].z);
    }
    sensor_msgs_msg_dds__PointCloud2_ pc{};
    pc.header_ = hd;
    pc.height_ = static_cast<uint32_t>(h);
    pc.width_ = static_cast<uint32_t>(w);
    pc.fields_ = {4, 4, m.fields, false};
    pc.is_bigendian_ = false;
    pc.point_step_ = 16;
    pc.row_step_ = 16 * static_cast<uint32_t>(w);
    lend(pc.data_, m.points);
    pc.is_dense_ = dense;
    m.out.write(kPoints, &pc);

    auto am = image(hd, w, h, "mono16", 2);
    m.amp16.resize(n);
    for (size_t i = 0; i < n; ++i) m.amp16[i] = static_cast<uint16_t>(std::clamp(amp[i], 0.0f, 65535.0f));
    lend(am.data_, m.amp16);
    m.out.write(kAmplitude, &am);

    vexel_lens_param lens{};
    if (epc_lens_param_get(vexel_dev_get_drv(cam.get()), &lens, w, h)) {
        sensor_msgs_msg_dds__CameraInfo_ ci{};
        ci.header_ = hd;
        ci.height_ = static_cast<uint32_t>(h);
        ci.width_ = static_cast<uint32_t>(w);
        ci.distortion_model_ = const_cast<char*>("plumb_bob");
        m.dcoeff.assign(lens.dcoeff, lens.dcoeff + 5);  // k1 k2 p1 p2 k3, OpenCV's order as plumb_bob's
        lend(ci.d_, m.dcoeff);
        const double k[9] = {lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1};
        const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        const double p[12] = {lens.fx, 0, lens.cx, 0, 0, lens.fy, lens.cy, 0, 0, 0, 1, 0};
        std::memcpy(ci.k_, k, sizeof k);
        std::memcpy(ci.r_, r, sizeof r);
        std::memcpy(ci.p_, p, sizeof p);
        m.out.write(kCameraInfo, &ci);
    }
}

namespace {

// What one camera's publishing came to, for its summary line.
struct Outcome {
    std::string serial;
    long sent = 0, lost = 0;
    double secs = 0;
    std::string failure;  // empty: it ran until the count, Ctrl-C or the recording's end
};

// Distances without the camera's calibration are metres off: such a camera is not published.
void calibrated_or_throw(vexel::Device& cam) {
    if (epc_calib_status(vexel_dev_get_drv(cam.get())) == EPC_CALIB_MISSING)
        throw std::runtime_error("camera " + cam.serial() + ": its calibration could not be loaded from or stored in " +
                                 vexel_path_get() + " (is it writable?)");
}

// A ROS 2 name token from a serial: letters, digits and '_' only, and not a digit first.
std::string name_token(const std::string& serial) {
    std::string t;
    for (char c : serial) t += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (t.empty() || std::isdigit(static_cast<unsigned char>(t[0]))) t = "cam_" + t;
    return t;
}

// `ready`, when given, is called once the writers exist and before the capture starts.
void run(vexel::Device& cam, const PublishOptions& o, const std::string& ns, const std::string& frame_id,
         Outcome& r, const std::function<void()>& ready = {}) {
    CameraPublisher out(o.domain, ns, o.reliable, frame_id, o.depth_format == "32FC1");
    if (ready) ready();
    int last_idx = -1;
    const int64_t t0 = now_ns();
    std::cerr << "publishing " << cam.product() << " " << cam.serial() << " on domain " << o.domain << " as "
              << topic_name(ns, kDepth) << " ... (" << (o.reliable ? "reliable" : "best effort")
              << ", keep last 2); Ctrl-C ends\n";
    vexel::Capture running(cam);
    while (!interrupted() && (o.frames == 0 || r.sent < o.frames)) {
        vexel::Frame f;
        try {
            f = cam.next_frame();
        } catch (const vexel::Error&) {
            vexel_play_info play{};
            if (interrupted() || (cam.playback(play) && play.ended)) break;  // or the recording's end
            throw;
        }
        const int64_t stamp = now_ns();  // the frame is on the host from this moment
        for (const std::string& req : out.requests()) {
            const std::string reply = apply_setting(cam.get(), req);
            std::cerr << "setting '" << req.substr(0, 64) << "': " << reply << '\n';
            out.reply(reply);
        }
        if (last_idx >= 0) r.lost += (f.index() - last_idx - 1 + 65536) % 65536;
        last_idx = f.index();
        out.send(cam, cam.distance(f), cam.amplitude(f), f.width(), f.height(), stamp);
        ++r.sent;
        r.secs = static_cast<double>(now_ns() - t0) / 1e9;
    }
    r.secs = static_cast<double>(now_ns() - t0) / 1e9;
}

std::string summary(const Outcome& r) {
    char line[160];
    std::snprintf(line, sizeof line, "published %ld frames in %.1f s (%.1f fps), %ld lost by the camera link", r.sent,
                  r.secs, r.secs > 0 ? static_cast<double>(r.sent) / r.secs : 0.0, r.lost);
    return line;
}

// Every attached camera at once, each under NS/SERIAL with its own frame id, each on a thread
// of its own so a slow or failing camera holds up no other; one summary line each.
int publish_all(const PublishOptions& o) {
    vexel::Library lib("/dev/null");
    const std::vector<vexel_dev> list = vexel::devices(64);
    if (list.empty()) {
        std::cerr << "vexel-publish: no camera found\n";
        return 1;
    }
    std::vector<Outcome> outcome(list.size());
    // Numbered in bus order, as `vexel list` shows them.
    std::vector<vexel_dev> sorted = list;
    std::sort(sorted.begin(), sorted.end(), [](const vexel_dev& a, const vexel_dev& b) {
        return std::tie(a.bus, a.port, a.addr) < std::tie(b.bus, b.port, b.addr);
    });
    std::vector<std::thread> threads;
    // Captures start together once every camera is open: an open (its calibration download) is
    // heavy on the bus and the host, and would cost the cameras already running frames.
    std::barrier<> gate(static_cast<std::ptrdiff_t>(list.size()));
    for (size_t k = 0; k < list.size(); ++k)
        threads.emplace_back([&, k] {
            Outcome& r = outcome[k];
            bool through = false;
            try {
                vexel::Device cam(sorted[k]);
                r.serial = cam.serial();
                calibrated_or_throw(cam);
                const std::string token = name_token(r.serial);
                run(cam, o, o.ns.empty() ? token : o.ns + "/" + token, token + "_" + o.frame_id, r, [&] {
                    through = true;
                    gate.arrive_and_wait();
                });
            } catch (const std::exception& e) {
                r.failure = e.what();
            }
            if (!through) gate.arrive_and_drop();  // a camera that failed holds up no other
        });
    for (std::thread& t : threads) t.join();
    int rc = interrupted() ? 130 : 0;
    for (size_t k = 0; k < outcome.size(); ++k) {
        const Outcome& r = outcome[k];
        std::string line = "camera " + std::to_string(k) + " (" + (r.serial.empty() ? "?" : r.serial) + "): " + summary(r);
        if (!r.failure.empty()) {
            line += "; failed: " + r.failure;
            rc = 1;
        }
        std::printf("%s\n", line.c_str());
    }
    return rc;
}

}  // namespace

int publish(const PublishOptions& o) {
    if (o.all) return publish_all(o);
    try {
        vexel::Library lib("/dev/null");
        vexel::Device cam = o.replay.empty() ? vexel::Device::open(o.device)
                                             : vexel::Device::open_recording(o.replay, o.realtime);
        if (o.replay.empty()) calibrated_or_throw(cam);
        Outcome r;
        run(cam, o, o.ns, o.frame_id, r);
        std::printf("%s\n", summary(r).c_str());
        return interrupted() ? 130 : 0;
    } catch (const std::exception& e) {
        std::cerr << "vexel-publish: " << e.what() << '\n';
        return 1;
    }
}

}  // namespace vexel_dds
