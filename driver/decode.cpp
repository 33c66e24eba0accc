// The epc driver's frame decode: raw four-phase frames to distance (mm) or amplitude images, and
// the exported per-pixel routines. The arithmetic is single precision, rounded after every
// operation in a fixed order; the vector kernels (decode_avx2.cpp, decode_avx512.cpp) perform
// the same operations lane by lane, so every build gives the same bits. This file holds the
// set-up, the scalar kernels and the frame-level steps.
#include "driver/decode.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>

#include <vexel/chip.h>
#include <vexel/device.h>
#include <vexel/filter.h>
#include <vexel/lens.h>

#include "chip/chip.hpp"
#include "core/clock.hpp"
#include "core/log.hpp"
#include "driver/epc.hpp"

namespace vx::epc {

namespace {

constexpr const char* kDecodeFn = "epc_frame_decode";
constexpr const char* kPixelFn = "calcDefPiDelayGetDataSorted_opt";

// The decode touches chip-library state that other decodes share: the calculation flags, the
// image descriptor, the amplitude thresholds and the hysteresis map. Holding this lock while
// reading and writing them keeps two threads decoding at once correct; the pixel work itself
// runs on private copies outside it.
std::mutex g_chip_mu;

ScratchAlloc g_alloc = std::malloc;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Per-thread scratch kept between calls: decoding allocates nothing once warm.
struct Scratch {
    std::unique_ptr<uint16_t, FreeDeleter> amp, img;
    size_t cap = 0;  // pixels each image holds
    std::array<uint8_t, VX_CHIP_PIXELS> hyst{};
    std::array<uint32_t, VX_CHIP_ATAN_ENTRIES> atan{};
    // Built from `atan` when the chip library's table differs from it.
    std::array<uint32_t, kOctantZero + 2> octant{};
    bool octant_ready = false;
    bool made_table = false;  // `atan` is the table make_phase_table builds
};

thread_local std::unique_ptr<Scratch> t_scratch;

// The thread's scratch with room for `pixels` per image, or null when memory runs out.
Scratch* scratch_for(size_t pixels) {
    if (!t_scratch) {
        t_scratch.reset(new (std::nothrow) Scratch);
        if (!t_scratch) return nullptr;
    }
    Scratch* s = t_scratch.get();
    if (s->cap < pixels) {
        s->amp.reset();
        s->img.reset();
        s->cap = 0;
        s->amp.reset(static_cast<uint16_t*>(g_alloc(pixels * sizeof(uint16_t))));
        s->img.reset(static_cast<uint16_t*>(g_alloc(pixels * sizeof(uint16_t))));
        if (!s->amp || !s->img) return nullptr;
        s->cap = pixels;
    }
    return s;
}

// Truncation toward zero "taken as 16 bits"; values no integer type holds give 0.
uint16_t u16_trunc(double v) {
    if (!(v > -9.2e18 && v < 9.2e18)) return 0;
    return static_cast<uint16_t>(static_cast<int64_t>(v));
}

uint16_t ld16(const uint8_t* p, int64_t i) {
    return static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
}

int atan_lut(const uint32_t* tab, int yy, int xx) {
    if (yy == 0) return xx < 0 ? 15000 : 0;
    int base = 0;
    if (yy < 0) {
        yy = -yy;
        xx = -xx;
        base = 15000;
        if (xx <= 0) {
            base = 22500;
            const int t = xx;
            xx = yy;
            yy = -t;
        }
    } else if (xx <= 0) {
        base = 7500;
        const int t = xx;
        xx = yy;
        yy = -t;
    }
    if (yy >= xx) {
        base += 3750;
        const int t = yy;
        yy = t - xx;
        xx = xx + t;
    }
    return base + static_cast<int>(tab[yy * VX_CHIP_ATAN_ENTRIES / xx]);
}

struct Px {
    bool bad;
    int x, y;
    int32_t s;
};

Px samples(const RawView& raw, int64_t r) {
    const int d0 = ld16(raw.src, r) & 0xFFF, d1 = ld16(raw.src, raw.plane + r) & 0xFFF;
    const int d2 = ld16(raw.src, 2 * raw.plane + r) & 0xFFF, d3 = ld16(raw.src, 3 * raw.plane + r) & 0xFFF;
    const bool bad = d0 == 0 || d0 == 4095 || d1 == 0 || d1 == 4095 || d2 == 0 || d2 == 4095 || d3 == 0 || d3 == 4095;
    const int x = d3 - d1, y = d2 - d0;
    return {bad, x, y, x * x + y * y};
}

uint16_t amplitude(int32_t s) { return static_cast<uint16_t>(trunc_i32(std::sqrt(static_cast<float>(s)) * 0.5f)); }

enum class St : uint8_t { kOk, kWeak, kInvalid };

struct Phase {
    St st;
    uint16_t code;  // phase code of a valid pixel
    float m;        // metres of a valid pixel
};

uint16_t code_of(const Phase& ph) { return ph.st == St::kOk ? ph.code : (ph.st == St::kWeak ? kWeak : kInvalid); }

// A pixel with valid samples from the hysteresis on: phase, corrections, distance checks.
Phase phase_pixel(const PixelSetup& ps, const Px& px, int64_t r, int64_t q) {
    const uint32_t s4 = static_cast<uint32_t>(px.s) / 4;
    uint8_t state;
    if (s4 >= ps.upper)
        state = 1;
    else if (s4 < ps.lower)
        state = 0;
    else
        state = r < ps.hyst_len ? ps.hyst[r] : 0;
    if (r < ps.hyst_len) ps.hyst[r] = state;
    if (state == 0) return {St::kWeak, 0, 0};
    if (!ps.dist_ok) return {St::kInvalid, 0, 0};

    const int p = (atan_lut(ps.atan, px.x, px.y) + 15000) % kPhasePeriod;
    float P = static_cast<float>(p) - ps.tc;
    if (!ps.drnu) {
        P = P + ps.offset;
    } else {
        if (!ps.calib_ok || q >= VX_CHIP_PIXELS) return {St::kInvalid, 0, 0};
        const float M = ps.vmax[q], N = ps.vmin[q];
        // Equal extremes would divide by zero.
        if (P >= M || M == N) return {St::kInvalid, 0, 0};
        int32_t k = trunc_i32((P - N) * static_cast<float>(ps.nd) / (M - N));
        if (k < 0) k = 0;
        // Entry k + 1 must stay inside this pixel's table; beyond its last entry the phase is
        // outside the calibrated range.
        const bool last = k > ps.nd - 2;
        if (last) k = ps.nd - 2;
        float l0, l1;
        if (ps.pairs) {
            const uint32_t pair = ps.pairs[k * kPairPlane + q];
            l0 = static_cast<float>(pair & 0xFFFF);
            l1 = static_cast<float>(pair >> 16);
        } else {
            const uint16_t* t = ps.table + q * ps.nd + k;
            l0 = t[0];
            l1 = t[1];
        }
        if ((last && P > l1) || l0 == l1) return {St::kInvalid, 0, 0};
        P = (P - l0) * ps.sp / (l1 - l0) + ps.sp * static_cast<float>(k);
        P = P + ps.offset;
    }
    if (P < 0) P = P + 30000.0f;
    if (P > 30000.0f) P = P - 30000.0f;
    // Calibration values or temperatures far from a real camera's can leave the phase beyond one
    // period, or NaN: such a pixel has no distance.
    if (!(P >= 0.0f && P <= 30000.0f)) return {St::kInvalid, 0, 0};
    const float m = P * ps.range / 30000.0f;
    if (px.s > 9999) {
        if (px.s > 89999 && m > ps.range - 1.0f) return {St::kInvalid, 0, 0};
    } else if (m < 1.0f) {
        return {St::kWeak, 0, 0};
    }
    return {St::kOk, static_cast<uint16_t>(trunc_i32(P)), m};
}

void st16(void* dst, int64_t q, uint16_t v) { std::memcpy(static_cast<uint8_t*>(dst) + 2 * q, &v, 2); }
void stf(void* dst, int64_t q, float v) { std::memcpy(static_cast<uint8_t*>(dst) + 4 * q, &v, 4); }

// Floats in increasing order as unsigned keys (-0 just below +0; NaNs lie outside -inf..+inf).
uint32_t order_key(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}
float from_key(uint32_t k) {
    const uint32_t u = (k & 0x80000000u) ? (k & 0x7FFFFFFFu) : ~k;
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// Smallest float phase for which `pred` (non-decreasing in the phase) holds; NaN when none.
template <class Pred>
float first_phase(Pred pred) {
    uint32_t lo = order_key(-INFINITY), hi = order_key(INFINITY);
    if (!pred(from_key(hi))) return NAN;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (pred(from_key(mid)))
            hi = mid;
        else
            lo = mid + 1;
    }
    return from_key(lo);
}

// The phase tables of the kernels for states with their own calibration: the same every
// process, so built once rather than compared with the chip library's every frame.
struct PhaseTables {
    std::array<uint32_t, VX_CHIP_ATAN_ENTRIES> atan{};
    std::array<uint32_t, kOctantZero + 2> octant{};
};

const PhaseTables& phase_tables() {
    static const PhaseTables t = [] {
        PhaseTables p;
        const auto tab = vx::chip::make_phase_table();
        std::copy(tab.begin(), tab.end(), p.atan.begin());
        build_octant_phase(p.atan.data(), p.octant.data());
        return p;
    }();
    return t;
}

}  // namespace

void build_octant_phase(const uint32_t* atan, uint32_t* out) {
    for (int o = 0; o < 8; ++o)
        for (int i = 0; i < VX_CHIP_ATAN_ENTRIES; ++i)
            out[o * VX_CHIP_ATAN_ENTRIES + i] = (3750u * o + atan[i] + 15000u) % kPhasePeriod;
    out[kOctantZero] = 15000;
    out[kOctantZero + 1] = 0;
}

void set_range(PixelSetup& ps, float range) {
    ps.range = range;
    const float far = range - 1.0f;
    ps.far_from = first_phase([&](float P) { return P * range / 30000.0f > far; });
    ps.near_below = first_phase([&](float P) { return P * range / 30000.0f >= 1.0f; });
    if (std::isnan(ps.near_below)) ps.near_below = INFINITY;
}

void set_scratch_alloc(ScratchAlloc alloc) { g_alloc = alloc ? alloc : std::malloc; }

namespace {
std::atomic<bool> g_pinned{false};
std::atomic<Simd> g_pin{Simd::kScalar};
}  // namespace

void pin_simd(Simd simd) {
    g_pin.store(simd);
    g_pinned.store(true);
}
void unpin_simd() { g_pinned.store(false); }

Simd best_simd() {
    static const Simd best = [] {
#if VX_DECODE_AVX2
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
            return Simd::kAvx512;
        if (__builtin_cpu_supports("avx2")) return Simd::kAvx2;
#endif
        return Simd::kScalar;
    }();
    if (g_pinned.load(std::memory_order_relaxed)) return std::min(best, g_pin.load(std::memory_order_relaxed));
    return best;
}

void pixel_cols_scalar(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y, int j0, int j1) {
    const int i = raw_row_of(y, raw.rows);
    const bool floats = mode == Mode::kMetres || mode == Mode::kAmpF;
    for (int j = j0; j < j1; ++j) {
        const int64_t q = int64_t{y} * raw.cols + j, r = int64_t{i} * raw.cols + j;
        // Pixels without samples in the planes given are invalid.
        const Px px = i >= 0 && r < raw.plane ? samples(raw, r) : Px{true, 0, 0, 0};
        if (px.bad) {
            floats ? stf(dst, q, kInvalidF) : st16(dst, q, kInvalid);
            continue;
        }
        switch (mode) {
            case Mode::kAmp: st16(dst, q, amplitude(px.s)); break;
            case Mode::kAmpF: stf(dst, q, static_cast<float>(amplitude(px.s))); break;
            case Mode::kSquares: st16(dst, q, static_cast<uint16_t>(std::min(px.s, 50000))); break;
            case Mode::kPhase: st16(dst, q, code_of(phase_pixel(ps, px, r, q))); break;
            case Mode::kMetres: {
                const Phase ph = phase_pixel(ps, px, r, q);
                stf(dst, q, ph.st == St::kOk ? ph.m : (ph.st == St::kWeak ? kWeakF : kInvalidF));
                break;
            }
        }
    }
}

void distance_cols_scalar(const PixelSetup& ps, const RawView& raw, int y, int j0, int j1, uint16_t* amp,
                          uint16_t* code) {
    const int i = raw_row_of(y, raw.rows);
    for (int j = j0; j < j1; ++j) {
        const int64_t q = int64_t{y} * raw.cols + j, r = int64_t{i} * raw.cols + j;
        const Px px = i >= 0 && r < raw.plane ? samples(raw, r) : Px{true, 0, 0, 0};
        if (px.bad) {
            amp[j] = code[j] = kInvalid;
            continue;
        }
        amp[j] = static_cast<uint16_t>(std::min(px.s, 50000));
        code[j] = code_of(phase_pixel(ps, px, r, q));
    }
}

namespace {

void merge_pair_scalar(uint16_t* a0, uint16_t* a1, uint16_t* h0, uint16_t* h1, int n) {
    for (int j = 0; j < n; ++j) {
        if (hdr_take_second(a0[j], a1[j])) {
            a0[j] = a1[j];
            if (h0) h0[j] = h1[j];
        } else {
            a1[j] = a0[j];
            if (h0) h1[j] = h0[j];
        }
    }
}

void to_mm_row(uint16_t* v, int n, uint16_t u) {
    for (int j = 0; j < n; ++j) v[j] = to_mm(v[j], u);
}

}  // namespace

void pixel_rows(Simd simd, Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
#if VX_DECODE_AVX2
    if (simd == Simd::kAvx512) return avx512::pixel_rows(mode, ps, raw, dst, y0, y1);
    if (simd == Simd::kAvx2) return avx2::pixel_rows(mode, ps, raw, dst, y0, y1);
#endif
    (void)simd;
    for (int y = y0; y < y1; ++y) pixel_cols_scalar(mode, ps, raw, dst, y, 0, raw.cols);
}

void phase_entries(Simd simd, const int32_t* index, uint32_t* out, size_t n) {
#if VX_DECODE_AVX2
    if (simd == Simd::kAvx512) return avx512::phase_entries(index, out, n);
#endif
    (void)simd;
    const auto& tab = phase_tables().atan;
    for (size_t i = 0; i < n; ++i) out[i] = tab[static_cast<size_t>(index[i])];
}

void distance_image(Simd simd, const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr,
                    uint16_t u_mm) {
#if VX_DECODE_AVX2
    if (simd == Simd::kAvx512) return avx512::distance_image(ps, raw, amp, mm, hdr, u_mm);
    if (simd == Simd::kAvx2) return avx2::distance_image(ps, raw, amp, mm, hdr, u_mm);
#endif
    (void)simd;
    const int w = raw.cols;
    for (int y = 0; y < raw.rows; ++y) {
        uint16_t* a = amp + size_t(y) * w;
        uint16_t* d = mm + size_t(y) * w;
        distance_cols_scalar(ps, raw, y, 0, w, a, d);
        if (!hdr) {
            to_mm_row(d, w, u_mm);
        } else if (y % 2 == 1) {
            merge_pair_scalar(a - w, a, d - w, d, w);
            to_mm_row(d - w, 2 * w, u_mm);
        } else if (y == raw.rows - 1) {
            to_mm_row(d, w, u_mm);
        }
    }
}

void gray_image(Simd simd, const PixelSetup& ps, const RawView& raw, uint16_t* out, bool hdr) {
    pixel_rows(simd, Mode::kAmp, ps, raw, out, 0, raw.rows);
    if (!hdr) return;
    const int w = raw.cols;
    for (int y = 1; y < raw.rows; y += 2) {
        uint16_t* g = out + size_t(y) * w;
#if VX_DECODE_AVX2
        if (simd != Simd::kScalar) {
            avx2::merge_pair(g - w, g, nullptr, nullptr, w);
            continue;
        }
#endif
        merge_pair_scalar(g - w, g, nullptr, nullptr, w);
    }
}

void plausibility(Simd simd, const uint16_t* in, const uint16_t* amp, uint16_t* out, size_t n, uint16_t v,
                  uint16_t t) {
#if VX_DECODE_AVX2
    if (simd != Simd::kScalar) return avx2::plausibility(in, amp, out, n, v, t);
#endif
    (void)simd;
    for (size_t k = 0; k < n; ++k) {
        const uint16_t d = in[k];
        out[k] = (d >= v || d <= 100 || (amp[k] <= 9999 && d < t)) ? kWeak : d;
    }
}

namespace {

constexpr int kFullCols = 320, kFullRows = 240;

// First pixel of the calibration tables that image pixel 0 of a cols x rows image stands for, or
// -1 when the image's pixels are not whole-row runs of sensor pixels the tables describe. The
// tables hold the full 320 x 240 image. The sensor reads its halves from the centre outwards, so
// a frame of fewer full-width rows holds the central ones, as long as the camera's window (`win`,
// the one the chip library programmed on it) starts at column 4, ends at column 323 and reaches
// the centre line (row 125 of each half): a window of columns 0..319 is 320 columns four pixels
// to the left, and one ending at row 123 leaves a gap at the centre. Binned pixels, other widths
// and odd row counts have no table entries of their own. `reductions`: the chip library's
// column and row reduction, when this frame is the chip library's (caller holds g_chip_mu).
int64_t calibration_origin(int64_t cols, int64_t rows, const vx::chip::Window& win, bool reductions) {
    if (cols != kFullCols || rows < 2 || rows > kFullRows || rows % 2 != 0) return -1;
    if (win.x0 != 4 || win.x1 != 323 || win.y1 != 125) return -1;
    if (reductions && (pruGetColReduction() != 1 || pruGetRowReduction() != 1)) return -1;
    return (kFullRows - rows) / 2 * kFullCols;
}

// One warning per frame size without table entries, not one per frame.
void warn_unmapped(int64_t cols, int64_t rows) {
    static std::atomic<int64_t> last{-1};
    const int64_t key = cols << 32 | rows;
    if (last.exchange(key) == key) return;
    vx::logf(vx::kWrn, "[%s] no pixel calibration for %dx%d frames (binned or cropped): decoded without it\n",
             kDecodeFn, static_cast<int>(cols), static_cast<int>(rows));
}

// The temperature term in phase units, from the sensor's and the illumination board's distance
// to their calibration temperatures (tenths of a degree) and the coefficients per tenth. The chip
// library compensates the sensor only above its calibration temperature, so a camera still
// warming up reads short by the sensor's whole drift; `two_sided` (VEXEL_FILTER_TEMP_TWO_SIDED)
// takes the drift off on both sides.
float temperature_term(int64_t ds, int64_t dib, float as, float aib, bool two_sided) {
    return static_cast<float>(dib) * aib + static_cast<float>(two_sided ? ds : std::max<int64_t>(0, ds)) * as;
}

// Set-up of the per-pixel routine for a cols x rows image, with the hysteresis state and the
// phase table copied into the thread's scratch. `frame`: a camera's frame, whose rows are mapped
// onto the tables; the exported chip routine indexes them by its own pixel number, as it always
// has. `two_sided`: the sensor's temperature term on both sides of calibration (temperature_term).
// Caller holds g_chip_mu.
PixelSetup make_setup(Scratch& s, int64_t pixels, int64_t cols, int64_t rows, bool frame, bool two_sided,
                      bool& calib_warn) {
    PixelSetup ps;
    const double c2 = calibrateGetSpeedOfLightDiv2();
    const int f = configGetModulationFrequency();
    const int nd = calibrateGetNumDistances();
    const double step = calibrateGetStepCalMM();
    ps.dist_ok = f > 0;
    if (ps.dist_ok) {
        const uint16_t ur = u16_trunc(c2 / f);
        ps.sp = static_cast<float>(step) * 30000.0f / static_cast<float>(ur);
        set_range(ps, static_cast<float>(149896229.0) / (static_cast<float>(f) * 1000.0f));
        if (calculationGetEnableTemperature()) {
            const int part = configGetPartType();
            const float as = static_cast<float>(calibrateGetTempCoef(part)) * 30000.0f / static_cast<float>(ur);
            const float aib = static_cast<float>(calibrateGetIbTempCoef(part)) * 30000.0f / static_cast<float>(ur);
            const int ts = temperatureGetTemperatureByFrameHeader();
            const int tib = temperatureGetIbTemperatureByFrameHeader();
            ps.tc = temperature_term(int64_t{ts} - calibrateGetTempCalib(), int64_t{tib} - calibrateGetIbTempCalib(), as,
                                     aib, two_sided);
        }
    }
    ps.drnu = calculationGetEnableDRNU() == 2;
    // Never another pixel's correction: a frame whose pixels the tables do not describe goes
    // without pixel calibration.
    const int64_t origin =
        ps.drnu && frame ? calibration_origin(cols, rows, vx::chip::window_of(vx::chip::command_target()), true) : 0;
    if (origin < 0) {
        ps.drnu = false;
        warn_unmapped(cols, rows);
    }
    int64_t o = calibrationGetOffsetPhase();
    if (ps.drnu) o += calibrationGetOffsetDRNU();
    ps.offset = static_cast<float>(o);
    if (ps.drnu) {
        // The loader fills set 0 when the camera uses external modulation, set 1 otherwise.
        const int set = epcgetExtModEnable() ? 0 : 1;
        ps.nd = nd;
        ps.calib_ok = nd >= 2;
        calib_warn = !ps.calib_ok;
        ps.table = distImagesDRNU[set] + (ps.calib_ok ? origin * nd : 0);
        ps.vmax = distImagesDRNUMax[set] + origin;
        ps.vmin = distImagesDRNUMin[set] + origin;
    }
    ps.upper = upperThreshold;
    ps.lower = lowerThreshold;
    ps.hyst_len = std::min<int64_t>(pixels, VX_CHIP_PIXELS);
    std::memcpy(s.hyst.data(), hysteresisMap, static_cast<size_t>(std::max<int64_t>(ps.hyst_len, 0)));
    ps.hyst = s.hyst.data();
    const auto& tab = vx::chip::atan_table();
    if (!s.octant_ready || !std::equal(tab.begin(), tab.end(), s.atan.begin())) {
        std::copy(tab.begin(), tab.end(), s.atan.begin());
        build_octant_phase(s.atan.data(), s.octant.data());
        const auto& made = phase_tables().atan;
        s.made_table = std::equal(made.begin(), made.end(), s.atan.begin());
        s.octant_ready = true;
    }
    ps.atan = s.atan.data();
    ps.octant_phase = s.octant.data();
    // A chip library whose table was never initialised (all zeros) decodes from that table.
    ps.made_table = s.made_table;
    return ps;
}

// Fills c.base from c's values (the frequency-dependent part of make_setup, once per change).
void derive_setup(Calibration& c) {
    PixelSetup& ps = c.base;
    ps = PixelSetup{};
    ps.dist_ok = c.freq_khz > 0;
    if (ps.dist_ok) {
        const uint16_t ur = u16_trunc(c.c_div2 / c.freq_khz);
        ps.sp = static_cast<float>(c.step_mm) * 30000.0f / static_cast<float>(ur);
        set_range(ps, static_cast<float>(149896229.0) / (static_cast<float>(c.freq_khz) * 1000.0f));
        c.temp_as = static_cast<float>(c.temp_coef) * 30000.0f / static_cast<float>(ur);
        c.temp_aib = static_cast<float>(c.ib_temp_coef) * 30000.0f / static_cast<float>(ur);
    }
    ps.drnu = c.drnu;
    ps.offset = static_cast<float>(int64_t{c.offset_phase} + (c.drnu ? int64_t{c.offset_drnu} : 0));
    if (c.drnu) {
        // Without this camera's tables no pixel has a correction of its own: all are invalid.
        ps.nd = c.tables ? c.tables->nd : 0;
        ps.calib_ok = ps.nd >= 2;
        if (c.tables) {
            ps.pairs = c.tables->pairs.data();
            ps.vmax = c.tables->vmax.data();
            ps.vmin = c.tables->vmin.data();
        }
    }
    ps.atan = phase_tables().atan.data();
    ps.octant_phase = phase_tables().octant.data();
    ps.made_table = true;
}

void warn_calibration(int nd) {
    vx::logf(vx::kWrn, "[%s] pixel calibration needs at least 2 distances, %d loaded: pixels invalid\n", kPixelFn,
             nd);
}

// The image descriptor handed to the chip library; it must outlive the call that sets it.
struct ImageDescriptor {
    vexel_frame_info info;
    const void* data;
};
thread_local ImageDescriptor t_descriptor;

void set_calculation_flags(unsigned format) {
    static constexpr uint8_t kFlags[9][3] = {{0, 0, 0}, {1, 1, 0}, {1, 0, 0}, {0, 1, 1}, {0, 1, 0},
                                             {1, 0, 1}, {1, 1, 1}, {0, 0, 1}, {0, 0, 0}};
    if (format > 8) return;
    // Decodes of several cameras set them at once: atomic stores, no lock.
    vx::chip::Config& c = vx::chip::config();
    std::atomic_ref<int>(c.pi_delay).store(kFlags[format][0], std::memory_order_relaxed);
    std::atomic_ref<int>(c.dual_mgx).store(kFlags[format][1], std::memory_order_relaxed);
    std::atomic_ref<int>(c.pn).store(kFlags[format][2], std::memory_order_relaxed);
}

// DCS consistency: complementary phases of a sound pixel add up to about 4096.
bool dcs_consistent(const uint8_t* src, int64_t n_px, int64_t plane, int64_t wh) {
    int64_t c02 = 0, c13 = 0;
    for (int64_t k = 0; k < n_px; ++k) {
        const int s02 = (ld16(src, 2 * plane + k) & 0xFFF) + (ld16(src, k) & 0xFFF);
        const int s13 = (ld16(src, 3 * plane + k) & 0xFFF) + (ld16(src, plane + k) & 0xFFF);
        c02 += s02 >= 4017 && s02 <= 4175;
        c13 += s13 >= 4017 && s13 <= 4175;
    }
    return c02 * 100 / wh > 60 && c13 * 100 / wh > 60;
}

void send_dcs_fix(vexel_driver_entry* drv, const State& st) {
    vexel_param_item item{};
    item.param_id = 17;
    item.param_len = 1;
    item.param_val[0] = st.dcs_fix_flag.load(std::memory_order_relaxed);
    const uint16_t v = st.dcs_fix_val.load(std::memory_order_relaxed);
    item.param_val[1] = static_cast<uint8_t>(v);
    item.param_val[2] = static_cast<uint8_t>(v >> 8);
    vexel_param_batch_set(drv->dev, &item, 1);
}

// Output of the lens step into the caller's buffer: undistorted when asked for and possible,
// else a copy. `spare` is a scratch image for a caller buffer not aligned for 16-bit values.
void finish_image(State& st, const uint16_t* img, void* out, uint16_t* spare, int w, int h, bool lens) {
    const size_t bytes = size_t(w) * h * sizeof(uint16_t);
    if (lens) {
        const bool aligned = reinterpret_cast<uintptr_t>(out) % alignof(uint16_t) == 0;
        uint16_t* to = aligned ? static_cast<uint16_t*>(out) : spare;
        std::shared_lock lock(st.lens_mu);
        // An empty table is refused (and logged) by the undistortion; the image is then passed
        // on uncorrected rather than left unwritten.
        if (vx_calib_len_undistort_u16(&st.len_map, to, 76800, img, 320, 240, 0)) {
            if (!aligned) std::memcpy(out, spare, bytes);
            return;
        }
    }
    std::memcpy(out, img, bytes);
}

int fail(State& st) {
    st.frame_valid.store(0, std::memory_order_relaxed);
    return -1;
}

}  // namespace

int frame_decode(vexel_driver_entry* drv, void* out, int out_len, int type, const void* raw, int raw_len,
                 const vexel_frame_info* info) {
    State* st = state_of(drv);
    if (!st || !out || !raw || !info) {
        vx::logf(vx::kErr, "[%s] Wrong params\n", kDecodeFn);
        return -1;
    }
    const auto* src = static_cast<const uint8_t*>(raw);
    const int64_t n = std::min<int64_t>(info->frame_size, std::max(raw_len, 0));
    const int64_t w = info->frame_width, h = info->frame_height;
    const uint64_t pixels = uint64_t(info->frame_width) * info->frame_height;  // up to 2^64 - 2^33 + 1
    const unsigned format = info->frame_format;
    const Simd simd = best_simd();
    const bool distance = format == 2 && type == 1;
    // Scratch only for a frame the length checks below will accept.
    const bool sizes_ok = pixels <= uint64_t(std::max(out_len, 0)) / 2 && pixels <= uint64_t(n) / 8;
    const int64_t wh = sizes_ok ? int64_t(pixels) : 0;
    Scratch* s = sizes_ok ? scratch_for(static_cast<size_t>(wh)) : nullptr;
    // The calibration is read once per frame: a switch on another thread publishes a new one
    // and leaves this frame's alone.
    const std::shared_ptr<const Calibration> cal = st->calibration();
    PixelSetup ps;
    bool calib_warn = false;
    int freq = 0, intg_us = 0;
    std::optional<IntgChange> intg;
    // The chip library's record of the frame being decoded, for callers that read it.
    t_descriptor = {*info, raw};
    {
        vx::chip::Geometry& g = vx::chip::geometry();
        std::atomic_ref<void*>(g.image).store(&t_descriptor, std::memory_order_relaxed);
        std::atomic_ref<bool>(g.image_set).store(true, std::memory_order_relaxed);
        set_calculation_flags(format);
    }
    const bool amp = st->en_amp.load(std::memory_order_relaxed) != 0;
    const uint16_t ratio = st->sat_ratio.load(std::memory_order_relaxed);
    const bool auto_on = st->en_auto_intg.load(std::memory_order_relaxed) && ratio != 0;
    const uint16_t frame_idx = info->frame_idx;
    if (cal) {
        // This camera's own state, under its own lock: short copies and decisions only.
        std::lock_guard lock(st->mu);
        if (amp) st->min_amplitude = st->min_amp.load(std::memory_order_relaxed);
        if (auto_on)
            intg = auto_intg_decide(st->auto_ran, st->auto_last, st->intg_us, st->en_hdr.load() != 0, ratio, src,
                                    static_cast<size_t>(n), clock_now(), simd,
                                    auto_intg_settling(st->auto_changed, st->auto_changed_at, frame_idx));
        if (distance && s) {
            ps = cal->base;
            if (ps.dist_ok && cal->temperature) {
                int ts = 0, tib = 0;
                st->temps_of(frame_idx, ts, tib);
                ps.tc = temperature_term(int64_t{ts} - cal->temp_cal, int64_t{tib} - cal->temp_cal_ib, cal->temp_as,
                                         cal->temp_aib, st->en_temp_two_sided.load(std::memory_order_relaxed) != 0);
            }
            if (ps.drnu) {
                const int64_t origin = calibration_origin(w, h, vx::chip::window_of(drv->dev), false);
                if (origin < 0) {
                    ps.drnu = false;
                    ps.offset = static_cast<float>(cal->offset_phase);
                    warn_unmapped(w, h);
                } else if (ps.calib_ok) {
                    ps.pairs += origin;
                    ps.vmax += origin;
                    ps.vmin += origin;
                }
            }
            calib_warn = ps.drnu && !ps.calib_ok;
            ps.upper = vx::chip::hysteresis_upper(st->min_amplitude);
            ps.lower = vx::chip::hysteresis_lower(st->min_amplitude, st->hyst_width);
            ps.hyst_len = std::min<int64_t>(wh, VX_CHIP_PIXELS);
            // A new threshold starts every pixel's history afresh, as apiSetMinAmplitude does.
            if (amp)
                std::memset(s->hyst.data(), 0, static_cast<size_t>(ps.hyst_len));
            else
                std::memcpy(s->hyst.data(), st->hyst.data(), static_cast<size_t>(ps.hyst_len));
            ps.hyst = s->hyst.data();
            freq = cal->freq_khz;
            intg_us = std::max(st->intg_us, 0);
        }
    } else {
        // Not started on a camera: the chip library's process-wide state, as the exported
        // routines read it.
        std::lock_guard lock(g_chip_mu);
        if (amp) apiSetMinAmplitude(st->min_amp.load(std::memory_order_relaxed));
        if (auto_on) {
            std::lock_guard own(st->mu);
            if (st->intg_us < 0) st->intg_us = configGetIntegrationTime3D();
            intg = auto_intg_decide(st->auto_ran, st->auto_last, st->intg_us, calculationIsHDR() != 0, ratio, src,
                                    static_cast<size_t>(n), clock_now(), simd,
                                    auto_intg_settling(st->auto_changed, st->auto_changed_at, frame_idx));
        }
        if (distance && s) {
            ps = make_setup(*s, wh, w, h, true, st->en_temp_two_sided.load(std::memory_order_relaxed) != 0,
                            calib_warn);
            freq = configGetModulationFrequency();
            intg_us = configGetIntegrationTime3D();
        }
    }
    // The integration time goes to the frame's own camera, with no lock held.
    if (intg && auto_intg_apply(drv->dev, *intg)) {
        std::lock_guard lock(st->mu);
        st->intg_us = intg->to;
        st->auto_changed = true;
        st->auto_changed_at = frame_idx;
    }

    auto length_ok = [&] {
        if (sizes_ok) return true;
        vx::logf(vx::kErr, "[%s] wrong data len: src=%d, dst=%d\n", kDecodeFn, static_cast<int>(n), out_len);
        return false;
    };

    switch (format) {
        case 0:
            if (type != 2 || !length_ok()) return fail(*st);
            break;
        case 2:
            if (!length_ok()) return fail(*st);
            if (st->en_dcs_check.load(std::memory_order_relaxed) && wh > 0 &&
                !dcs_consistent(src, n / 8, wh, wh)) {
                st->frame_valid.store(0, std::memory_order_relaxed);
                const vx::Timestamp t = clock_now();
                if (t.sec > st->dcs_last_fix_s.load(std::memory_order_relaxed)) {
                    send_dcs_fix(drv, *st);
                    st->dcs_last_fix_s.store(t.sec, std::memory_order_relaxed);
                    return -1;
                }
            }
            if (type != 1 && type != 2) return fail(*st);
            break;
        case 8:
            if (type == 1) return fail(*st);
            return -1;
        case 171:
            vx::logf(vx::kInf, "[%s] Calibration data frame,size:%d\n", kDecodeFn, static_cast<int>(info->frame_size));
            return fail(*st);
        default: return fail(*st);
    }
    if (wh == 0) return 0;

    const bool lens = format == 2 && st->en_lens.load(std::memory_order_relaxed) && w == 320 && h == 240;
    if (!s) {
        vx::logf(vx::kErr, "[%s] malloc failed\n", kDecodeFn);
        return fail(*st);
    }
    // The frame's own size, which frame_get_info also gave the chip library: a frame of another
    // size described meanwhile on a capturing thread must not make the kernels overrun.
    const RawView view{src, wh, static_cast<int>(w), static_cast<int>(h)};
    // Images go straight into the caller's buffer unless the lens step needs a source of its
    // own or the buffer cannot hold 16-bit values in place.
    const bool direct = !lens && reinterpret_cast<uintptr_t>(out) % alignof(uint16_t) == 0;
    uint16_t* img = direct ? static_cast<uint16_t*>(out) : s->img.get();
    const bool hdr = st->en_hdr.load(std::memory_order_relaxed) != 0;

    if (!distance) {
        gray_image(simd, ps, view, img, format == 2 && hdr);  // amplitudes need no set-up
    } else {
        const auto f = static_cast<float>(freq);
        if (!(f > 0)) {
            vx::logf(vx::kErr, "[%s] no modulation frequency set\n", kDecodeFn);
            return fail(*st);
        }
        if (calib_warn) warn_calibration(ps.nd);
        // Millimetres per 30000 phase units, from the single-precision speed-of-light constant.
        const uint16_t u_mm = u16_trunc(149896224.0f / f);
        distance_image(simd, ps, view, s->amp.get(), img, hdr, u_mm);
        if (cal) {
            std::lock_guard lock(st->mu);
            std::memcpy(st->hyst.data(), ps.hyst, static_cast<size_t>(ps.hyst_len));
        } else {
            std::lock_guard lock(g_chip_mu);
            std::memcpy(hysteresisMap, ps.hyst, static_cast<size_t>(ps.hyst_len));
        }
        const uint8_t k = st->median_size.load(std::memory_order_relaxed);
        if (st->en_median.load(std::memory_order_relaxed) && k > 1)
            vx_median2d_u16(img, img, static_cast<int32_t>(w), static_cast<int32_t>(h), k);
        const uint16_t v = u16_trunc(149896229.0 / static_cast<double>(f));
        plausibility(simd, img, s->amp.get(), img, static_cast<size_t>(wh), v, static_cast<uint16_t>(v / 6));
        if (quality_steps_on(*st)) quality_steps(*st, view, img, static_cast<int>(w), static_cast<int>(h), freq, intg_us);
    }
    if (!direct) finish_image(*st, img, out, s->amp.get(), static_cast<int>(w), static_cast<int>(h), lens);
    return static_cast<int>(2 * wh);
}

std::mutex& chip_state_mu() { return g_chip_mu; }

std::shared_ptr<const Calibration> calibration_from_chip(bool tables_loaded) {
    const vx::chip::Calib& k = vx::chip::calib();
    auto c = std::make_shared<Calibration>();
    c->part_type = configGetPartType();
    c->freq_khz = configGetModulationFrequency();
    c->c_div2 = k.c_div2;
    c->temp_coef = calibrateGetTempCoef(c->part_type);
    c->ib_temp_coef = calibrateGetIbTempCoef(c->part_type);
    c->offset_drnu = k.sel.offset_drnu;
    c->temp_cal = k.sel.temp_cal;
    c->temp_cal_ib = k.sel.temp_cal_ib;
    c->step_mm = k.sel.step_mm;
    // Only what this camera's own load switched on: an earlier camera's offset phase and
    // temperature correction stay with that camera.
    c->offset_phase = tables_loaded ? k.offset_phase : 0;
    c->drnu = tables_loaded && k.enable_drnu == 2;
    c->temperature = tables_loaded && k.enable_temperature != 0;
    if (tables_loaded && k.nd > 0) {
        auto t = std::make_shared<DrnuTables>();
        const int set = k.loaded_set;
        t->nd = k.nd;
        const uint16_t* table = distImagesDRNU[set];
        const size_t nd = static_cast<size_t>(k.nd);
        if (nd >= 2) {
            t->pairs.resize(size_t{kPairPlane} * (nd - 1));
            for (size_t q = 0; q < size_t{VX_CHIP_PIXELS}; ++q)
                for (size_t e = 0; e + 1 < nd; ++e)
                    t->pairs[e * size_t{kPairPlane} + q] = table[q * nd + e] | uint32_t{table[q * nd + e + 1]} << 16;
        }
        t->vmax.assign(distImagesDRNUMax[set], distImagesDRNUMax[set] + VX_CHIP_PIXELS);
        t->vmin.assign(distImagesDRNUMin[set], distImagesDRNUMin[set] + VX_CHIP_PIXELS);
        c->tables = std::move(t);
    }
    derive_setup(*c);
    return c;
}

std::shared_ptr<const Calibration> with_pixel_calibration(const Calibration& c, bool on) {
    auto n = std::make_shared<Calibration>(c);
    n->drnu = on;
    // Switching on moves the offset phase to the calibration's zero distance; switching off
    // leaves it where it is.
    if (on)
        if (auto x = vx::chip::drnu_default_offset(c.c_div2, c.freq_khz, c.offset_drnu)) n->offset_phase = *x;
    derive_setup(*n);
    return n;
}

// The exported per-pixel routine: set-up, then every image row of the chip geometry.
int pixel_routine(Mode mode, void* dst, const void* src, int64_t plane4) {
    const int64_t plane = plane4 / 4;
    const int64_t cols = pruGetNCols(), rows = int64_t{pruGetNRowsPerHalf()} * pruGetNumberOfHalves();
    if (!dst || !src || cols <= 0 || rows <= 0 || cols > INT32_MAX || rows > INT32_MAX) return static_cast<int>(plane);
    const bool phase = mode == Mode::kPhase || mode == Mode::kMetres;
    Scratch* s = scratch_for(0);
    if (!s) {
        vx::logf(vx::kErr, "[%s] malloc failed\n", kPixelFn);
        return -1;
    }
    bool calib_warn = false;
    PixelSetup ps;
    if (phase) {
        std::lock_guard lock(g_chip_mu);
        ps = make_setup(*s, std::min(cols * rows, plane), cols, rows, false, false, calib_warn);
    }
    if (calib_warn) warn_calibration(ps.nd);
    const RawView view{static_cast<const uint8_t*>(src), std::max<int64_t>(plane, 0), static_cast<int>(cols),
                       static_cast<int>(rows)};
    pixel_rows(best_simd(), mode, ps, view, dst, 0, view.rows);
    if (phase) {
        std::lock_guard lock(g_chip_mu);
        std::memcpy(hysteresisMap, ps.hyst, static_cast<size_t>(ps.hyst_len));
    }
    return static_cast<int>(plane);
}

}  // namespace vx::epc

extern "C" {

VX_API int calcDefPiDelayGetDataSorted_opt(struct vexel_driver_entry*, int mode, void* dst, const void* src,
                                           int plane4) {
    if (mode < 0 || mode > 4) return plane4 / 4;
    return vx::epc::pixel_routine(static_cast<vx::epc::Mode>(mode), dst, src, plane4);
}

VX_API int _epc_dcs2dist_f32(struct vexel_driver_entry*, float* dst, const void* src, int a, int b) {
    const int64_t pixels = int64_t{a} * b;
    // The routine's plane argument counts the samples of all four planes.
    if (a <= 0 || b <= 0 || pixels > INT32_MAX / 4) return 0;
    vx::epc::pixel_routine(vx::epc::Mode::kMetres, dst, src, 4 * pixels);
    return static_cast<int>(pixels);
}

}  // extern "C"
