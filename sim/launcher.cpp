// vexel-sim: runs a program against simulated cameras, the way umockdev-run does.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/replay/recording_source.hpp"
#include "sim/sim.hpp"

extern char** environ;

namespace {

const char* kUsage =
    "usage: vexel-sim [camera options] [--camera [camera options]]... -- program [args...]\n"
    "Runs program with simulated cameras on an emulated USB bus and exits with its status.\n"
    "Camera options apply to the current camera; --camera starts another one.\n"
    "  --bus N (1-255) --port N (0-255) --address N (0-127)   position; port/address 0: next free\n"
    "  --speed MBPS                   480 (high, default), 12 (full) or 5000 (super)\n"
    "  --product TEXT                 parameter 3, e.g. A-E2-1.0 (family E1/E2/E3/T0); a T0 camera\n"
    "                                 gives no depth: the host's T0 driver is a stub, so it\n"
    "                                 streams raw frames only and the host refuses to decode them\n"
    "  --serial TEXT --firmware N     USB serial string (default VX0001, VX0002 for the second\n"
    "                                 camera, ...), firmware version word (0-65535)\n"
    "  --chip PART,NUMBER,WAFER       chip information (parameter 7), each 0-65535 (default\n"
    "                                 3,42,7; the chip number one more for each further camera)\n"
    "  --fps N (0-1000)               power-on frame rate; 0 sends no frames\n"
    "  --integration US (1-65535)     power-on integration time\n"
    "  --packet-size BYTES            payload per stream packet, 0-1048575 (0: one frame per\n"
    "                                 packet); 827 makes headers straddle 153600-byte transfers\n"
    "                                 at every offset within 27 frames\n"
    "  --frames-per-packet N (1-255)  whole frames per packet, as many as fit under the 1 MiB\n"
    "                                 packet bound (full frames: one; see --rows)\n"
    "  --rows N (1-240)               rows per frame, which makes frames smaller\n"
    "  --no-checksum --zero-dims      no data checksums; width/height 0 in headers\n"
    "  --pacing fps|fast              frame-rate pacing through the FIFO (default), or a frame\n"
    "                                 whenever the link wants one\n"
    "  --fifo N (1-64)                frames held for a host that does not read (default 4);\n"
    "                                 a frame finding it full is lost\n"
    "  --rate-cap MBPS (0-100000)     the link in MB/s (default 40, USB 2.0); 0: unlimited\n"
    "  --control-us US (0-1000000)    completion time of a control transfer (default 200)\n"
    "  --busy-ms MS (0-10000)         busy time of sensor register writes, frame-rate and\n"
    "                                 integration-time writes and resets (default 2, 4, 5)\n"
    "  --instant                      no control latency, never busy (same as both 0)\n"
    "  --interface0-busy              interface 0 claimed elsewhere (the stream is its endpoint)\n"
    "  --reenum-delay MS --reboot-delay MS (0-60000)   off the bus after reset 3 / reset 0\n"
    "  --replay FILE                  be the camera a recording (vexel record) was made of: its\n"
    "                                 identity, frame rate, integration time, calibration and\n"
    "                                 frames, one per packet at the recorded frame rate; the\n"
    "                                 stream, timing and fault options still apply\n"
    "  --loop                         with --replay: start over after the last frame (otherwise\n"
    "                                 the camera then sends nothing)\n"
    "  --flash TYPE:VERSION:FILE      data flash slot TYPE (0-255) holds FILE as image VERSION (0-65535)\n"
    "  --erase-ms MS                  a flash erase lasts MS (0-60000) for every 64 KiB of the\n"
    "                                 image (default 150: 2.4 s for 1 MiB)\n"
    "  --erase-acks N                 ... and answers \"still erasing\" at least N times (default 3)\n"
    "  --data-busy PERCENT:MS         that share of data commands (0-100, seeded) answers busy for\n"
    "                                 up to MS (0-2000); default 5:30; a block write answers busy\n"
    "                                 for --program-ms MS (0-1000, default 3)\n"
    "measurement (sim/README.md has the model):\n"
    "  --scene S                      boxes (default), wall:D, tilt:D:DEG (metres, degrees),\n"
    "                                 corner[:D] (two walls meeting D m ahead, default 3, and a floor)\n"
    "                                 FILE.json (planes and boxes, sim/README.md) or pattern\n"
    "  --reflectivity R               surface reflectivity, default 0.5\n"
    "  --noise MM --fpn MM            distance noise at amplitude 1000 (default 3) and fixed-pattern\n"
    "                                 sigma (default 20); 0 switches either off\n"
    "  --phase-offset N               global phase error, 30000 = one period (default 7655, 0 = off)\n"
    "  --no-drift                     no phase drift with temperature\n"
    "  --temperature SENSOR_C,IB_C    hold the temperatures there (no warm-up; 35,30 = calibration)\n"
    "  --seed N                       fixed pattern and noise\n"
    "  --truth FILE                   write the true ray lengths as a VX_DIST,F32,320,240 frame file\n"
    "  --truth-flags FILE             write per-pixel truth flags as a VX_GRAY,U8,320,240 frame file:\n"
    "                                 1 mixed pixel, 2 multipath, 4 saturated, 8 bad pixel, 16 moving\n"
    "effects of a real sensor (each on by default; sim/README.md gives the model):\n"
    "  --clean                        every effect below off: an exact instrument\n"
    "  --wiggle MM                    peak wiggling error at 12 MHz (default 15)\n"
    "  --bad-pixels N (0-19200)       hot, dead and stuck pixels (default 60)\n"
    "  --ambient LEVEL                background light, counts per ms at reflectivity 1 (default 20)\n"
    "  --dcs-mismatch OFFSET,GAIN     sigma of per-DCS offsets (counts) and gains (default 0.5,0.005)\n"
    "  --footprint 1|4                rays per pixel; 4 (default) gives mixed pixels at edges\n"
    "  --latency N (0-16)             settings reach the sensor N frames later (default 1)\n"
    "  --warmup on|off|TAU_S          temperatures rise from 25 C after power-on with capture\n"
    "                                 running and follow frame rate and integration time (default\n"
    "                                 on, sensor time constant 40 s, board 3x; 1-3600 s)\n"
    "  --drift-error FRACTION         the camera's own drift coefficients are 60-100 % of FRACTION\n"
    "                                 off the host's compensation (default 0.05; 0-0.5)\n"
    "  --multipath on|off|STRENGTH    light the surfaces relay to one another (default on = 1, as\n"
    "                                 Lambertian surfaces do; 0-4): concave corners read long\n"
    "  --motion OBJECT:VX,VY,VZ       OBJECT (wall: the walls and floor of corner too; box1..box3\n"
    "                                 of boxes) moves at VX,VY,VZ m/s\n"
    "                                 (x right, y down, z away); the four DCS of a frame are\n"
    "                                 exposed one after another, so moving edges smear\n"
    "  --no-flag-bits --no-compression --computed-calibration\n"
    "                                 upper sample bits zero; hard clip only; calibration tables\n"
    "                                 computed from the model instead of measured\n"
    "  --calib-package generated|none|FILE   what parameter 8 and mode 9 serve (FILE: its exact bytes)\n"
    "  --calib-cache DIR|off          where the measured calibration is kept for the next launch\n"
    "                                 (all cameras; default $VEXEL_SIM_CACHE, else\n"
    "                                 $XDG_CACHE_HOME/vexel-sim, else ~/.cache/vexel-sim; off: none)\n"
    "faults, each N (0-1000000000) counted down as the fault fires:\n"
    "  --stall N                      the next N bulk transfers stall (the endpoint stays\n"
    "                                 halted until the host clears it)\n"
    "  --silent                       bulk transfers stay pending (the host times out)\n"
    "  --bad-header N                 the next N packets get a corrupt header\n"
    "  --bad-payload N                the next N packets get a payload word flipped\n"
    "  --skip-index N                 the next N continuation packets skip a packet index\n"
    "  --drop-start N                 the next N frame-start packets are not sent\n"
    "  --busy N                       the next N status queries answer busy\n"
    "  --fail TEXT                    the next command fails with TEXT\n"
    "  --hang N                       the next N commands never complete (the default pipe\n"
    "                                 waits until the host cancels each)\n"
    "  --slow N:MS                    the next N commands take effect but complete MS (0-60000)\n"
    "                                 late\n"
    "  --flash-refuse N               the next N flash write starts are refused\n"
    "  --flash-erase-hang             flash erases never finish\n"
    "  --flash-bad-crc N --flash-bad-ack N --flash-drop N\n"
    "                                 flash block N (from 0) arrives damaged, is acknowledged\n"
    "                                 wrongly, or makes the camera leave the bus\n"
    "  --unplug-after MS              unplug MS after the first capture start\n"
    "  --replug-after MS              come back MS after that unplug\n"
    "  --ring-behind                  at that unplug, first complete every queued bulk transfer\n"
    "                                 with data (the host is a ring behind)\n"
    "  -v                             log emulation details to stderr\n";

struct CamSpec {
    vxsim::CameraOptions opt;
    vxsim::Faults faults;
    std::optional<int> unplug_after, replug_after;
    bool ring_behind = false;
    std::string truth_file, flags_file;
    std::string motion;  // applied once the scene is known
    bool held_temperature = false;  // --temperature: no warm-up, whatever the effects say
    std::string replay;  // a recording this camera plays
    bool loop = false;
    CamSpec() { opt.measurement.scene.kind = vxsim::Scene::Kind::boxes; }
};

[[noreturn]] void usage_error(const std::string& why) {
    std::fprintf(stderr, "vexel-sim: %s\nTry 'vexel-sim --help'.\n", why.c_str());
    std::exit(2);
}

// The value of an option, an integer within [lo, hi]; anything else ends the launcher with the
// reason.
long number(const std::string& opt, const char* v, long lo, long hi) {
    if (!v) usage_error(opt + " needs a value");
    char* end;
    errno = 0;
    const long n = std::strtol(v, &end, 0);
    if (end == v || *end) usage_error(opt + " " + v + ": not a number");
    if (errno == ERANGE || n < lo || n > hi)
        usage_error(opt + " " + v + ": out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return n;
}

// "A:B", two integers from 0 to hi_a and hi_b; anything else ends the launcher naming the form.
std::pair<unsigned, unsigned> number_pair(const std::string& opt, const std::string& v, long hi_a, long hi_b,
                                          const char* form) {
    const auto colon = v.find(':');
    const std::string a = v.substr(0, colon), b = colon == std::string::npos ? "" : v.substr(colon + 1);
    auto part = [](const std::string& t, long hi) {
        char* end;
        errno = 0;
        const long n = std::strtol(t.c_str(), &end, 10);
        return t.empty() || *end || errno == ERANGE || n < 0 || n > hi ? -1L : n;
    };
    const long x = part(a, hi_a), y = part(b, hi_b);
    if (x < 0 || y < 0) usage_error(opt + " " + v + ": want " + form);
    return {static_cast<unsigned>(x), static_cast<unsigned>(y)};
}

double real(const std::string& opt, const char* v) {
    if (!v) usage_error(opt + " needs a value");
    char* end;
    const double d = std::strtod(v, &end);
    if (*end || end == v || !std::isfinite(d)) usage_error(opt + " " + v + ": not a number");
    return d;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) usage_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The true ray lengths as a distance frame file: header line, then 320 x 240 float32 metres.
bool write_truth(const std::string& path, const vxsim::Truth& t) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "VX_DIST,F32," << t.width << "," << t.height << "\n";
    out.write(reinterpret_cast<const char*>(t.distance.data()), std::streamsize(t.distance.size() * sizeof(float)));
    return bool(out.flush());
}

// The truth flags as a gray frame file of bytes, which the library's gray loader reads.
bool write_flags(const std::string& path, const vxsim::Truth& t) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "VX_GRAY,U8," << t.width << "," << t.height << "\n";
    out.write(reinterpret_cast<const char*>(t.flags.data()), std::streamsize(t.flags.size()));
    return bool(out.flush());
}

// Parses options up to "--" (or the first non-option); returns the index of the command.
int parse(int argc, char** argv, std::vector<CamSpec>& cams) {
    constexpr long kCount = 1000000000;  // fault counts
    constexpr long kDay = 86400000;      // milliseconds
    cams.emplace_back();
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        CamSpec& c = cams.back();
        auto num = [&](long lo, long hi) {
            ++i;
            return number(a, v, lo, hi);
        };
        auto text = [&]() -> std::string {
            if (!v) usage_error(a + " needs a value");
            ++i;
            return v;
        };
        auto nonneg = [&] {
            ++i;
            const double d = real(a, v);
            if (d < 0) usage_error(a + " " + v + ": must not be negative");
            return d;
        };
        vxsim::Measurement& m = c.opt.measurement;
        if (a == "--") return i + 1;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "-v") {
            vxsim::set_verbose(true);
        } else if (a == "--camera") {
            const uint8_t bus = c.opt.bus;  // c dangles once the vector grows
            cams.emplace_back();
            vxsim::CameraOptions& o = cams.back().opt;
            o.bus = bus;
            // The next serial and chip number unless given, so two cameras never share the
            // calibration files the host names after them.
            const size_t k = cams.size() - 1;
            o.serial = "VX" + std::string(k + 1 < 10 ? "000" : k + 1 < 100 ? "00" : "0") + std::to_string(k + 1);
            o.chip_number = static_cast<uint16_t>(o.chip_number + k);
        } else if (a == "--bus") {
            c.opt.bus = static_cast<uint8_t>(num(1, 255));
        } else if (a == "--port") {
            c.opt.port = static_cast<uint8_t>(num(0, 255));
        } else if (a == "--address") {
            c.opt.address = static_cast<uint8_t>(num(0, 127));
        } else if (a == "--speed") {
            const long sp = num(0, 1000000);
            if (sp != 12 && sp != 480 && sp != 5000)
                usage_error("--speed " + std::to_string(sp) + ": want 12, 480 or 5000");
            c.opt.speed_mbps = static_cast<unsigned>(sp);
        } else if (a == "--product") {
            c.opt.product = text();
        } else if (a == "--serial") {
            c.opt.serial = text();
        } else if (a == "--firmware") {
            c.opt.firmware_version = static_cast<uint16_t>(num(0, 65535));
        } else if (a == "--chip") {
            const std::string t = text();
            std::vector<uint16_t> f;
            for (size_t at = 0; at <= t.size();) {
                const size_t comma = std::min(t.find(',', at), t.size());
                f.push_back(
                    static_cast<uint16_t>(number("--chip", t.substr(at, comma - at).c_str(), 0, 65535)));
                at = comma + 1;
            }
            if (f.size() != 3) usage_error("--chip " + t + ": want PART,NUMBER,WAFER");
            c.opt.part_version = f[0];
            c.opt.chip_number = f[1];
            c.opt.wafer_id = f[2];
        } else if (a == "--fps") {
            c.opt.frame_rate = static_cast<uint32_t>(num(0, 1000));
        } else if (a == "--integration") {
            c.opt.integration_time_us = static_cast<uint16_t>(num(1, 65535));
        } else if (a == "--packet-size") {
            c.opt.packet_payload = static_cast<uint32_t>(num(0, vxsim::kMaxPacketPayload));
        } else if (a == "--frames-per-packet") {
            c.opt.frames_per_packet = static_cast<uint32_t>(num(1, 255));
        } else if (a == "--rows") {
            c.opt.frame_rows = static_cast<unsigned>(num(1, vxsim::kHeight));
        } else if (a == "--no-checksum") {
            c.opt.data_checksum = false;
        } else if (a == "--zero-dims") {
            c.opt.zero_dimensions = true;
        } else if (a == "--pacing") {
            const std::string p = text();
            if (p != "fps" && p != "fast") usage_error("--pacing " + p + ": want fps or fast");
            c.opt.pacing = p == "fast" ? vxsim::Pacing::fast : vxsim::Pacing::frame_rate;
        } else if (a == "--fifo") {
            c.opt.fifo_frames = static_cast<unsigned>(num(1, 64));
        } else if (a == "--rate-cap") {
            c.opt.rate_cap_mbps = static_cast<double>(num(0, 100000));
        } else if (a == "--control-us") {
            c.opt.timing.control_us = static_cast<unsigned>(num(0, 1000000));
        } else if (a == "--busy-ms") {
            const auto ms = static_cast<unsigned>(num(0, 10000));
            c.opt.timing.sensor_write_ms = c.opt.timing.exposure_ms = c.opt.timing.reset_ms = ms;
        } else if (a == "--instant") {
            c.opt.timing = vxsim::Timing::instant();
        } else if (a == "--interface0-busy") {
            c.opt.interface0_busy = true;
        } else if (a == "--reenum-delay") {
            c.opt.reenumerate_delay_ms = static_cast<unsigned>(num(0, 60000));
        } else if (a == "--reboot-delay") {
            c.opt.reboot_delay_ms = static_cast<unsigned>(num(0, 60000));
        } else if (a == "--scene") {
            const std::string t = text();
            if (t.size() > 5 && t.compare(t.size() - 5, 5, ".json") == 0) {
                std::ifstream f(t, std::ios::binary);
                if (!f) usage_error("--scene " + t + ": cannot read it");
                std::string body;
                body.resize(vxsim::kSceneFileMaxBytes + 1);
                f.read(body.data(), std::streamsize(body.size()));
                body.resize(size_t(f.gcount()));
                std::string why;
                const auto sc = vxsim::Scene::from_json(body, why);
                if (!sc) usage_error("--scene " + t + ": " + why);
                m.scene = *sc;
            } else {
                const auto sc = vxsim::Scene::parse(t);
                if (!sc) usage_error("--scene " + t + ": want boxes, wall:D, tilt:D:DEG, corner[:D], FILE.json or pattern");
                m.scene = *sc;
            }
        } else if (a == "--reflectivity") {
            m.reflectivity = nonneg();
        } else if (a == "--noise") {
            m.noise_mm = nonneg();
        } else if (a == "--fpn") {
            m.fpn_mm = nonneg();
        } else if (a == "--phase-offset") {
            m.phase_offset = int32_t(num(-30000, 30000));
        } else if (a == "--no-drift") {
            m.temperature_drift = false;
        } else if (a == "--temperature") {
            const std::string t = text();
            double ts, tib;
            char end;
            if (std::sscanf(t.c_str(), "%lf,%lf%c", &ts, &tib, &end) != 2 || std::abs(ts) > 300 || std::abs(tib) > 300)
                usage_error("--temperature " + t + ": want SENSOR_C,IB_C, each within +-300");
            c.opt.sensor_temp = int16_t(std::lround(ts * 10));
            c.opt.illum_temp = int16_t(std::lround(tib * 10));
            c.held_temperature = true;
        } else if (a == "--seed") {
            ++i;
            char* end;
            errno = 0;
            if (!v) usage_error("--seed needs a value");
            m.seed = std::strtoull(v, &end, 0);
            if (errno || *end || end == v || *v == '-')
                usage_error(std::string("--seed ") + v + ": not a number");
        } else if (a == "--truth") {
            c.truth_file = text();
        } else if (a == "--truth-flags") {
            c.flags_file = text();
        } else if (a == "--clean") {
            m.effects = vxsim::Effects::none();
        } else if (a == "--wiggle") {
            m.effects.wiggle_mm = nonneg();
            if (m.effects.wiggle_mm > 500) usage_error("--wiggle: at most 500 mm");
        } else if (a == "--bad-pixels") {
            m.effects.bad_pixels = static_cast<unsigned>(num(0, vxsim::kWidth * vxsim::kHeight / 4));
        } else if (a == "--ambient") {
            m.effects.ambient = nonneg();
        } else if (a == "--dcs-mismatch") {
            const std::string t = text();
            double off, gain;
            char end;
            if (std::sscanf(t.c_str(), "%lf,%lf%c", &off, &gain, &end) != 2 || off < 0 || gain < 0 || off > 1000 ||
                gain > 1)
                usage_error("--dcs-mismatch " + t + ": want OFFSET,GAIN, 0-1000 counts and 0-1");
            m.effects.dcs_offset = off;
            m.effects.dcs_gain = gain;
        } else if (a == "--footprint") {
            const long n = num(1, 4);
            if (n != 1 && n != 4) usage_error("--footprint: want 1 or 4");
            m.effects.subrays = static_cast<unsigned>(n);
        } else if (a == "--latency") {
            m.effects.latency_frames = static_cast<unsigned>(num(0, 16));
        } else if (a == "--multipath") {
            const std::string t = text();
            char* end;
            const double k = t == "on" ? 1.0 : t == "off" ? 0.0 : std::strtod(t.c_str(), &end);
            if ((t != "on" && t != "off" && (t.empty() || *end)) || !(k >= 0 && k <= 4))
                usage_error("--multipath " + t + ": want on, off or a strength 0-4");
            m.effects.multipath = k;
        } else if (a == "--warmup") {
            const std::string t = text();
            char* end;
            const double tau = t == "on" ? 40.0 : t == "off" ? 0.0 : std::strtod(t.c_str(), &end);
            if ((t != "on" && t != "off" && (t.empty() || *end || !(tau >= 1 && tau <= 3600))))
                usage_error("--warmup " + t + ": want on, off or a time constant 1-3600 s");
            m.effects.warmup = t != "off";
            if (m.effects.warmup) m.effects.warmup_tau_s = tau;
        } else if (a == "--drift-error") {
            m.effects.drift_error = nonneg();
            if (m.effects.drift_error > 0.5) usage_error("--drift-error: at most 0.5");
        } else if (a == "--motion") {
            c.motion = text();
        } else if (a == "--no-flag-bits") {
            m.effects.flag_bits = false;
        } else if (a == "--no-compression") {
            m.effects.compression = false;
        } else if (a == "--computed-calibration") {
            m.effects.measured_calibration = false;
        } else if (a == "--calib-cache") {
            const std::string t = text();
            if (t.empty()) usage_error("--calib-cache needs a directory or off");
            vxsim::set_calib_cache(t);
        } else if (a == "--calib-package") {
            const std::string t = text();
            c.opt.calib_package = t == "generated" ? vxsim::CalibPackage::generated
                                  : t == "none"    ? vxsim::CalibPackage::none
                                                   : vxsim::CalibPackage::bytes;
            if (c.opt.calib_package == vxsim::CalibPackage::bytes) c.opt.calib_package_bytes = file_bytes(t);
        } else if (a == "--replay") {
            c.replay = text();
        } else if (a == "--loop") {
            c.loop = true;
        } else if (a == "--flash") {
            const std::string flash_arg = text();
            unsigned type, version;
            int at = 0;
            if (std::sscanf(flash_arg.c_str(), "%u:%u:%n", &type, &version, &at) != 2 || at == 0 || type > 255 ||
                version > 65535)
                usage_error("--flash " + flash_arg + ": want TYPE:VERSION:FILE, TYPE 0-255, VERSION 0-65535");
            c.opt.flash[static_cast<uint8_t>(type)] = {static_cast<uint16_t>(version),
                                                       file_bytes(flash_arg.substr(size_t(at)))};
        } else if (a == "--erase-ms") {
            c.opt.flash_erase_ms = static_cast<unsigned>(num(0, 60000));
        } else if (a == "--data-busy") {
            const auto [percent, ms] = number_pair(a, text(), 100, 2000, "PERCENT:MS, PERCENT 0-100, MS 0-2000");
            c.opt.timing.data_busy_percent = percent;
            c.opt.timing.data_busy_ms = ms;
        } else if (a == "--program-ms") {
            c.opt.timing.flash_program_ms = static_cast<unsigned>(num(0, 1000));
        } else if (a == "--slow") {
            const auto [n, ms] = number_pair(a, text(), kCount, 60000, "N:MS, MS 0-60000");
            c.faults.slow_command = static_cast<int>(n);
            c.faults.slow_command_ms = ms;
        } else if (a == "--erase-acks") {
            c.opt.flash_erase_acks = static_cast<unsigned>(num(0, kCount));
        } else if (a == "--flash-refuse") {
            c.faults.flash_refuse_start = int(num(0, kCount));
        } else if (a == "--flash-bad-crc") {
            c.faults.flash_bad_crc_block = int(num(0, INT32_MAX));
        } else if (a == "--flash-bad-ack") {
            c.faults.flash_bad_ack_block = int(num(0, INT32_MAX));
        } else if (a == "--flash-drop") {
            c.faults.flash_drop_block = int(num(0, INT32_MAX));
        } else if (a == "--flash-erase-hang") {
            c.faults.flash_erase_hangs = true;
        } else if (a == "--stall") {
            c.faults.stall_bulk = int(num(0, kCount));
        } else if (a == "--silent") {
            c.faults.stop_sending = true;
        } else if (a == "--bad-header") {
            c.faults.corrupt_header = int(num(0, kCount));
        } else if (a == "--bad-payload") {
            c.faults.corrupt_payload = int(num(0, kCount));
        } else if (a == "--skip-index") {
            c.faults.skip_packet_index = int(num(0, kCount));
        } else if (a == "--drop-start") {
            c.faults.drop_frame_start = int(num(0, kCount));
        } else if (a == "--busy") {
            c.faults.status_busy = int(num(0, kCount));
        } else if (a == "--fail") {
            c.faults.fail_next = text();
        } else if (a == "--hang") {
            c.faults.hang_control = int(num(0, kCount));
        } else if (a == "--unplug-after") {
            c.unplug_after = int(num(0, kDay));
        } else if (a == "--replug-after") {
            c.replug_after = int(num(0, kDay));
        } else if (a == "--ring-behind") {
            c.ring_behind = true;
        } else if (a.rfind("-", 0) == 0) {
            usage_error("unknown option " + a);
        } else {
            return i;
        }
    }
    return i;
}

// Child environment: the preload first (ASan children must accept it there).
void prepare_environment() {
    std::string pre = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old && !std::strstr(old, "libumockdev-preload"))
        pre += std::string(":") + old;
    else if (old && std::strstr(old, "libumockdev-preload"))
        pre = old;
    setenv("LD_PRELOAD", pre.c_str(), 1);
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    // umockdev's uevent sender resolves /sys paths, which only the preload maps into the testbed.
    vxsim::ensure_preload(argc, argv);
    std::vector<CamSpec> specs;
    const int cmd = parse(argc, argv, specs);
    if (cmd >= argc) usage_error("no program given");
    for (CamSpec& s : specs) {
        if (s.loop && s.replay.empty()) usage_error("--loop needs --replay FILE");
        if (s.held_temperature) s.opt.measurement.effects.warmup = false;
        if (!s.motion.empty() && !s.opt.measurement.scene.set_motion(s.motion))
            usage_error("--motion " + s.motion + ": want OBJECT:VX,VY,VZ, an object of the scene and speeds within 100 m/s");
        std::string err;
        if (!s.replay.empty() && !vxsim::replay_recording(s.replay, s.loop, s.opt, err))
            usage_error("--replay " + s.replay + ": " + err);
    }

    // Before any thread exists: the environment the child inherits, and the signals we forward
    // (blocked here so every thread of ours leaves them to sigtimedwait below).
    prepare_environment();
    setenv("VXSIM_CAMERAS", std::to_string(specs.size()).c_str(), 1);  // tells programs they run simulated
    sigset_t fwd;
    sigemptyset(&fwd);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&fwd, s);
    sigset_t old_mask;
    pthread_sigmask(SIG_BLOCK, &fwd, &old_mask);

    int status = 0;
    {
        vxsim::Testbed tb;
        std::vector<vxsim::Camera*> cams;
        for (auto& s : specs) {
            vxsim::Camera& c = tb.add_camera(s.opt);
            const vxsim::Faults f = s.faults;
            c.set_faults([&](vxsim::Faults& x) { x = f; });
            cams.push_back(&c);
            if (s.truth_file.empty() && s.flags_file.empty()) continue;
            const vxsim::Truth t = c.truth();
            for (const auto& [file, write] : {std::pair{s.truth_file, &write_truth}, std::pair{s.flags_file, &write_flags}})
                if (!file.empty() && !write(file, t)) {
                    std::fprintf(stderr, "vexel-sim: cannot write %s\n", file.c_str());
                    return 1;
                }
        }

        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, dflt;
        sigemptyset(&none);
        sigemptyset(&dflt);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) sigaddset(&dflt, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &dflt);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid;
        const int err = posix_spawnp(&pid, argv[cmd], nullptr, &attr, argv + cmd, environ);
        posix_spawnattr_destroy(&attr);
        if (err) {
            std::fprintf(stderr, "vexel-sim: %s: %s\n", argv[cmd], std::strerror(err));
            return 127;
        }

        using Clock = std::chrono::steady_clock;
        std::vector<std::optional<Clock::time_point>> started(cams.size()), unplugged(cams.size());
        for (;;) {
            timespec ts{0, 5'000'000};
            const int sig = sigtimedwait(&fwd, nullptr, &ts);
            if (sig > 0) kill(pid, sig);
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) break;
            const auto now = Clock::now();
            for (size_t i = 0; i < cams.size(); ++i) {
                auto& s = specs[i];
                if (s.unplug_after && !started[i] && cams[i]->streaming()) started[i] = now;
                if (s.unplug_after && started[i] && !unplugged[i] && now - *started[i] >= std::chrono::milliseconds(*s.unplug_after)) {
                    cams[i]->unplug(s.ring_behind ? vxsim::Unplug::ring_behind : vxsim::Unplug::now);
                    unplugged[i] = now;
                }
                if (s.replug_after && unplugged[i] && now - *unplugged[i] >= std::chrono::milliseconds(*s.replug_after)) {
                    cams[i]->replug();
                    s.replug_after.reset();
                }
            }
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (WIFSIGNALED(status)) {
        // Die the same way, so shells and ctest see what happened to the program.
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
