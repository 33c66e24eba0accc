#include "sim/sensor/readout.hpp"

#include <algorithm>
#include <cmath>

#include "sim/sensor/model.hpp"

namespace vxsim {

namespace {

constexpr unsigned kBorderX = 4, kBorderY = 6;  // left border columns, outer border rows of a half
constexpr unsigned kMaxX = 327, kMaxY = 125;
constexpr double kMixedSpreadM = 0.05;

// Position of image row v in the raw order of a full frame.
unsigned raw_row_of(unsigned v) { return v >= kHeight / 2 ? 2 * (v - kHeight / 2) + 1 : 2 * (kHeight / 2 - 1 - v); }

// Calls f(q) for every image pixel binned pixel (c, k) of `lower` half collects (k counted from
// the centre line outwards); border members are dark and skipped.
template <class F>
void members(const Readout& w, unsigned c, unsigned k, bool lower, F&& f) {
    for (unsigned dy = 0; dy < w.bin_y; ++dy)
        for (unsigned dx = 0; dx < w.bin_x; ++dx) {
            const int q = image_pixel(w.x0 + c * w.bin_x + dx, w.y1 - k * w.bin_y - dy, lower);
            if (q >= 0) f(static_cast<unsigned>(q));
        }
}

}  // namespace

std::optional<Readout> readout_of(const uint8_t* regs) {
    Readout w;
    w.x0 = unsigned(regs[kRegRoi]) << 8 | regs[kRegRoi + 1];
    w.x1 = unsigned(regs[kRegRoi + 2]) << 8 | regs[kRegRoi + 3];
    w.y0 = regs[kRegRoi + 4];
    w.y1 = regs[kRegRoi + 5];
    // Square bins only: a binned image keeps the aspect of the pixels, as the host's lens scaling
    // (the same factor on both axes of a whole-sensor image) expects.
    if (regs[kRegBinning] > 2) return std::nullopt;
    w.bin_x = w.bin_y = 1u << regs[kRegBinning];
    if (w.x0 % 2 || w.x1 % 2 == 0 || w.x0 > w.x1 || w.x1 < 5 || w.x1 > kMaxX) return std::nullopt;
    if (w.y0 % 2 || w.y1 % 2 == 0 || w.y0 > w.y1 || w.y1 > kMaxY) return std::nullopt;
    if (w.x1 - w.x0 + 1 < 6 * w.bin_x || w.y1 - w.y0 + 1 < 2 * w.bin_y) return std::nullopt;
    return w;
}

int image_pixel(unsigned x, unsigned y, bool lower) {
    if (x < kBorderX || x >= kBorderX + kWidth || y < kBorderY || y > kMaxY) return -1;
    const unsigned u = x - kBorderX, v = lower ? kHeight - 1 - (y - kBorderY) : y - kBorderY;
    return static_cast<int>(v * kWidth + u);
}

void read_window(const Readout& w, const uint16_t* full, const float* charge, bool flags, uint16_t* dst) {
    const unsigned cols = w.cols(), rows = w.rows();
    const bool binned = w.bin_x * w.bin_y > 1;
    for (unsigned k = 0; k < kPlanes; ++k) {
        const uint16_t* in = full + size_t(k) * kPixels;
        const float* ch = charge ? charge + size_t(k) * kPixels : nullptr;
        uint16_t* out = dst + size_t(k) * cols * rows;
        for (unsigned i = 0; i < rows; ++i)
            for (unsigned c = 0; c < cols; ++c) {
                // Raw row i: the halves alternate from the centre outwards, the upper one first.
                double sum = kBackground;
                int copied = -1;
                members(w, c, i / 2, i & 1, [&](unsigned q) {
                    const unsigned r = raw_row_of(q / kWidth) * kWidth + q % kWidth;
                    if (binned)
                        sum += ch[r] - kBackground;
                    else
                        copied = in[r];
                });
                uint16_t v;
                if (!binned && copied >= 0) {
                    v = static_cast<uint16_t>(copied);  // as the full frame has it, flags and all
                } else {
                    v = static_cast<uint16_t>(std::clamp(std::lround(sum), 0l, 4095l));
                    if (flags) v = with_flags(v, k);
                }
                out[size_t(i) * cols + c] = v;
            }
    }
}

Truth window_truth(const Truth& full, const Readout& w) {
    Truth t;
    t.width = w.cols();
    t.height = w.rows();
    const size_t n = size_t(t.width) * t.height;
    t.distance.assign(n, 0.0f);
    t.amplitude.assign(n, 0.0f);
    t.fixed_pattern.assign(n, 0.0f);
    t.flags.assign(n, 0);
    const unsigned half = w.rows_per_half();
    for (unsigned v = 0; v < t.height; ++v)
        for (unsigned c = 0; c < t.width; ++c) {
            const bool lower = v >= half;
            const unsigned k = lower ? v - half : half - 1 - v;
            double r = 0, fp = 0, amp = 0, lo = 1e300, hi = 0;
            unsigned hits = 0, seen = 0;
            uint8_t fl = 0;
            members(w, c, k, lower, [&](unsigned q) {
                ++seen;
                fl |= full.flags[q];
                amp += full.amplitude[q];
                fp += full.fixed_pattern[q];
                if (full.distance[q] > 0) {
                    ++hits;
                    r += full.distance[q];
                    lo = std::min<double>(lo, full.distance[q]);
                    hi = std::max<double>(hi, full.distance[q]);
                }
            });
            const size_t o = size_t(v) * t.width + c;
            t.amplitude[o] = static_cast<float>(amp);
            if (seen) t.fixed_pattern[o] = static_cast<float>(fp / seen);
            if (hits) t.distance[o] = static_cast<float>(r / hits);
            // Shielded border members add no light; members that see nothing beside ones that see a
            // surface, or surfaces far apart, mix.
            if (hits && (hits < seen || hi - lo > kMixedSpreadM)) fl |= kTruthMixed;
            t.flags[o] = fl;
        }
    return t;
}

}  // namespace vxsim
