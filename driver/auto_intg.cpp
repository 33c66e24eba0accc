// Automatic integration time: before a frame is decoded, its raw samples nudge the sensor's 3D
// integration time, longer while few samples are near the ends of the range, shorter while too
// many are saturated.
#include <algorithm>
#include <optional>

#include <vexel/chip.h>
#include <vexel/device.h>

#include "core/log.hpp"
#include "driver/decode.hpp"

namespace vx::epc {

namespace {

constexpr int kMinUs = 50;
constexpr int kMaxUs = 1500;
constexpr int kStepUs = 50;
// Frames after a change that may still show the old time: two frames of sensor latency and one
// on its way to the host.
constexpr unsigned kSettleFrames = 3;

int step_size(uint16_t ratio, const SampleCounts& c, uint64_t samples) {
    constexpr const char* fn = "_feature_auto_intg_calc_step";
    constexpr const char* msg = "[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n";
    if (samples == 0) {
        vx::logf(vx::kTrc, msg, fn, 0, 0, 0, 0, ratio);
        return kStepUs;
    }
    const auto bad_pct = static_cast<int>(c.bad * 1000 / samples);
    vx::logf(vx::kTrc, msg, fn, bad_pct, static_cast<int>(c.bad), static_cast<int>(c.high), static_cast<int>(c.low),
             ratio);
    // Lengthen only while the range is not already well used at either end.
    const int grow = (c.high > 10 || c.low > 512) ? 0 : kStepUs;
    if (bad_pct < ratio) return grow;
    if (bad_pct >= 10) return -10 * (bad_pct / 10);
    return c.high > 512 ? -10 : grow;
}

}  // namespace

SampleCounts count_samples(Simd simd, const uint8_t* src, size_t n) {
#if VX_DECODE_AVX2
    if (simd != Simd::kScalar) return avx2::count_samples(src, n);
#endif
    (void)simd;
    SampleCounts c;
    for (size_t k = 0; k < n; ++k) {
        const uint16_t v = static_cast<uint16_t>(src[2 * k] | (src[2 * k + 1] << 8));
        c.bad += v <= 1 || v >= 4095;
        c.low += v >= 2 && v <= 511;
        c.high += v >= 3585 && v <= 4094;
    }
    return c;
}

std::optional<IntgChange> auto_intg_decide(bool& ran, vx::Timestamp& last, int cur_us, bool hdr, uint16_t sat_ratio,
                                           const uint8_t* src, size_t n, const vx::Timestamp& now, Simd simd,
                                           bool settling) {
    if (hdr) return std::nullopt;
    if (ran) {
        const int64_t elapsed = (now.sec - last.sec) * 1000 + (int64_t{now.usec} - last.usec) / 1000;
        if (elapsed <= 1) return std::nullopt;
    }
    last = now;
    ran = true;
    const size_t samples = n / 2;
    const SampleCounts c = count_samples(simd, src, samples);
    const int step = step_size(sat_ratio, c, samples);
    if (settling && step > 0) return std::nullopt;
    const int next = std::max(std::min(cur_us + step, kMaxUs), kMinUs);
    if (next == cur_us) return std::nullopt;
    return IntgChange{cur_us, next};
}

bool auto_intg_settling(bool changed, uint16_t changed_at, uint16_t frame_idx) {
    const unsigned since = static_cast<uint16_t>(frame_idx - changed_at);
    return changed && since >= 1 && since <= kSettleFrames;
}

bool auto_intg_apply(vexel_dev* dev, const IntgChange& c) {
    constexpr const char* fn = "_feature_auto_intg";
    vx::logf(vx::kDbg, "[%s] AUTO_INTG: %d->%d\n", fn, c.from, c.to);
    vexel_param_item item{};
    item.param_id = VX_PARAM_INTG_TIME;
    item.param_len = 0;  // the camera takes the value in place
    item.param_val[0] = static_cast<uint8_t>(c.to);
    item.param_val[1] = static_cast<uint8_t>(c.to >> 8);
    if (dev && vexel_param_batch_set(dev, &item, 1)) return true;
    vx::logf(vx::kErr, "[%s] adjust intg from %d to %d failed\n", fn, c.from, c.to);
    return false;
}

}  // namespace vx::epc
