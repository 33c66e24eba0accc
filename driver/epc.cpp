// The epc sensor driver: start and stop, per-frame information with the temperature monitor,
// lens parameters, feature switches and the calibration load at open.
#include "driver/epc.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <utility>

#include <vexel/capture.h>
#include <vexel/chip.h>
#include <vexel/device.h>
#include <vexel/features.h>
#include <vexel/log.h>
#include <vexel/stream.h>

#include "chip/chip.hpp"
#include "core/log.hpp"
#include "core/path.hpp"
#include "driver/calib_pkg.hpp"
#include "driver/decode.hpp"

namespace vx::epc {

namespace {

constexpr int kDevAddr = 32;
constexpr int kPartEpc660 = 2;
constexpr uint16_t kCalibFrameFormat = 171;
constexpr uint32_t kDefaultWidth = 320, kDefaultHeight = 240;
constexpr int64_t kTempReportSeconds = 89;  // reports when more whole seconds than this have passed
constexpr uint32_t kStandaloneFrameBuffer = 6144000;
constexpr int kLensMaxSide = 4096;
constexpr int kLensLines = 11;

std::mutex g_lens_mu;
vexel_lens_param g_lens = kDefaultLens;

std::atomic<ClockFn> g_clock{&vx::now};

// The chip library's process-wide state is set up for one camera at a time: a camera's start
// and its calibration load run under this lock, and each ends by taking its own copy of what it
// loaded. Decodes never take it.
std::recursive_mutex g_chip_open_mu;

// The default record the stand-alone mode opened; the mutex serialises its start and stop.
std::atomic<vexel_dev*> g_standalone{nullptr};
std::mutex g_standalone_mu;

uint16_t le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t le32(const uint8_t* b) { return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24); }

const char* lens_problem(const vexel_lens_param& p) {
    if (p.img_w < 1 || p.img_w > kLensMaxSide || p.img_h < 1 || p.img_h > kLensMaxSide)
        return "image size outside 1..4096";
    if (!std::isfinite(p.fx) || !std::isfinite(p.fy) || p.fx <= 0 || p.fy <= 0)
        return "focal length not finite and positive";
    if (!std::isfinite(p.cx) || !std::isfinite(p.cy)) return "principal point not finite";
    for (double d : p.dcoeff)
        if (!std::isfinite(d)) return "distortion coefficient not finite";
    return nullptr;
}

// strtod / strtol rather than sscanf: out-of-range text must not be undefined behaviour.
bool parse_double(const char* s, double& out) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s) return false;
    out = v;
    return true;
}

bool parse_int(const char* s, int32_t& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 0);  // decimal, 0x hexadecimal or leading-0 octal
    if (end == s) return false;
    // Out of range reads as 0, which the record check refuses.
    out = (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) ? 0 : static_cast<int32_t>(v);
    return true;
}

// Stores line i's first token in the record, logging it as it goes.
void apply_lens_line(vexel_lens_param& p, int i, const char* tok) {
    static const char* const fn = "_vx_update_len_param";
    static const char* const labels[4] = {"[%s] Cx:%3.5f\n", "[%s] Cy:%3.5f\n", "[%s] Fx:%3.5f\n", "[%s] Fy:%3.5f\n"};
    double* const intrinsics[4] = {&p.cx, &p.cy, &p.fx, &p.fy};
    double d;
    if (i < 4) {
        if (parse_double(tok, d)) *intrinsics[i] = d;
        vx::logf(vx::kDbg, labels[i], fn, *intrinsics[i]);
    } else if (i < 9) {
        if (parse_double(tok, d)) p.dcoeff[i - 4] = d;
        vx::logf(vx::kDbg, "[%s] dcoeff[%d]:%3.5f\n", fn, i - 4, p.dcoeff[i - 4]);
    } else {
        int32_t& v = i == 9 ? p.img_w : p.img_h;
        parse_int(tok, v);
        vx::logf(vx::kDbg, i == 9 ? "[%s] img_w = %d\n" : "[%s] img_h = %d\n", fn, v);
    }
}

vexel_lens_param camera_lens(State& st) {
    std::shared_lock lock(st.lens_mu);
    return st.lens;
}

// Reloads lens_param.txt into this camera's record (and the process-wide one, for callers of
// the chip library's own routines), then builds the table outside the lock and swaps it in, so
// a decode waits only for the swap. Another camera's record and table stay as they were.
void reload_lens(State& st) {
    vexel_lens_param lens = camera_lens(st);
    bool count_ok = false;
    if (read_lens_param(vx::prefixed_path("lens_param.txt"), lens, count_ok)) set_lens_record(lens);
    vx_calib_len_map fresh{};
    vx_calib_len_init_map(&fresh, &lens);
    {
        std::unique_lock lock(st.lens_mu);
        st.lens = lens;
        std::swap(fresh, st.len_map);
    }
    vx_calib_len_uninit_map(&fresh);
}

// HDR programs the sensor of the camera whose feature it is, with that camera's integration
// time. The chip library's own switch (its calculation flag) follows only for the camera it
// was started on; other cameras' frames decode by their own switch. No decode waits for it.
void program_hdr(vexel_driver_entry* drv, State& st, bool on) {
    int t3d;
    {
        std::lock_guard lock(st.mu);
        t3d = st.intg_us;
    }
    std::lock_guard chip(g_chip_open_mu);
    if (!drv->dev || drv->dev == g_vx_dev) {
        configEnableHDR(on ? 1 : 0, configGetDeviceAddress());
        return;
    }
    vx::chip::CommandTarget to(drv->dev);
    readOutEnableHDR(on ? 1 : 0, configGetDeviceAddress());
    vx::chip::write_hdr_integration(t3d >= 0 ? t3d : configGetIntegrationTime3D());
}

void release_state(vexel_driver_entry* drv) {
    State* st = state_of(drv);
    if (!st) return;
    {
        std::unique_lock lock(st->lens_mu);
        vx_calib_len_uninit_map(&st->len_map);
    }
    drv->state = nullptr;
    delete st;
}

// Reads one parameter of `dev`; zero-filled value bytes when the camera does not answer.
vexel_param_item read_param(vexel_dev* dev, uint32_t id) {
    vexel_param_item item{};
    item.param_id = id;
    vexel_param_batch_get(dev, &item, 1);
    return item;
}

// Reports temperatures, frame rate and integration time on the first frame and then at most
// every 90 s. The camera asked is the frame's own, not whichever one g_vx_dev names.
void temperature_monitor(vexel_driver_entry* drv, State& st) {
    static const char* const fn = "epc_temperature_moniter";
    const vx::Timestamp t = g_clock.load()();
    const int64_t last = st.temp_mon_last_s.load();
    const int64_t elapsed = last == INT64_MIN ? t.sec : t.sec - last;
    if (last != INT64_MIN && elapsed <= kTempReportSeconds) return;
    const vexel_param_item fps = read_param(drv->dev, VX_PARAM_FPS);
    vx::logf(vx::kDbg, "[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", fn, static_cast<int>(elapsed),
             st.t_ib.load() / 10.0, st.t_sensor.load() / 10.0, static_cast<int>(le32(fps.param_val)));
    const vexel_param_item intg = read_param(drv->dev, VX_PARAM_INTG_TIME);
    vx::logf(vx::kDbg, "[%s] intg_time:%d us\n", fn, static_cast<int>(le16(intg.param_val)));
    st.temp_mon_last_s.store(t.sec);
}

// The chip library's start on an application's device. A failed chip-information read only
// fails this device: the library stays up for the application's other cameras.
bool adapter_start(vexel_dev* dev) {
    g_vx_dev = dev;
    configSetPartType(kPartEpc660);
    vexel_param_item chip{};
    chip.param_id = VX_PARAM_CHIP_INFO;
    if (!vexel_param_batch_get(dev, &chip, 1)) {
        std::puts("Get chip info failed");
        g_vx_dev = nullptr;
        return false;
    }
    const uint16_t part = le16(chip.param_val);
    configSetPartVersion(part);
    configSetIcVersion(part);
    configSetChipID(le16(chip.param_val + 2));
    configSetWaferID(le16(chip.param_val + 4));
    configSetDeviceAddress(kDevAddr);
    configInit(kDevAddr);
    calibrationSetDefaultOffsetPhase(-6600);
    apiEnableABS(1, kDevAddr);
    apiEnableAdcOverflow(1);
    apiSetMinAmplitude(30);
    apiSetROI(4, 323, 6, 125, kDevAddr);
    apiSetHysteresis(20);
    return true;
}

// Stand-alone mode: the driver runs the library and opens the first camera itself.
bool adapter_standalone() {
    std::lock_guard lock(g_standalone_mu);
    if (vexel_dev* old = g_standalone.exchange(nullptr)) {
        std::puts("close dev..");
        vexel_dev_close(old);
        vexel_uninit();
        std::puts("uninit done..");
        g_vx_dev = nullptr;
    }
    vexel_init(nullptr);
    vexel_log_cfg(1, 1, 5);
    vexel_dev* dev = vexel_dev_open(nullptr);
    if (!dev) {
        vexel_uninit();
        g_vx_dev = nullptr;
        return false;
    }
    vexel_cap_set_frame_buffer(dev, nullptr, kStandaloneFrameBuffer);
    g_standalone.store(dev);
    return true;
}

// A closing device lets go of the chip library only if it still holds it: the camera opened
// after it keeps working.
void adapter_release(vexel_dev* dev) {
    vexel_dev* mine = dev;
    g_standalone.compare_exchange_strong(mine, nullptr);
    std::lock_guard chip(g_chip_open_mu);
    if (dev && g_vx_dev == dev) g_vx_dev = nullptr;
}

// The camera's own copy of what its start and calibration load left in the chip library.
void adopt_chip_state(State& st) {
    const vx::chip::Config& c = vx::chip::config();
    auto cal = calibration_from_chip(c.drnu2 == 1);
    std::lock_guard lock(st.mu);
    st.calib = std::move(cal);
    st.min_amplitude = c.min_amplitude;
    st.hyst_width = c.hysteresis_width;
    st.hyst.fill(0);
    st.intg_us = c.t3d;
}

// After a load that failed: whatever part of the tables did load is not this camera's
// calibration either.
void adopt_without_tables(State& st) {
    adopt_chip_state(st);
    std::lock_guard lock(st.mu);
    if (st.calib && st.calib->tables) {
        auto bare = std::make_shared<Calibration>(*st.calib);
        bare->tables.reset();
        bare->drnu = false;
        st.calib = std::move(bare);
    }
}

State* current_state() {
    vexel_driver_entry* drv = vexel_dev_get_drv(g_vx_dev);
    return drv && drv->ops == &g_vexel_driver_op_epc ? state_of(drv) : nullptr;
}

// ---- operation slots ----

uint8_t epc_init(vexel_driver_entry* drv, vexel_dev* dev) {
    static const char* const fn = "epc_init";
    if (!drv || !dev) return 0;
    release_state(drv);  // a second init without uninit must not leak the first state
    drv->dev = dev;
    auto* st = new (std::nothrow) State;
    if (!st) return 0;
    drv->state = st;
    st->lens = lens_record();
    vx_calib_len_init_map(&st->len_map, &st->lens);

    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    char version[17];
    if (std::sscanf(product, "%*16[^-]-%*16[^-]-%16[^-]", version) != 1) return 0;
    // Versions 2.0x of the camera modulate the light externally.
    epcSetExtModEnable(std::strncmp(version, "2.0", 3) == 0 ? 1 : 0);
    vx::logf(vx::kDbg, "[%s] FW_VER:%d\n", fn, static_cast<int>(le16(dev->version + 2)));

    std::lock_guard chip(g_chip_open_mu);
    if (!adapter_start(dev)) {
        vx::logf(vx::kErr, "[%s] epc_adapter_init failed!\n", fn);
        release_state(drv);
        return 0;
    }
    adopt_chip_state(*st);
    return 1;
}

void epc_uninit(vexel_driver_entry* drv) {
    if (!drv) return;
    release_state(drv);
    adapter_release(drv->dev);
}

int epc_frame_get_info(vexel_driver_entry* drv, vexel_frame_info* out, const vx_stream_frame_info* raw) {
    static const char* const fn = "epc_frame_get_info";
    if (!out || !raw) return 0;
    // Without a started driver the frame is still described; the chip library is left alone.
    State* st = state_of(drv);
    if (st) {
        st->frame_valid.store(1);
        const int16_t temps[2] = {raw->sensor_temp, raw->illum_temp};
        temperatureSetTemperatureByFrameHeader(temps);
        st->t_sensor.store(temps[0]);
        st->t_ib.store(temps[1]);
        st->remember_temps(raw->fridx, temps[0], temps[1]);
        if (st->en_temp_mon.load())
            temperature_monitor(drv, *st);
        else
            vx::logf(vx::kTrc, "[%s] Temp monitor not enable\n", fn);
    }
    *out = vexel_frame_info{};
    const uint32_t w = raw->width ? raw->width : kDefaultWidth;
    const uint32_t h = raw->height ? raw->height : kDefaultHeight;
    // The effective geometry: a header without dimensions means the full sensor. Several
    // cameras' frames are described at once; the decode itself uses the frame's own size.
    if (st) {
        std::lock_guard lock(chip_state_mu());
        pruSetSize(static_cast<int>(w), static_cast<int>(h / 2));
    }
    vx::logf(vx::kTrc, "[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", fn, raw->frfmt, static_cast<int>(raw->frlen),
             static_cast<int>(w), static_cast<int>(h));
    const uint64_t pixels = uint64_t{w} * h;
    if (raw->frfmt != kCalibFrameFormat && raw->frlen % pixels != 0) return 0;
    out->frame_size = raw->frlen;
    out->frame_format = raw->frfmt;
    out->frame_idx = raw->fridx;
    out->frame_width = w;
    out->frame_height = h;
    out->frame_depth = static_cast<uint8_t>(raw->frlen / pixels);
    return 1;
}

int epc_spare5(vexel_driver_entry*) { return 0; }

int epc_chip_reinit(vexel_driver_entry* drv, int, int b, int c) {
    if (c == 2 && state_of(drv)) {
        std::lock_guard chip(g_chip_open_mu);
        configInit(kDevAddr);
        // Only the camera the chip library was started on takes the result.
        if (drv->dev && g_vx_dev == drv->dev) adopt_chip_state(*state_of(drv));
    }
    return b;
}

constexpr const char* kCalibLoadFn = "epc_calib_load";

int epc_calib_load(vexel_driver_entry* drv, int, int, int) {
    std::lock_guard chip(g_chip_open_mu);
    State* st = state_of(drv);
    // The chip library's names belong to the camera it was started on.
    if (!st || !drv->dev || g_vx_dev != drv->dev) return -1;
    char img[VX_CHIP_NAME_MAX], par[VX_CHIP_NAME_MAX];
    calibrationGetDistanceImagesName(img);
    calibrationGetParamName(par);
    for (int k = 0; k < 2; ++k) {
        std::snprintf(st->img_file[k], kNameMax, "%s", img);
        std::snprintf(st->param_file[k], kNameMax, "%s", par);
    }
    // configInit has just tried the files: pixel calibration is on only when they loaded. A file
    // that is there but did not load (empty, cut short, another camera's) is fetched again, once.
    // Fewer than two distances correct nothing: every pixel would be invalid.
    auto loaded = [] { return calculationGetEnableDRNU() == 2 && calibrateGetNumDistances() >= 2; };
    const bool present = calibrationDataFileCheck(0) >= 0;
    if (present && loaded()) {
        st->calib_status.store(EPC_CALIB_FOUND);
        return 0;
    }
    if (present)
        vx::logf(vx::kWrn, "[%s] %s did not load: fetching the camera's calibration again\n", kCalibLoadFn, img);
    if (load_calib_data(drv)) {
        configInit(kDevAddr);
        adopt_chip_state(*st);
    }
    // A package that unpacked to nothing usable is a failure, not a success.
    if (loaded() && calibrationDataFileCheck(0) >= 0) {
        st->calib_status.store(EPC_CALIB_DOWNLOADED);
        return 0;
    }
    const bool unusable = calibrationDataFileCheck(0) >= 0;
    calculationSetEnableDRNU(0);  // tables of a single distance would make every pixel invalid
    adopt_without_tables(*st);
    st->calib_status.store(unusable ? EPC_CALIB_UNUSABLE : EPC_CALIB_MISSING);
    vx::logf(vx::kWrn, "[%s] no pixel calibration for this camera (%s %s): distances uncorrected\n", kCalibLoadFn,
             img, unusable ? "does not load" : "missing");
    return -1;
}

int epc_spare8(vexel_driver_entry*) { return 1; }

// Pixel calibration on or off for this camera. A camera without tables of its own refuses it:
// no other camera's tables stand in. The chip library's process-wide switch follows as before,
// for callers that use it directly.
bool set_pixel_calibration(vexel_driver_entry* drv, State& st, bool on) {
    std::lock_guard chip(g_chip_open_mu);
    std::shared_ptr<const Calibration> cal = st.calibration();
    if (!cal) {
        if (on && calibrationDataFileCheck(0) < 0) return false;
        calculationSetEnableDRNU(on ? 2 : 0);
        return true;
    }
    // Files that appeared since the open are loaded now, if the chip library is this camera's.
    if (on && !cal->tables && drv->dev && g_vx_dev == drv->dev && calibrationDataFileCheck(0) >= 0) {
        configInit(kDevAddr);
        if (calibrateGetNumDistances() >= 2) {
            adopt_chip_state(st);
        } else {
            calculationSetEnableDRNU(0);
            adopt_without_tables(st);
        }
        cal = st.calibration();
    }
    if (on && !cal->tables) {
        vx::logf(vx::kWrn, "[%s] no calibration loaded for this camera: pixel calibration stays off\n",
                 "epc_filter_enable");
        return false;
    }
    auto next = with_pixel_calibration(*cal, on);
    {
        std::lock_guard lock(st.mu);
        st.calib = std::move(next);
    }
    calculationSetEnableDRNU(on ? 2 : 0);
    return true;
}

// The automatic integration time starts from the camera's own integration time, which the
// application may have set since the open.
void learn_integration_time(vexel_driver_entry* drv, State& st) {
    vexel_param_item item{};
    item.param_id = VX_PARAM_INTG_TIME;
    if (!drv->dev || !vexel_param_batch_get(drv->dev, &item, 1)) return;
    const int t = le16(item.param_val);
    if (t <= 0) return;
    std::lock_guard lock(st.mu);
    st.intg_us = t;
}

// The float32 value of a depth-quality switch, when the caller passed all four bytes of it and it
// lies in [lo, hi] (lo itself excluded when `open_lo`).
bool quality_value(const uint8_t* b, int size, float lo, bool open_lo, float hi, float& v) {
    if (!b || size < int(sizeof v)) return false;
    std::memcpy(&v, b, sizeof v);
    return (open_lo ? v > lo : v >= lo) && v <= hi;
}

uint8_t epc_filter_enable(vexel_driver_entry* drv, int id, void* val, int size) {
    State* st = state_of(drv);
    if (!st) return 0;
    auto* b = static_cast<uint8_t*>(val);
    float v = 0;
    const bool reads_value = id == VEXEL_FILTER_PIXEL_CALIB || id == VEXEL_FILTER_MEDIAN ||
                             id == VEXEL_FILTER_AMP_THRESHOLD || id == VEXEL_FILTER_AUTO_INTG ||
                             id == VEXEL_FILTER_DCS_CHECK || id == VEXEL_FILTER_TEMP_MONITOR;
    if (reads_value && !b) return 0;
    switch (id) {
        case VEXEL_FILTER_LENS_UNDISTORT:
            st->en_lens.store(1);
            reload_lens(*st);
            return 1;
        case VEXEL_FILTER_PIXEL_CALIB:
            st->en_pixel_calib.store(1);
            if (b[0] < 2)
                st->calib_sel.store(b[0]);
            else
                b[0] = 1;
            return set_pixel_calibration(drv, *st, true) ? 1 : 0;
        case VEXEL_FILTER_MEDIAN:
            st->en_median.store(1);
            st->median_size.store(b[0]);
            return 1;
        case VEXEL_FILTER_AMP_THRESHOLD:
            st->en_amp.store(1);
            st->min_amp.store(static_cast<int32_t>(le32(b)));
            return 1;
        case VEXEL_FILTER_AUTO_INTG:
            learn_integration_time(drv, *st);
            st->en_auto_intg.store(1);
            st->sat_ratio.store(le16(b));
            return 1;
        case VEXEL_FILTER_DCS_CHECK:
            st->en_dcs_check.store(1);
            st->dcs_fix_val.store(le16(b));
            st->dcs_fix_flag.store(b[0] != 0 ? 1 : 0);
            return 1;
        case VEXEL_FILTER_TEMP_MONITOR:
            st->en_temp_mon.store(1);
            st->temp_mon_val.store(le16(b));
            return 1;
        case VEXEL_FILTER_HDR:
            st->en_hdr.store(1);
            program_hdr(drv, *st, true);
            return 1;
        case VEXEL_FILTER_TEMP_TWO_SIDED:
            st->en_temp_two_sided.store(1);
            return 1;
        case VEXEL_FILTER_CONFIDENCE:
            if (!quality_value(b, size, 0.0f, true, 1e6f, v)) return 0;
            st->conf_max_mm.store(v);
            st->en_conf.store(1);
            return 1;
        case VEXEL_FILTER_FLYING:
            if (!quality_value(b, size, 1.0f, false, 100.0f, v)) return 0;
            st->flying_k.store(v);
            st->en_flying.store(1);
            return 1;
        case VEXEL_FILTER_TEMPORAL:
            if (!quality_value(b, size, 0.0f, true, 1.0f, v)) return 0;
            st->temporal_alpha.store(v);
            st->en_temporal.store(1);
            return 1;
        case VEXEL_FILTER_SPATIAL:
            if (!quality_value(b, size, 0.0f, true, 1e6f, v)) return 0;
            st->spatial_sigma.store(v);
            st->en_spatial.store(1);
            return 1;
        case VEXEL_FILTER_FILL:
            if (!quality_value(b, size, 1.0f, false, 64.0f, v)) return 0;
            st->fill_px.store(v);
            st->en_fill.store(1);
            return 1;
        default:
            return 1;
    }
}

uint8_t epc_filter_disable(vexel_driver_entry* drv, int id) {
    State* st = state_of(drv);
    if (!st) return 0;
    switch (id) {
        case VEXEL_FILTER_LENS_UNDISTORT: st->en_lens.store(0); break;
        case VEXEL_FILTER_PIXEL_CALIB:
            st->en_pixel_calib.store(0);
            set_pixel_calibration(drv, *st, false);
            break;
        case VEXEL_FILTER_MEDIAN:
            st->en_median.store(0);
            st->median_size.store(0);
            break;
        case VEXEL_FILTER_AMP_THRESHOLD: st->en_amp.store(0); break;
        case VEXEL_FILTER_AUTO_INTG:
            st->en_auto_intg.store(0);
            st->sat_ratio.store(0);
            break;
        case VEXEL_FILTER_DCS_CHECK: st->en_dcs_check.store(0); break;
        case VEXEL_FILTER_TEMP_MONITOR: st->en_temp_mon.store(0); break;
        case VEXEL_FILTER_HDR:
            st->en_hdr.store(0);
            program_hdr(drv, *st, false);
            break;
        case VEXEL_FILTER_TEMP_TWO_SIDED: st->en_temp_two_sided.store(0); break;
        case VEXEL_FILTER_CONFIDENCE: st->en_conf.store(0); break;
        case VEXEL_FILTER_FLYING: st->en_flying.store(0); break;
        case VEXEL_FILTER_TEMPORAL: {
            // Switched on again later, the filter starts from a fresh history.
            st->en_temporal.store(0);
            std::lock_guard lock(st->temporal_mu);
            vexel_temporal_reset(st->temporal);
            break;
        }
        case VEXEL_FILTER_SPATIAL: st->en_spatial.store(0); break;
        case VEXEL_FILTER_FILL: st->en_fill.store(0); break;
        default: break;
    }
    return 1;
}

int epc_filter_get(vexel_driver_entry* drv, int id, void* val, int size) {
    const State* st = state_of(drv);
    if (!st) return -1;
    uint8_t bytes[4] = {};
    auto put = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto put_f = [&](float f) { std::memcpy(bytes, &f, sizeof f); };
    uint8_t on = 0;
    switch (id) {
        case VEXEL_FILTER_LENS_UNDISTORT: on = st->en_lens.load(); break;
        case VEXEL_FILTER_PIXEL_CALIB: {
            // The open switches the correction on when it found the camera's tables, without
            // this switch: the decode's own setting is the state.
            const auto cal = st->calibration();
            on = cal ? cal->drnu : st->en_pixel_calib.load();
            put(st->calib_sel.load() < 2 ? st->calib_sel.load() : 0);  // 2: no set chosen yet, the first
            break;
        }
        case VEXEL_FILTER_MEDIAN:
            on = st->en_median.load();
            put(st->median_size.load());
            break;
        case VEXEL_FILTER_AMP_THRESHOLD:
            on = st->en_amp.load();
            put(static_cast<uint32_t>(st->min_amp.load()));
            break;
        case VEXEL_FILTER_AUTO_INTG:
            on = st->en_auto_intg.load();
            put(st->sat_ratio.load());
            break;
        case VEXEL_FILTER_DCS_CHECK:
            on = st->en_dcs_check.load();
            put(st->dcs_fix_val.load());
            break;
        case VEXEL_FILTER_TEMP_MONITOR:
            on = st->en_temp_mon.load();
            put(st->temp_mon_val.load());
            break;
        case VEXEL_FILTER_HDR: on = st->en_hdr.load(); break;
        case VEXEL_FILTER_TEMP_TWO_SIDED: on = st->en_temp_two_sided.load(); break;
        case VEXEL_FILTER_CONFIDENCE:
            on = st->en_conf.load();
            put_f(st->conf_max_mm.load());
            break;
        case VEXEL_FILTER_FLYING:
            on = st->en_flying.load();
            put_f(st->flying_k.load());
            break;
        case VEXEL_FILTER_TEMPORAL:
            on = st->en_temporal.load();
            put_f(st->temporal_alpha.load());
            break;
        case VEXEL_FILTER_SPATIAL:
            on = st->en_spatial.load();
            put_f(st->spatial_sigma.load());
            break;
        case VEXEL_FILTER_FILL:
            on = st->en_fill.load();
            put_f(st->fill_px.load());
            break;
        default: return -1;
    }
    if (val && size > 0) std::memcpy(val, bytes, static_cast<size_t>(std::min(size, 4)));
    return on ? 1 : 0;
}

}  // namespace

int drnu_set() { return vx::chip::calib().loaded_set; }

vexel_lens_param lens_record() {
    std::lock_guard lock(g_lens_mu);
    return g_lens;
}

void set_lens_record(const vexel_lens_param& p) {
    std::lock_guard lock(g_lens_mu);
    g_lens = p;
}

bool update_lens_param(const std::string& path) {
    vexel_lens_param p = lens_record();
    bool count_ok = false;
    if (!read_lens_param(path, p, count_ok)) return false;
    set_lens_record(p);
    return count_ok;
}

bool read_lens_param(const std::string& path, vexel_lens_param& out, bool& count_ok) {
    static const char* const fn = "_vx_update_len_param";
    count_ok = false;
    std::ifstream in(path);
    if (!in) {
        vx::logf(vx::kDbg, "[%s] %s Open failed, use default param\n", fn, path.c_str());
        return false;
    }
    // Values go into a copy: the record changes only if the whole file leaves it usable.
    vexel_lens_param p = out;
    int lines = 0;
    std::string line;
    // Beyond one line too many the count is wrong whatever follows.
    while (lines <= kLensLines && std::getline(in, line)) {
        const int i = lines++;
        const size_t start = line.find_first_not_of(' ');
        if (i >= kLensLines || start == std::string::npos) continue;  // no token: value unchanged
        const std::string tok = line.substr(start, line.find(' ', start) - start);
        apply_lens_line(p, i, tok.c_str());
    }
    count_ok = lines == kLensLines;
    if (!count_ok) vx::logf(vx::kWrn, "[%s] Param number maybe not right\n", fn);
    if (const char* why = lens_problem(p)) {
        vx::logf(vx::kWrn, "[%s] %s: %s, lens param kept\n", fn, path.c_str(), why);
        return false;
    }
    out = p;
    if (count_ok) vx::logf(vx::kDbg, "[%s] Reload lens param ok\n", fn);
    return true;
}

ClockFn set_clock(ClockFn fn) { return g_clock.exchange(fn ? fn : &vx::now); }
vx::Timestamp clock_now() { return g_clock.load()(); }

}  // namespace vx::epc

using namespace vx::epc;

extern "C" {

const vexel_driver_op g_vexel_driver_op_epc = {  // exported by its declaration
    epc_init,        epc_uninit,     epc_frame_get_info, vx::epc::frame_decode, epc_lens_param_get, epc_spare5,
    epc_chip_reinit, epc_calib_load, epc_spare8,         epc_filter_enable,     epc_filter_disable, epc_filter_get,
};

VX_API int epc_adapter_init(vexel_dev* dev) { return (dev ? adapter_start(dev) : adapter_standalone()) ? 1 : 0; }

VX_API void epc_adapter_uninit(void) {
    {
        std::lock_guard lock(g_standalone_mu);
        if (vexel_dev* dev = g_standalone.exchange(nullptr)) {
            std::puts("close dev..");
            vexel_dev_close(dev);
            vexel_uninit();
            std::puts("uninit done..");
        }
    }
    g_vx_dev = nullptr;
}

VX_API uint8_t epc_adapater_get_frame_valid(void) {
    const State* st = current_state();
    return st ? st->frame_valid.load() : 1;
}

VX_API void epc_adapater_set_frame_valid(uint8_t v) {
    if (State* st = current_state()) st->frame_valid.store(v);
}

VX_API uint8_t epc_lens_param_get(vexel_driver_entry* drv, vexel_lens_param* out, int w, int h) {
    if (!out || w < 1 || h < 1) return 0;
    // A camera's own record; the process-wide one for a state without a camera.
    State* st = drv && drv->ops == &g_vexel_driver_op_epc ? state_of(drv) : nullptr;
    const vexel_lens_param p = st ? camera_lens(*st) : lens_record();
    // A window the chip library set on the camera: its frames are a part of the lens's image,
    // binned or not, and the intrinsics move with the part's corner. Taken as binned pixels of
    // the whole image, a 320 x 120 window of the central rows would get half the focal length.
    const vx::chip::Window win =
        vx::chip::window_of(st ? drv->dev : static_cast<const vexel_dev*>(vx::chip::command_target()));
    int full_w = p.img_w, full_h = p.img_h;
    double ox = 0, oy = 0;
    if (!win.full()) {
        full_w = win.x1 - win.x0 + 1;
        full_h = 2 * (win.y1 - win.y0 + 1);
        ox = win.x0 - 4;
        oy = win.y0 - 6;
        // The lower half mirrors the upper one about the centre line: a window short of it
        // leaves a band out of the image's middle, which no pinhole model describes.
        if (win.y1 != 125 || p.img_w != 320 || p.img_h != 240) {
            vx::logf(vx::kWrn,
                     "[%s] no lens parameters for frames of the window x %d..%d, y %d..%d (lens: %dx%d)\n",
                     "epc_lens_param_get", win.x0, win.x1, win.y0, win.y1, p.img_w, p.img_h);
            return 0;
        }
    }
    if (full_w % w != 0 || full_h % h != 0) {
        vx::logf(vx::kWrn, "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
                 "epc_lens_param_get", full_w, full_h, w, h);
        return 0;
    }
    // Binned frames: the intrinsics shrink by the binning factors, the distortion stays.
    const double sx = full_w / w, sy = full_h / h;
    *out = p;
    out->img_w = w;
    out->img_h = h;
    out->cx = (p.cx - ox) / sx;
    out->cy = (p.cy - oy) / sy;
    out->fx = p.fx / sx;
    out->fy = p.fy / sy;
    return 1;
}

VX_API int epc_calib_status(const vexel_driver_entry* drv) {
    if (!drv || drv->ops != &g_vexel_driver_op_epc) return EPC_CALIB_UNKNOWN;
    const State* st = state_of(drv);
    return st ? st->calib_status.load() : EPC_CALIB_UNKNOWN;
}

}  // extern "C"
