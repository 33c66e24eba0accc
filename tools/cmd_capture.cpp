// Frames from a camera: raw streaming, decoded distances, and a capture into pictures, a point
// cloud and frame files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "cli.hpp"

namespace vexel_cli {

namespace {

namespace fs = std::filesystem;

struct Opts {
    long long frames = 0, idle = 5;
    std::string device = "0";
    bool uncalibrated = false;
    std::string out, depth = "z";
    std::vector<std::string> filters, formats;
    Settings settings;
};

void add_pull_options(CLI::App* sub, Opts& o, long long default_frames, long long min_frames) {
    o.frames = default_frames;
    add_devices_option(sub, o.device);
    add_number(sub, "-n,--frames", o.frames, min_frames, 100000000,
               min_frames == 0 ? "frames to capture, 0: until Ctrl-C" : "frames to capture")
        ->capture_default_str();
    add_number(sub, "--timeout", o.idle, 1, 3600, "give up after this many seconds without a frame")
        ->capture_default_str();
    add_settings_options(sub, o.settings);
}

// -v: when each frame reached the host (local time) and how warm the camera was.
void print_frame_meta(const vexel_frame_info& info, const vexel_frame_meta& m) {
    const time_t sec = static_cast<time_t>(m.host_time_ns / 1000000000);
    tm local{};
    localtime_r(&sec, &local);
    char when[32];
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    std::fprintf(out(), "frame %5u: host %s.%06lld, sensor %.1f C, illumination %.1f C\n", info.frame_idx, when,
                 static_cast<long long>(m.host_time_ns % 1000000000 / 1000), m.sensor_temp / 10.0,
                 m.illum_temp / 10.0);
}

// A file written under a temporary name beside its own, renamed into place by commit(); a
// failed command leaves any earlier file of that name as it was.
class PartFile {
  public:
    explicit PartFile(std::string path) : path_(std::move(path)), part_(path_ + ".part") {
        fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) fail("cannot write %s: %s", path_.c_str(), std::strerror(errno));
    }
    ~PartFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!done_) ::unlink(part_.c_str());
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    void commit() {
        const int r = ::close(fd_);
        fd_ = -1;
        if (r != 0 || std::rename(part_.c_str(), path_.c_str()) != 0)
            fail("cannot write %s: %s", path_.c_str(), std::strerror(errno));
        done_ = true;
    }

  private:
    std::string path_, part_;
    int fd_ = -1;
    bool done_ = false;
};

// Ctrl-C ends a pull with its summary and files, and the program with 130 (set by main).
int finish_pull(const FramePump& pump) {
    const std::string why = pump.problem();
    if (why.empty() || why == "interrupted") return 0;
    fail("%s", why.c_str());
}

int cmd_stream(const Opts& o, const Target& t) {
    const std::string path = o.out.empty() ? o.out : t.place(o.out, false);
    std::unique_ptr<PartFile> file;
    if (!path.empty()) {  // checked before any capture
        if (t.many) fs::create_directories(fs::path(path).parent_path());
        file = std::make_unique<PartFile>(path);
    }
    Camera cam(t.index);
    apply_settings(cam.dev(), o.settings);
    std::vector<uint8_t> raw, last;
    vexel_frame_info info{}, last_info{};
    FramePump pump(cam.dev(), static_cast<long>(o.frames), o.idle);
    while (pump.next(raw, info)) {
        if (verbosity() > 0) print_frame_meta(info, pump.meta());
        last.swap(raw);
        last_info = info;
    }
    std::fprintf(out(), "%s\n", pump.summary().c_str());
    if (!last.empty())
        std::fprintf(out(), "last frame %u: %ux%u, %u bytes, format %u\n", last_info.frame_idx,
                     last_info.frame_width, last_info.frame_height, last_info.frame_size,
                     last_info.frame_format);
    if (file) {
        if (last.empty()) {
            const std::string why = pump.problem();
            fail("%s: %s not written", why.empty() ? "no frame with data arrived" : why.c_str(), path.c_str());
        }
        if (::write(file->fd(), last.data(), last.size()) != static_cast<ssize_t>(last.size()))
            fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
        file->commit();
        std::fprintf(out(), "last raw frame written to %s\n", path.c_str());
    }
    return finish_pull(pump);
}

// Distances of one frame in metres; false when the frame does not decode.
bool decode(vexel_dev* dev, const std::vector<uint8_t>& raw, const vexel_frame_info& info,
            std::vector<float>& dist, std::vector<float>* gray) {
    const size_t n = size_t{info.frame_width} * info.frame_height;
    if (n == 0) return false;
    dist.resize(n);
    if (vexel_frame_get_distance(dev, dist.data(), static_cast<uint32_t>(n), raw.data(),
                                 static_cast<uint32_t>(raw.size()), &info) <= 0)
        return false;
    if (!gray) return true;
    gray->resize(n);
    return vexel_frame_get_gray(dev, gray->data(), static_cast<uint32_t>(n), raw.data(),
                                static_cast<uint32_t>(raw.size()), &info) > 0;
}

// Valid distances of an image, sorted only as far as the median needs.
float median_valid(const std::vector<float>& dist, size_t& valid) {
    std::vector<float> v;
    v.reserve(dist.size());
    for (float d : dist)
        if (valid_distance(d)) v.push_back(d);
    valid = v.size();
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

int cmd_distance(const Opts& o, const Target& t) {
    Camera cam(t.index, Need::depth, o.uncalibrated);
    apply_settings(cam.dev(), o.settings);
    apply_filters(cam.dev(), o.filters);
    std::vector<uint8_t> raw;
    std::vector<float> dist;
    vexel_frame_info info{};
    long undecoded = 0;
    FramePump pump(cam.dev(), static_cast<long>(o.frames), o.idle);
    while (pump.next(raw, info)) {
        if (!decode(cam.dev(), raw, info, dist, nullptr)) {
            std::fprintf(stderr, "vexel: frame %u not decoded\n", info.frame_idx);
            ++undecoded;
            continue;
        }
        size_t valid = 0;
        const float median = median_valid(dist, valid);
        const float centre = dist[size_t{info.frame_height / 2} * info.frame_width + info.frame_width / 2];
        std::fprintf(out(), "frame %u: centre %.3f m, median %.3f m over %zu of %zu pixels\n", info.frame_idx,
                     centre, median, valid, dist.size());
    }
    std::fprintf(out(), "%s\n", pump.summary().c_str());
    const int rc = finish_pull(pump);
    if (undecoded) fail("%ld of %ld frames not decoded", undecoded, pump.stats().frames);
    return rc;
}

// Colours of the depth picture and the point cloud: the library's colour map over the range the
// scene fills (1st to 99th percentile), values beyond it held at its ends, invalid pixels black.
class DepthColours {
  public:
    explicit DepthColours(const std::vector<float>& dist) {
        std::vector<int32_t> mm;
        for (float d : dist)
            if (valid_distance(d)) mm.push_back(static_cast<int32_t>(d * 1000.0f));
        if (!mm.empty()) {
            auto at = [&](double q) {
                auto it = mm.begin() + static_cast<long>(q * static_cast<double>(mm.size() - 1));
                std::nth_element(mm.begin(), it, mm.end());
                return *it;
            };
            lo_ = std::max(0, at(0.01) - 1);
            hi_ = std::max(at(0.99), lo_ + 2);
        }
        vx_cmap_init(&map_, 30000);
        vx_cmap_set_range(&map_, lo_, hi_);
    }
    ~DepthColours() { vx_cmap_uninit(&map_); }
    DepthColours(const DepthColours&) = delete;
    DepthColours& operator=(const DepthColours&) = delete;

    uint32_t word(float metres) const {
        if (!valid_distance(metres)) return 0;
        const auto mm = static_cast<int32_t>(metres * 1000.0f);
        return vx_cmap_get_color(&map_, std::clamp(mm, lo_ + 1, hi_));  // colours run over (lo, hi]
    }
    double near_m() const { return lo_ / 1000.0; }
    double far_m() const { return hi_ / 1000.0; }

  private:
    vx_cmap map_{};
    int32_t lo_ = 0, hi_ = 4000;
};

void depth_png(const std::string& path, const std::vector<float>& dist, const DepthColours& colours, int w,
               int h) {
    std::vector<uint8_t> rgb(dist.size() * 3);
    for (size_t i = 0; i < dist.size(); ++i) {
        const uint32_t c = colours.word(dist[i]);
        rgb[3 * i] = static_cast<uint8_t>(c);
        rgb[3 * i + 1] = static_cast<uint8_t>(c >> 8);
        rgb[3 * i + 2] = static_cast<uint8_t>(c >> 16);
    }
    write_png(path, rgb.data(), w, h, 3);
}

// Gray scaled so the 99th percentile of the unsaturated amplitudes is white; saturated pixels,
// which measured nothing, black as in every picture.
void amplitude_png(const std::string& path, const std::vector<float>& gray, int w, int h) {
    constexpr float kSaturated = 65000.0f;
    std::vector<float> v;
    for (float g : gray)
        if (g < kSaturated) v.push_back(g);
    float top = 1;
    if (!v.empty()) {
        auto it = v.begin() + static_cast<long>(0.99 * static_cast<double>(v.size() - 1));
        std::nth_element(v.begin(), it, v.end());
        top = std::max(*it, 1.0f);
    }
    std::vector<uint8_t> px(gray.size());
    for (size_t i = 0; i < gray.size(); ++i)
        px[i] = gray[i] >= kSaturated
                    ? 0
                    : static_cast<uint8_t>(std::clamp(gray[i] / top * 255.0f, 0.0f, 255.0f));
    write_png(path, px.data(), w, h, 1);
}

// Whether the filters given leave the lens undistortion on (the driver starts with it off).
bool lens_filter_on(const std::vector<std::string>& filters) {
    bool on = false;
    for (const std::string& f : filters) {
        const size_t eq = f.find('=');
        const vexel_filter_info* k = vexel_filter_find(f.substr(0, eq).c_str());
        if (k && k->id == VEXEL_FILTER_LENS_UNDISTORT) on = eq == std::string::npos || f.substr(eq + 1) != "off";
    }
    return on;
}

// Where the rays of the decoded images come from: the decoder undistorts full-size frames only.
uint32_t ray_flags(bool lens, int w, int h) {
    return lens && w == 320 && h == 240 ? VEXEL_PCL_UNDISTORTED : VEXEL_PCL_DISTORTED;
}

std::vector<float> zdepth(vexel_dev* dev, const std::vector<float>& dist, int w, int h, uint32_t rays) {
    std::vector<float> z(dist.size());
    if (vexel_frame_get_zdepth(dev, z.data(), static_cast<int32_t>(z.size()), dist.data(),
                               static_cast<int32_t>(dist.size()), w, h, nullptr, rays) <= 0)
        fail("no z-depth: the camera's driver gives no lens parameters");
    return z;
}

// Points of the valid pixels along their rays through the lens, coloured like the depth picture.
std::vector<PlyPoint> cloud_points(vexel_dev* dev, const std::vector<float>& dist, const std::vector<float>& shown,
                                   const DepthColours& colours, int w, int h, uint32_t rays) {
    std::vector<float> xyz(dist.size() * 3);
    std::vector<int32_t> pixel(dist.size());
    const int32_t n = vexel_frame_get_pcl_ex(dev, xyz.data(), static_cast<int32_t>(xyz.size()), dist.data(),
                                             static_cast<int32_t>(dist.size()), w, h, nullptr, rays, pixel.data(),
                                             static_cast<int32_t>(pixel.size()));
    if (n <= 0 && std::any_of(dist.begin(), dist.end(), valid_distance))
        fail("no point cloud: the camera's driver gives no lens parameters");
    std::vector<PlyPoint> pts(static_cast<size_t>(std::max(n, 0)));
    for (size_t k = 0; k < pts.size(); ++k) {
        const float* p = &xyz[3 * k];
        const uint32_t c = colours.word(shown[static_cast<size_t>(pixel[k])]);
        pts[k] = {p[0],
                  p[1],
                  p[2],
                  static_cast<uint8_t>(c),
                  static_cast<uint8_t>(c >> 8),
                  static_cast<uint8_t>(c >> 16)};
    }
    return pts;
}

int cmd_capture(const Opts& o, const Target& t) {
    auto wants = [&](const char* f) {
        return o.formats.empty() || std::count(o.formats.begin(), o.formats.end(), f);
    };
    // The camera first: one that gives no depth is refused before anything is written.
    Camera cam(t.index, Need::depth, o.uncalibrated);
    const fs::path dir = t.place(o.out.empty() ? "." : o.out, true);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) fail("cannot create %s: %s", dir.c_str(), ec.message().c_str());
    // Opened before the capture: an unwritable place fails first. depth.vx keeps ray lengths,
    // as the library's distance is; z-depth has a file of its own.
    std::unique_ptr<PartFile> depth_vx, amp_vx, z_vx;
    if (wants("vx")) {
        depth_vx = std::make_unique<PartFile>((dir / "depth.vx").string());
        amp_vx = std::make_unique<PartFile>((dir / "amplitude.vx").string());
        if (o.depth == "z") z_vx = std::make_unique<PartFile>((dir / "zdepth.vx").string());
    }

    apply_settings(cam.dev(), o.settings);
    apply_filters(cam.dev(), o.filters);
    const bool lens = lens_filter_on(o.filters);
    std::vector<uint8_t> raw;
    std::vector<float> dist, gray;
    vexel_frame_info info{};
    int w = 0, h = 0;
    long decoded = 0;
    uint64_t pixels = 0;
    Histogram all(60.0, 0.001);
    FramePump pump(cam.dev(), static_cast<long>(o.frames), o.idle);
    while (pump.next(raw, info)) {
        if (!decode(cam.dev(), raw, info, dist, &gray)) {
            std::fprintf(stderr, "vexel: frame %u not decoded\n", info.frame_idx);
            continue;
        }
        if (decoded && (static_cast<int>(info.frame_width) != w || static_cast<int>(info.frame_height) != h))
            fail("frame size changed from %dx%d to %ux%u", w, h, info.frame_width, info.frame_height);
        w = static_cast<int>(info.frame_width);
        h = static_cast<int>(info.frame_height);
        ++decoded;
        pixels += dist.size();
        for (float d : dist)
            if (valid_distance(d)) all.add(d);
        size_t valid = 0;
        const float median = median_valid(dist, valid);
        char rate[16] = "   --";
        if (pump.rate() > 0) std::snprintf(rate, sizeof rate, "%5.1f", pump.rate());
        std::fprintf(out(), "frame %5u: %s fps, %5.1f %% valid, median %.3f m\n", info.frame_idx, rate,
                     100.0 * static_cast<double>(valid) / static_cast<double>(dist.size()), median);
        if (depth_vx && (vexel_frame_save_distance(depth_vx->fd(), VEXEL_FRAME_SAVE_F32, dist.data(),
                                                   static_cast<int32_t>(dist.size()), w, h) != 1 ||
                         vexel_frame_save_gray(amp_vx->fd(), VEXEL_FRAME_SAVE_U16, gray.data(),
                                               static_cast<int32_t>(gray.size()), w, h) != 1))
            fail("cannot write the frame files in %s", dir.c_str());
        if (z_vx) {
            const std::vector<float> z = zdepth(cam.dev(), dist, w, h, ray_flags(lens, w, h));
            if (vexel_frame_save_distance(z_vx->fd(), VEXEL_FRAME_SAVE_F32, z.data(), static_cast<int32_t>(z.size()), w,
                                          h) != 1)
                fail("cannot write the frame files in %s", dir.c_str());
        }
    }
    std::fprintf(out(), "%s\n", pump.summary().c_str());
    if (decoded == 0) {
        const std::string why = pump.problem();
        fail("no frame decoded%s%s", why.empty() ? "" : ": ", why.c_str());
    }
    const char* frames = decoded == 1 ? "frame" : "frames";
    std::fprintf(out(), "%ld %s decoded, %.1f %% of the pixels valid, median distance %.3f m\n", decoded,
                 frames, 100.0 * static_cast<double>(all.count()) / static_cast<double>(pixels),
                 all.quantile(0.5));

    if (depth_vx) {
        depth_vx->commit();
        amp_vx->commit();
        std::fprintf(out(), "%s: distances (ray lengths) in metres, %ld %s\n%s: amplitudes, %ld %s\n",
                     depth_vx->path().c_str(), decoded, frames, amp_vx->path().c_str(), decoded, frames);
        if (z_vx) {
            z_vx->commit();
            std::fprintf(out(), "%s: depth along the optical axis in metres, %ld %s\n", z_vx->path().c_str(),
                         decoded, frames);
        }
    }
    // Pictures and cloud show the last frame, coloured by what --depth asks for.
    const uint32_t rays = ray_flags(lens, w, h);
    const std::vector<float> shown = o.depth == "z" ? zdepth(cam.dev(), dist, w, h, rays) : dist;
    const DepthColours colours(shown);
    const char* what = o.depth == "z" ? "depth along the optical axis" : "distance along the ray";
    if (wants("png")) {
        const std::string d = (dir / "depth.png").string(), a = (dir / "amplitude.png").string();
        depth_png(d, shown, colours, w, h);
        amplitude_png(a, gray, w, h);
        std::fprintf(out(), "%s: %s, red %.2f m to blue %.2f m, black invalid\n%s: amplitude\n", d.c_str(), what,
                     colours.near_m(), colours.far_m(), a.c_str());
    }
    // Without --format: the binary PLY. ply-ascii writes cloud.ply as text instead.
    const bool ascii = !o.formats.empty() && wants("ply-ascii"), pcd = !o.formats.empty() && wants("pcd");
    if (wants("ply") || ascii || pcd) {
        const std::vector<PlyPoint> pts = cloud_points(cam.dev(), dist, shown, colours, w, h, rays);
        if (wants("ply") || ascii) {
            const std::string p = (dir / "cloud.ply").string();
            write_ply(p, pts, ascii);
            std::fprintf(out(), "%s: %zu points\n", p.c_str(), pts.size());
        }
        if (pcd) {
            const std::string p = (dir / "cloud.pcd").string();
            write_pcd(p, pts);
            std::fprintf(out(), "%s: %zu points\n", p.c_str(), pts.size());
        }
    }
    return finish_pull(pump);
}

}  // namespace

void add_capture_commands(CLI::App& app, Commands& cmds) {
    auto s = std::make_shared<Opts>();
    auto* stream =
        app.add_subcommand("stream", "capture raw frames: rate, gaps and losses; -o saves the last one");
    add_pull_options(stream, *s, 30, 0);
    stream->add_option("-o,--output", s->out, "file for the last raw frame (written only when one arrived)");
    cmds.push_back({stream, [s] { return run_on_cameras(s->device, [s](const Target& t) { return cmd_stream(*s, t); }); }});

    auto d = std::make_shared<Opts>();
    auto* distance = app.add_subcommand("distance", "decode frames: centre and median distance of each");
    add_pull_options(distance, *d, 1, 1);
    add_filter_option(distance, d->filters);
    add_uncalibrated_option(distance, d->uncalibrated);
    cmds.push_back({distance, [d] { return run_on_cameras(d->device, [d](const Target& t) { return cmd_distance(*d, t); }); }});

    auto c = std::make_shared<Opts>();
    auto* capture = app.add_subcommand(
        "capture",
        "capture and decode frames into depth.png, amplitude.png, cloud.ply, depth.vx, zdepth.vx and amplitude.vx");
    add_pull_options(capture, *c, 1, 1);
    c->out = ".";
    capture->add_option("-o,--output", c->out, "directory for the files (created when missing)")
        ->capture_default_str();
    add_filter_option(capture, c->filters);
    add_uncalibrated_option(capture, c->uncalibrated);
    capture->add_option("--format", c->formats,
                        "files to write: png, ply (binary), ply-ascii, pcd (binary, Point Cloud Library), vx "
                        "(default: png, ply, vx)")
        ->delimiter(',')
        ->check(CLI::IsMember({"png", "ply", "ply-ascii", "pcd", "vx"}));
    capture
        ->add_option("--depth", c->depth,
                     "what depth.png shows: z (along the optical axis; also written to zdepth.vx) or ray (the "
                     "distance along each pixel's ray, as depth.vx holds it)")
        ->check(CLI::IsMember({"z", "ray"}))
        ->capture_default_str();
    cmds.push_back({capture, [c] { return run_on_cameras(c->device, [c](const Target& t) { return cmd_capture(*c, t); }); }});
}

}  // namespace vexel_cli
