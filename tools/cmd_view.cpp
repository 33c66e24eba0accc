// vexel view: the camera in the browser. This side pulls and decodes frames and applies the
// page's controls between frames, on one thread; the server (viewer/) sends each page the
// newest frame its socket can take, so a slow page never holds up capture.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "cli.hpp"
#include "viewer/frame_msg.hpp"
#include "viewer/server.hpp"

extern char** environ;

namespace vexel_cli {

namespace {

using vexel_view::Control;

struct ViewOpts {
    long long device = 0, port = 8080, idle = 10;
    std::string bind = "127.0.0.1", replay, record_dir = ".";
    bool open = false;
    std::vector<std::string> filters;
};

std::string jstr(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;
        o += c;
    }
    return o + "\"";
}

// Pinhole intrinsics the library projects with, found by projecting two corner pixels at 1 m:
// x / z = (u - cx) / fx, y / z = (v - cy) / fy for the first and last pixel.
bool lens_of(vexel_dev* dev, int w, int h, vexel_camera_param& lens) {
    std::vector<float> dist(size_t(w) * size_t(h), 0.0f);
    dist.front() = dist.back() = 1.0f;
    float p[6] = {};
    if (vexel_frame_get_pcl(dev, p, 6, dist.data(), static_cast<int32_t>(dist.size()), w, h, nullptr) != 2)
        return false;
    const float a0 = p[0] / p[2], b0 = p[1] / p[2], a1 = p[3] / p[5], b1 = p[4] / p[5];
    if (a1 == a0 || b1 == b0) return false;
    lens.fx = static_cast<float>(w - 1) / (a1 - a0);
    lens.fy = static_cast<float>(h - 1) / (b1 - b0);
    lens.cx = -a0 * lens.fx;
    lens.cy = -b0 * lens.fy;
    lens.dist_scale = 1.0f;
    return std::isfinite(lens.fx) && std::isfinite(lens.fy);
}

// The page's record button: a recording of the camera into a new file, started and stopped
// between frames on the capture thread.
struct PageRecording {
    bool available = true;
    std::string why;   // when not available
    bool on = false;
    std::string file;  // the running or the last recording
    unsigned long long frames = 0;

    std::string json() const {
        return R"({"available":)" + std::string(available ? "true" : "false") + R"(,"why":)" + jstr(why) +
               R"(,"on":)" + (on ? "true" : "false") + R"(,"file":)" + jstr(file) +
               R"(,"frames":)" + std::to_string(frames) + "}";
    }

    // Starts or stops; the reason when that cannot be done.
    std::string set(vexel_dev* dev, bool start, const std::string& dir) {
        if (start == on) return {};
        if (!available) return why;
        if (!start) {
            vexel_rec_stats s{};
            const bool ok = vexel_rec_stop(dev, &s) == 1;
            on = false;
            frames = s.frames;
            std::fprintf(out(), "vexel view: %llu frames recorded into %s\n", frames, file.c_str());
            return ok ? std::string() : "recording " + file + " failed: " + s.message;
        }
        file = new_name(dir);
        frames = 0;
        if (!vexel_rec_start(dev, file.c_str(), nullptr)) return "cannot record into " + file + " (the log says why)";
        on = true;
        return {};
    }

    // view-YYYYMMDD-HHMMSS.vxr in `dir`, numbered on when that name is taken.
    static std::string new_name(const std::string& dir) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "view-%Y%m%d-%H%M%S", &tm);
        std::string name = (std::filesystem::path(dir) / stamp).string();
        std::string path = name + ".vxr";
        std::error_code ec;
        for (int k = 2; std::filesystem::exists(path, ec); ++k) path = name + "-" + std::to_string(k) + ".vxr";
        return path;
    }
};

// What the page shows of the camera and its settings.
struct ViewState {
    std::string product, serial;
    int width = 320, height = 240;
    bool have_lens = false;
    vexel_camera_param lens{};
    long long integration = 0, fps = 0;
    bool paused = false;
    PageRecording record;
    std::vector<FilterInfo> filters;

    std::string json() const {
        char num[256];
        std::string j = R"({"type":"state","product":)" + jstr(product) + R"(,"serial":)" + jstr(serial);
        std::snprintf(num, sizeof num, R"(,"width":%d,"height":%d,"paused":%s)", width, height,
                      paused ? "true" : "false");
        j += num;
        if (have_lens)
            std::snprintf(num, sizeof num, R"(,"lens":{"cx":%.6g,"cy":%.6g,"fx":%.6g,"fy":%.6g})", lens.cx, lens.cy,
                          lens.fx, lens.fy);
        else
            std::snprintf(num, sizeof num, R"(,"lens":null)");
        j += num;
        std::snprintf(num, sizeof num, R"(,"integration":{"value":%lld,"lo":%lld,"hi":%lld})", integration,
                      vexel_view::kIntegrationUs.lo, vexel_view::kIntegrationUs.hi);
        j += num;
        std::snprintf(num, sizeof num, R"(,"fps":{"value":%lld,"lo":%lld,"hi":%lld})", fps,
                      vexel_view::kFrameRate.lo, vexel_view::kFrameRate.hi);
        j += num;
        j += R"(,"record":)" + record.json() + R"(,"filters":[)";
        for (size_t i = 0; i < filters.size(); ++i) {
            const FilterInfo& f = filters[i];
            // %.10g: every whole-number range (up to 2^31 - 1) fits exactly, and a float32 setting reads back as set.
            char row[512];  // the table's names and descriptions are short and fixed
            std::snprintf(row, sizeof row,
                          R"(%s{"name":%s,"what":%s,"takes_value":%s,"real":%s,"lo":%.10g,"hi":%.10g,"closed":%s,"on":%s,"value":%.10g})",
                          i ? "," : "", jstr(f.name).c_str(), jstr(f.what).c_str(), f.takes_value ? "true" : "false",
                          f.real ? "true" : "false", f.lo, f.hi, f.closed ? "true" : "false", f.on ? "true" : "false",
                          f.value);
            j += row;
        }
        return j + "]}";
    }
};

long long read_param(vexel_dev* dev, uint32_t id, int bytes) {
    vexel_param_item it{};
    it.param_id = id;
    if (!vexel_param_batch_get(dev, &it, 1)) return -1;
    long long v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<long long>(it.param_val[i]) << (8 * i);
    return v;
}

bool write_param(vexel_dev* dev, uint32_t id, int bytes, long long value) {
    vexel_param_item it{};
    it.param_id = id;
    it.param_len = static_cast<uint8_t>(bytes);
    for (int i = 0; i < bytes; ++i) it.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    return vexel_param_batch_set(dev, &it, 1) != 0;
}

// The desktop's browser, when there is one; the address is printed either way. xdg-open may
// take seconds to try its candidates, so capture does not wait for it.
void open_browser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int r = posix_spawnp(&pid, "xdg-open", &quiet, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (r != 0) {
        std::fprintf(stderr, "vexel: no xdg-open to start a browser; open the address above\n");
        return;
    }
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "vexel: could not start a browser; open the address above\n");
    }).detach();
}

// Frames per second over the last two seconds of arrivals.
class RateMeter {
  public:
    float tick() {
        const auto now = std::chrono::steady_clock::now();
        times_.push_back(now);
        while (times_.size() > 2 && now - times_.front() > std::chrono::seconds(2)) times_.pop_front();
        if (times_.size() < 2) return 0;
        const double s = std::chrono::duration<double>(times_.back() - times_.front()).count();
        return s > 0 ? static_cast<float>(static_cast<double>(times_.size() - 1) / s) : 0.0f;
    }

  private:
    std::deque<std::chrono::steady_clock::time_point> times_;
};

std::vector<uint8_t> library_palette() {
    vx_cmap map{};
    vx_cmap_init(&map, 30000);
    auto msg = vexel_view::pack_palette(map.table, static_cast<size_t>(map.count));
    vx_cmap_uninit(&map);
    return msg;
}

int cmd_view(const ViewOpts& o) {
    if (!o.replay.empty()) set_replay(o.replay, true, true);
    Camera cam(o.device);
    vexel_dev* dev = cam.dev();
    ViewState st;
    st.product = dev->product;
    st.serial = dev->dev_id;
    st.filters = filter_list(dev);
    for (const std::string& f : o.filters) {
        FilterInfo now;
        const std::string why = apply_filter(dev, f, &now);
        if (!why.empty()) fail("%s", why.c_str());
        for (FilterInfo& i : st.filters)
            if (i.name == now.name) i.on = now.on, i.value = now.value;
    }
    if (!replay_path().empty()) {
        st.record.available = false;
        st.record.why = "the viewer plays a recording";
    }
    st.integration = read_param(dev, VX_PARAM_INTG_TIME, 2);
    st.fps = read_param(dev, VX_PARAM_FPS, 4);

    std::mutex mu;
    std::deque<Control> pending;
    vexel_view::Server::Options so;
    so.bind = o.bind;
    so.port = static_cast<unsigned short>(o.port);
    vexel_view::Server server(so, check_filter, [&](const Control& c) {
        std::lock_guard<std::mutex> l(mu);
        if (pending.size() < 256) pending.push_back(c);
    });
    server.set_palette(library_palette());
    try {
        server.start();
    } catch (const std::exception& e) {
        fail("%s", e.what());
    }
    std::fprintf(out(), "vexel view: %s\n", server.url().c_str());
    std::fflush(out());
    if (o.open) open_browser(server.url());

    std::vector<uint8_t> raw;
    std::vector<float> dist, gray;
    vexel_frame_info info{};
    vexel_view::FrameFigures fig;
    RateMeter rate;
    auto last_temps = std::chrono::steady_clock::time_point{};
    bool sent_state = false;
    FramePump pump(dev, 0, o.idle);
    while (pump.next(raw, info)) {
        std::deque<Control> todo;
        {
            std::lock_guard<std::mutex> l(mu);
            todo.swap(pending);
        }
        bool changed = !sent_state;
        for (const Control& c : todo) {
            std::string why;
            switch (c.kind) {
                case Control::integration:
                    if (write_param(dev, VX_PARAM_INTG_TIME, 2, c.value))
                        st.integration = c.value;
                    else
                        why = "the camera refused integration time " + std::to_string(c.value) + " us";
                    break;
                case Control::frame_rate:
                    if (write_param(dev, VX_PARAM_FPS, 4, c.value))
                        st.fps = c.value;
                    else
                        why = "the camera refused frame rate " + std::to_string(c.value);
                    break;
                case Control::pause: st.paused = c.value != 0; break;
                case Control::record: why = st.record.set(dev, c.value != 0, o.record_dir); break;
                case Control::filter_setting: {
                    FilterInfo now;
                    why = apply_filter(dev, c.filter, &now);
                    for (FilterInfo& i : st.filters)
                        if (why.empty() && i.name == now.name) i.on = now.on, i.value = now.value;
                    break;
                }
            }
            if (!why.empty()) server.send_note(R"({"type":"refused","why":)" + jstr(why) + "}");
            changed = true;
        }
        if (changed) {
            server.send_state(st.json());
            sent_state = true;
        }
        const float fps = rate.tick();
        const auto now = std::chrono::steady_clock::now();
        if (now - last_temps > std::chrono::seconds(1)) {
            last_temps = now;
            const long long t = read_param(dev, VX_PARAM_TEMPERATURES, 4);
            fig.temps_known = t >= 0;
            fig.sensor_temp = static_cast<int16_t>(t & 0xffff);
            fig.illum_temp = static_cast<int16_t>((t >> 16) & 0xffff);
            vexel_rec_stats rs{};
            if (st.record.on && vexel_rec_get_stats(dev, &rs)) {
                st.record.frames = rs.frames;
                server.send_state(st.json());
            }
        }
        if (st.paused) continue;
        const size_t n = size_t{info.frame_width} * info.frame_height;
        if (n == 0) continue;
        dist.resize(n);
        gray.resize(n);
        if (vexel_frame_get_distance(dev, dist.data(), static_cast<uint32_t>(n), raw.data(),
                                     static_cast<uint32_t>(raw.size()), &info) <= 0 ||
            vexel_frame_get_gray(dev, gray.data(), static_cast<uint32_t>(n), raw.data(),
                                 static_cast<uint32_t>(raw.size()), &info) <= 0)
            continue;
        if (!st.have_lens || static_cast<int>(info.frame_width) != st.width ||
            static_cast<int>(info.frame_height) != st.height) {
            st.width = static_cast<int>(info.frame_width);
            st.height = static_cast<int>(info.frame_height);
            st.have_lens = lens_of(dev, st.width, st.height, st.lens);
            server.send_state(st.json());
        }
        const PullStats& s = pump.stats();
        ++fig.seq;
        fig.frame_idx = info.frame_idx;
        fig.gaps = static_cast<uint32_t>(s.gaps);
        fig.missing = static_cast<uint32_t>(s.missing);
        fig.discarded = s.discarded;
        fig.camera_fps = fps;
        auto msg = std::make_shared<std::vector<uint8_t>>();
        vexel_view::pack_frame(fig, st.width, st.height, dist.data(), gray.data(), *msg);
        server.publish(std::move(msg));
    }
    server.stop();
    if (const std::string why = st.record.set(dev, false, o.record_dir); !why.empty())
        std::fprintf(stderr, "vexel: %s\n", why.c_str());
    const auto c = server.counters();
    std::fprintf(out(), "%s; %llu frames sent to pages\n", pump.summary().c_str(),
                 static_cast<unsigned long long>(c.sent));
    const std::string why = pump.problem();
    if (why.empty() || why == "interrupted") return 0;
    fail("%s", why.c_str());
}

}  // namespace

void add_view_command(CLI::App& app, Commands& cmds) {
    auto o = std::make_shared<ViewOpts>();
    CLI::App* sub = app.add_subcommand(
        "view", "live depth, amplitude and point cloud in the browser, with the camera's controls");
    auto* d = add_device_option(sub, o->device);
    sub->add_option("--replay", o->replay,
                    "show a recording (vexel record) instead of a camera, at its recorded rate, over and over")
        ->excludes(d);
    sub->add_option("--record-dir", o->record_dir, "where the page's record button writes its recordings")
        ->capture_default_str();
    add_number(sub, "--port", o->port, 0, 65535, "TCP port of the page (0: any free one)")->capture_default_str();
    sub->add_option("--bind", o->bind,
                    "address to listen on; beyond loopback the page's address carries a random token")
        ->capture_default_str();
    sub->add_flag("--open", o->open, "open the page in the desktop's browser");
    add_filter_option(sub, o->filters);
    add_number(sub, "--timeout", o->idle, 1, 3600, "give up after this many seconds without a frame")
        ->capture_default_str();
    cmds.push_back({sub, [o] { return cmd_view(*o); }});
}

}  // namespace vexel_cli
