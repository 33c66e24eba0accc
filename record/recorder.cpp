// The recorder: listens to an open device and hands what it sees to a writer. It runs a frame
// parser of its own over the bytes the device's parser gets, so it stores the frames the host
// assembled without touching the device's frame queue.
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <memory>

#include <vexel/chip.h>
#include <vexel/device.h>
#include <vexel/driver.h>
#include <vexel/lens.h>
#include <vexel/record.h>
#include <vexel/stream.h>

#include "core/device.hpp"
#include "core/log.hpp"
#include "core/path.hpp"
#include "record/recorder.hpp"
#include "record/records.hpp"
#include "record/writer.hpp"

namespace vx::rec {

uint64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

constexpr uint32_t kSensorTarget = 1;
constexpr uint32_t kSensorRegisters = 256;
constexpr long kMaxStoredFile = 64l << 20;
// Parameters the settings snapshot holds besides the identity: mode, chip mode, frame rate,
// integration time, temperatures, DCS correction.
constexpr int kSettingParams[] = {VX_PARAM_MODE, VX_PARAM_CHIP_MODE, VX_PARAM_FPS, VX_PARAM_INTG_TIME,
                                  VX_PARAM_TEMPERATURES, VX_PARAM_DCS_CORRECTION};
constexpr int kIdentityParams[] = {VX_PARAM_DEV_ID, VX_PARAM_PRODUCT, VX_PARAM_DEV_INFO,
                                   VX_PARAM_VERSION, VX_PARAM_CHIP_INFO, VX_PARAM_CALIB_INFO};

bool read_param(vexel_dev* dev, int id, vexel_ll_param_rec& out) {
    vexel_param_item item{};
    item.param_id = static_cast<uint8_t>(id);
    if (!vexel_param_batch_get(dev, &item, 1)) return false;
    out = vexel_ll_param_rec{};
    out.id = static_cast<uint8_t>(id);
    out.len = item.param_len;
    std::memcpy(out.val, item.param_val, sizeof out.val);
    return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long n = ok ? std::ftell(f) : -1;
    ok = ok && n >= 0 && n <= kMaxStoredFile && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        out.resize(static_cast<size_t>(n));
        ok = std::fread(out.data(), 1, out.size(), f) == out.size();
    }
    std::fclose(f);
    return ok;
}

class Recorder final : public DeviceTap {
public:
    explicit Recorder(std::unique_ptr<Writer> w) : writer_(std::move(w)) {
        vx_stream_cfg cfg{4096};
        parser_ = vx_stream_create(&cfg);
    }
    ~Recorder() override { vx_stream_destroy(parser_); }
    bool ready() const { return parser_ != nullptr; }
    Writer& writer() { return *writer_; }

    void on_capture(int code, const uint8_t* data, int len) override {
        const uint64_t t = mono_ns();
        // The device's parser takes the bytes of data, time-out and stall completions alike.
        const bool data_code = code == VX_LL_CAP_OK || code == VX_LL_CAP_TIMEOUT || code == VX_LL_CAP_STALL;
        if (data_code && data && len > 0) {
            vx_stream_feed_input(parser_, data, static_cast<uint32_t>(len));
            vx_stream_state st{};
            vx_stream_get_state(parser_, &st);
            if (st.frames_discarded > discarded_) {
                discarded_ = st.frames_discarded;
                writer_->push(Kind::event, encode_event({t, 3, discarded_}), false);
            }
            take_frames(t);
        }
        // Cancellation is the host's own stop, not something the camera did.
        if (code != VX_LL_CAP_OK && code != VX_LL_CAP_CANCELLED)
            writer_->push(Kind::event, encode_event({t, code, 0}), false);
    }

    void on_reg_write(unsigned target, uint32_t base, const uint32_t* values, uint32_t count, bool ok) override {
        RegBlock b;
        b.target = static_cast<uint8_t>(target);
        b.base = base;
        if (values) b.values.assign(values, values + count);
        writer_->push(Kind::reg_write, encode_reg_write(mono_ns(), ok, b), false);
    }

    void on_param_set(const vexel_ll_param_rec* recs, int count, bool ok) override {
        writer_->push(Kind::param_set, encode_param_set(mono_ns(), ok, recs, count), false);
    }

    void on_close() override {
        vexel_rec_stats st{};
        const bool ok = finish(st);
        vx::logf(ok ? vx::kDbg : vx::kErr, "[%s] device closed: recording ended with %llu frames%s%s\n",
                 "vexel_rec_stop", static_cast<unsigned long long>(st.frames), ok ? "" : ": ", st.message);
        delete this;
    }

    bool finish(vexel_rec_stats& st) {
        const bool ok = writer_->finish();
        writer_->stats(st);
        return ok;
    }

private:
    void take_frames(uint64_t t) {
        for (;;) {
            vx_stream_frame_info info{};
            uint8_t none = 0;
            if (vx_stream_fetch_frames(parser_, &none, 0, 1, &info, 1) == 0) return;
            Out head;
            encode_frame_head(head, t, info);
            std::vector<uint8_t> body = writer_->buffer(kFrameFixedBytes + info.frlen);
            std::memcpy(body.data(), head.bytes.data(), kFrameFixedBytes);
            vx_stream_fetch_frames(parser_, body.data() + kFrameFixedBytes, info.frlen, 1, nullptr, 0);
            writer_->push(Kind::frame, std::move(body), true);
        }
    }

    std::unique_ptr<Writer> writer_;
    vx_stream* parser_ = nullptr;
    uint32_t discarded_ = 0;
};

// Everything the file says before the first frame: identity, settings, lens, calibration.
bool write_start(vexel_dev* dev, Writer& w, std::string& err) {
    std::vector<vexel_ll_param_rec> identity;
    for (int id : kIdentityParams) {
        vexel_ll_param_rec p{};
        if (!read_param(dev, id, p)) {
            err = "cannot read the camera's identity (parameter " + std::to_string(id) + ")";
            return false;
        }
        identity.push_back(p);
    }
    w.push(Kind::identity, encode_params(identity), false);

    Settings s;
    s.time_ns = mono_ns();
    for (int id : kSettingParams) {
        vexel_ll_param_rec p{};
        if (read_param(dev, id, p)) s.params.push_back(p);
    }
    RegBlock regs;
    regs.target = kSensorTarget;
    regs.values.resize(kSensorRegisters);
    if (vexel_reg_batch_read(dev, kSensorTarget, 0, regs.values.data(), kSensorRegisters))
        s.regs.push_back(std::move(regs));
    w.push(Kind::settings, encode_settings(s), false);

    vexel_driver_entry* drv = vexel_dev_get_drv(dev);
    if (drv && drv->ops == &g_vexel_driver_op_epc) {
        vexel_lens_param lens{};
        if (epc_lens_param_get(drv, &lens, 320, 240)) w.push(Kind::lens, encode_lens(lens), false);
        std::vector<uint8_t> data;
        if (read_file(vx::prefixed_path("lens_param.txt"), data))
            w.push(Kind::file, encode_file(FileRole::lens_text, "lens_param.txt", data), false);
        // The chip library names the files of the camera it serves: only this one's are wanted.
        if (g_vx_dev == dev) {
            char name[VX_CHIP_NAME_MAX] = {};
            calibrationGetParamName(name);
            if (read_file(vx::prefixed_path(name), data))
                w.push(Kind::file, encode_file(FileRole::calib_params, name, data), false);
            calibrationGetDistanceImagesName(name);
            if (read_file(vx::prefixed_path(name), data))
                w.push(Kind::file, encode_file(FileRole::calib_images, name, data), false);
        } else {
            vx::logf(vx::kWrn, "[%s] the chip library serves another camera: calibration not recorded\n",
                     "vexel_rec_start");
        }
    }
    w.cut();
    return true;
}

}  // namespace

std::unique_ptr<DeviceTap> make_recorder(std::unique_ptr<Writer> w) {
    auto rec = std::make_unique<Recorder>(std::move(w));
    if (!rec->ready()) return nullptr;
    return rec;
}

}  // namespace vx::rec

using namespace vx::rec;

extern "C" {

VX_API int vexel_rec_start(vexel_dev* dev, const char* path, const vexel_rec_options* opt) {
    static const char* const fn = "vexel_rec_start";
    if (!path || !*path) {
        vx::logf(vx::kErr, "[%s] no file name\n", fn);
        return 0;
    }
    {
        vx::DeviceCall call(dev);
        if (!call) {
            vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", fn);
            return 0;
        }
        if (vx::TapUse use(call.handle()); use) {
            vx::logf(vx::kErr, "[%s] the device is already being recorded\n", fn);
            return 0;
        }
    }
    WriterOptions wo;
    if (opt) {
        if (opt->zstd_level) wo.level = opt->zstd_level;
        if (opt->chunk_bytes) wo.chunk_bytes = opt->chunk_bytes;
        if (opt->chunk_ms) wo.chunk_ms = opt->chunk_ms;
        if (opt->queue_bytes) wo.queue_bytes = opt->queue_bytes;
    }
    std::string err;
    auto writer = Writer::create(path, wo, mono_ns(), err);
    if (!writer) {
        vx::logf(vx::kErr, "[%s] cannot record: %s\n", fn, err.c_str());
        return 0;
    }
    if (!write_start(dev, *writer, err)) {
        vx::logf(vx::kErr, "[%s] cannot record %s: %s\n", fn, path, err.c_str());
        writer->finish();
        std::remove(path);
        return 0;
    }
    auto rec = std::make_unique<Recorder>(std::move(writer));
    if (!rec->ready()) {
        vx::logf(vx::kErr, "[%s] no memory for the recorder\n", fn);
        return 0;
    }
    vx::DeviceCall call(dev);
    if (!call || !vx::attach_tap(call.handle(), rec.get())) {
        vx::logf(vx::kErr, "[%s] the device closed or is already being recorded\n", fn);
        vexel_rec_stats st{};
        rec->finish(st);
        return 0;
    }
    rec.release();  // the device holds it until vexel_rec_stop or close
    vx::logf(vx::kDbg, "[%s] recording to %s\n", fn, path);
    return 1;
}

VX_API int vexel_rec_stop(vexel_dev* dev, vexel_rec_stats* stats) {
    static const char* const fn = "vexel_rec_stop";
    if (stats) *stats = vexel_rec_stats{};
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", fn);
        return 0;
    }
    std::unique_ptr<Recorder> rec(static_cast<Recorder*>(vx::detach_tap(call.handle())));
    if (!rec) {
        vx::logf(vx::kErr, "[%s] the device is not being recorded\n", fn);
        return 0;
    }
    vexel_rec_stats st{};
    const bool ok = rec->finish(st);
    if (!ok) vx::logf(vx::kErr, "[%s] recording failed: %s\n", fn, st.message);
    if (stats) *stats = st;
    return ok ? 1 : 0;
}

VX_API int vexel_rec_get_stats(vexel_dev* dev, vexel_rec_stats* stats) {
    if (!stats) return 0;
    vx::DeviceCall call(dev);
    if (!call) return 0;
    vx::TapUse use(call.handle());
    if (!use) return 0;
    static_cast<Recorder*>(use.get())->writer().stats(*stats);
    return 1;
}

}  // extern "C"
