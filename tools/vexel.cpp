// vexel: the command-line face of libvexel.
//
//   vexel list                         cameras on the USB buses
//   vexel info [-d N]                  identification of camera N (default 0)
//   vexel stream [-d N] [-n FRAMES] [-o FILE]
//                                      capture raw frames, report rate and losses; -o saves the last
//   vexel reg-read [-d N] TARGET BASE COUNT
//   vexel reg-write [-d N] TARGET BASE VALUE...
//   vexel param-get [-d N] ID...
//   vexel distance [-d N] [-n FRAMES]  decode frames (default 1): centre and median distance in metres
//
// Without a camera: vexel-sim -- vexel stream
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <vexel/chip.h>
#include <vexel/driver.h>
#include <vexel/vexel.h>

namespace {

constexpr int kMaxCameras = 16;
constexpr uint32_t kRawFrame = 320 * 240 * 2 * 4;

struct Options {
    std::string command;
    int device = 0;
    long frames = -1;  // -n; unset: 30 for stream, 1 for distance
    std::string out;
    std::vector<std::string> args;
};

int usage() {
    std::fputs(
        "usage: vexel list\n"
        "       vexel info [-d N]\n"
        "       vexel stream [-d N] [-n FRAMES] [-o FILE]\n"
        "       vexel reg-read [-d N] TARGET BASE COUNT\n"
        "       vexel reg-write [-d N] TARGET BASE VALUE...\n"
        "       vexel param-get [-d N] ID...\n"
        "       vexel distance [-d N] [-n FRAMES]\n",
        stderr);
    return 2;
}

bool parse_number(const std::string& s, long& out) {
    char* end = nullptr;
    out = std::strtol(s.c_str(), &end, 0);
    return !s.empty() && end && *end == '\0';
}

bool parse(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        long v = 0;
        if ((a == "-d" || a == "-n") && i + 1 < argc) {
            if (!parse_number(argv[++i], v) || v < 0 || v > 1000000) return false;
            if (a == "-d") o.device = static_cast<int>(v);
            else o.frames = v;
        } else if (a == "-o" && i + 1 < argc) {
            o.out = argv[++i];
        } else {
            o.args.push_back(a);
        }
    }
    return true;
}

const char* speed_name(uint8_t s) {
    switch (s) {
        case 1: return "low";
        case 2: return "full";
        case 3: return "high";
        case 4: return "super";
        default: return "unknown";
    }
}

// Lists the cameras, opens number `n`. The record must outlive the open.
bool open_camera(int n, vexel_dev& dev) {
    vexel_dev list[kMaxCameras];
    const int count = vexel_dev_list(list, kMaxCameras);
    if (n >= count) {
        std::fprintf(stderr, "vexel: camera %d not found (%d attached)\n", n, count);
        return false;
    }
    dev = list[n];
    if (!vexel_dev_open(&dev)) {
        std::fprintf(stderr, "vexel: cannot open camera %d (bus %u port %u)\n", n, dev.bus, dev.port);
        return false;
    }
    return true;
}

int cmd_list() {
    vexel_dev list[kMaxCameras];
    const int n = vexel_dev_list(list, kMaxCameras);
    for (int i = 0; i < n; ++i)
        std::printf("%d: bus %03u port %u address %03u, %s speed\n", i, list[i].bus, list[i].port, list[i].addr,
                    speed_name(list[i].speed));
    if (n == 0) std::puts("no camera found");
    return n > 0 ? 0 : 1;
}

int cmd_info(vexel_dev& dev) {
    uint16_t ver[4];
    std::memcpy(ver, dev.version, sizeof ver);
    vexel_driver_entry* drv = vexel_dev_get_drv(&dev);
    std::printf("product   %s\nident     %s\nfirmware  %u\ndriver    %s\nusb       bus %03u port %u address %03u, %s speed\n",
                dev.product, dev.dev_id, ver[1], drv ? drv->name : "-", dev.bus, dev.port, dev.addr,
                speed_name(dev.speed));
    vexel_param_item items[3] = {};
    items[0].param_id = VX_PARAM_FPS;
    items[1].param_id = VX_PARAM_INTG_TIME;
    items[2].param_id = VX_PARAM_CHIP_INFO;
    if (vexel_param_batch_get(&dev, items, 3)) {
        uint32_t fps;
        uint16_t intg, chip[3];
        std::memcpy(&fps, items[0].param_val, 4);
        std::memcpy(&intg, items[1].param_val, 2);
        std::memcpy(chip, items[2].param_val, sizeof chip);
        std::printf("frame rate %u fps\nintegration %u us\nchip      part %u, number %u, wafer %u\n", fps, intg,
                    chip[0], chip[1], chip[2]);
    }
    if (const int calib = epc_calib_status(drv); calib != EPC_CALIB_UNKNOWN) {
        static const char* const how[] = {"-", "found", "downloaded from the camera", "missing"};
        char name[VX_CHIP_NAME_MAX];
        calibrationGetDistanceImagesName(name);
        std::printf("sensor    epc%s, wafer %d, chip %d, %d kHz\ncalib     %s%s: %s\n",
                    configGetPartType() == 4 || configGetPartType() == 5 ? "635" : "660", configGetWaferID(),
                    configGetChipID(), configGetModulationFrequency(), vexel_path_get(), name, how[calib]);
    }
    return 0;
}

int cmd_stream(vexel_dev& dev, const Options& o) {
    if (!vexel_cap_set_frame_buffer(&dev, nullptr, 10 * 307200) || !vexel_cap_start(&dev)) {
        std::fputs("vexel: capture did not start\n", stderr);
        return 1;
    }
    std::vector<uint8_t> frame(kRawFrame * 2);
    long got = 0, gaps = 0;
    int last_idx = -1, err = 0;
    vexel_frame_info info{};
    const auto t0 = std::chrono::steady_clock::now();
    const long want = o.frames < 0 ? 30 : o.frames;
    while (got < want) {
        const int r = vexel_cap_get_frames(&dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (r < 0) {
            err = r;
            break;
        }
        if (r == 0) continue;
        if (last_idx >= 0 && info.frame_idx != static_cast<uint16_t>(last_idx + 1)) ++gaps;
        last_idx = info.frame_idx;
        ++got;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    vexel_cap_stop(&dev);
    std::printf("%ld frames in %.2f s (%.1f fps), %ld gaps in the frame index", got, secs, secs > 0 ? got / secs : 0.0,
                gaps);
    if (got) std::printf(", last frame %u: %ux%u, %u bytes, format %u", info.frame_idx, info.frame_width,
                         info.frame_height, info.frame_size, info.frame_format);
    std::puts("");
    if (err) std::fprintf(stderr, "vexel: capture ended with %s\n", vexel_error_name(err));
    if (got && !o.out.empty()) {
        FILE* f = std::fopen(o.out.c_str(), "wb");
        if (!f || std::fwrite(frame.data(), 1, info.frame_size, f) != info.frame_size) {
            std::fprintf(stderr, "vexel: cannot write %s\n", o.out.c_str());
            if (f) std::fclose(f);
            return 1;
        }
        std::fclose(f);
        std::printf("raw frame written to %s\n", o.out.c_str());
    }
    return err ? 1 : 0;
}

int cmd_reg(vexel_dev& dev, const Options& o, bool write) {
    long target, base, v;
    if (o.args.size() < 3 || !parse_number(o.args[0], target) || !parse_number(o.args[1], base)) return usage();
    std::vector<uint32_t> vals;
    if (write) {
        for (size_t i = 2; i < o.args.size(); ++i) {
            if (!parse_number(o.args[i], v)) return usage();
            vals.push_back(static_cast<uint32_t>(v));
        }
        if (!vexel_reg_batch_write(&dev, static_cast<unsigned>(target), static_cast<uint32_t>(base), vals.data(),
                                   static_cast<uint32_t>(vals.size())))
            return 1;
        return 0;
    }
    if (!parse_number(o.args[2], v) || v <= 0) return usage();
    vals.resize(static_cast<size_t>(v));
    if (!vexel_reg_batch_read(&dev, static_cast<unsigned>(target), static_cast<uint32_t>(base), vals.data(),
                              static_cast<uint32_t>(vals.size())))
        return 1;
    for (size_t i = 0; i < vals.size(); ++i) std::printf("%ld: 0x%02x (%u)\n", base + long(i), vals[i], vals[i]);
    return 0;
}

int cmd_param_get(vexel_dev& dev, const Options& o) {
    if (o.args.empty()) return usage();
    std::vector<vexel_param_item> items(o.args.size());
    for (size_t i = 0; i < o.args.size(); ++i) {
        long id;
        if (!parse_number(o.args[i], id)) return usage();
        items[i].param_id = static_cast<uint32_t>(id);
    }
    if (!vexel_param_batch_get(&dev, items.data(), static_cast<int>(items.size()))) return 1;
    for (const auto& it : items) {
        std::printf("%u [%u]:", it.param_id, it.param_len);
        for (int b = 0; b < it.param_len && b < 18; ++b) std::printf(" %02x", it.param_val[b]);
        std::puts("");
    }
    return 0;
}

// Decodes frames and prints, per frame, the centre pixel and the median of the valid pixels.
int cmd_distance(vexel_dev& dev, const Options& o) {
    if (!vexel_cap_set_frame_buffer(&dev, nullptr, 10 * 307200) || !vexel_cap_start(&dev)) {
        std::fputs("vexel: capture did not start\n", stderr);
        return 1;
    }
    std::vector<uint8_t> frame(kRawFrame);
    std::vector<float> dist;
    vexel_frame_info info{};
    int rc = 0;
    for (long got = 0, want = o.frames < 0 ? 1 : o.frames; got < want;) {
        const int r = vexel_cap_get_frames(&dev, 1, frame.data(), static_cast<uint32_t>(frame.size()), &info);
        if (r < 0) {
            std::fprintf(stderr, "vexel: capture ended with %s\n", vexel_error_name(r));
            rc = 1;
            break;
        }
        if (r == 0) continue;
        ++got;
        const uint32_t w = info.frame_width, h = info.frame_height;
        dist.assign(size_t(w) * h, 0.0f);
        if (w == 0 || h == 0 ||
            vexel_frame_get_distance(&dev, dist.data(), static_cast<uint32_t>(dist.size()), frame.data(),
                                     static_cast<uint32_t>(frame.size()), &info) <= 0) {
            std::fprintf(stderr, "vexel: frame %u not decoded\n", info.frame_idx);
            rc = 1;
            continue;
        }
        const float centre = dist[size_t(h / 2) * w + w / 2];
        // 65.3 and 65.5 mark rejected pixels.
        std::vector<float> valid;
        for (float d : dist)
            if (d < 65.0f) valid.push_back(d);
        float median = 0;
        if (!valid.empty()) {
            std::nth_element(valid.begin(), valid.begin() + valid.size() / 2, valid.end());
            median = valid[valid.size() / 2];
        }
        std::printf("frame %u: centre %.3f m, median %.3f m over %zu of %zu pixels\n", info.frame_idx, centre, median,
                    valid.size(), dist.size());
    }
    vexel_cap_stop(&dev);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) return usage();
    vexel_init(nullptr);
    int rc = 2;
    if (o.command == "list") {
        rc = cmd_list();
    } else if (o.command == "info" || o.command == "stream" || o.command == "reg-read" || o.command == "reg-write" ||
               o.command == "param-get" || o.command == "distance") {
        vexel_dev dev{};
        if (!open_camera(o.device, dev)) {
            rc = 1;
        } else {
            if (o.command == "info") rc = cmd_info(dev);
            if (o.command == "stream") rc = cmd_stream(dev, o);
            if (o.command == "reg-read") rc = cmd_reg(dev, o, false);
            if (o.command == "reg-write") rc = cmd_reg(dev, o, true);
            if (o.command == "param-get") rc = cmd_param_get(dev, o);
            if (o.command == "distance") rc = cmd_distance(dev, o);
            vexel_dev_close(&dev);
        }
    } else {
        usage();
    }
    vexel_uninit();
    return rc;
}
