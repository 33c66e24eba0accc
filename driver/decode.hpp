// Internals of the epc frame decode: the per-call set-up of the per-pixel routine and the row
// kernels, in a scalar and an AVX2 build that agree bit for bit. Open to the tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <vexel/chip.h>

#include "core/clock.hpp"

struct vexel_dev;

namespace vx::epc {

inline constexpr uint16_t kInvalid = 65500;
inline constexpr uint16_t kWeak = 65300;
inline constexpr float kInvalidF = 65.5f;
inline constexpr float kWeakF = 65.3f;
inline constexpr int kPhasePeriod = 30000;

// Outputs of the per-pixel routine, numbered as its `mode` argument.
enum class Mode : int { kPhase = 0, kAmp = 1, kMetres = 2, kAmpF = 3, kSquares = 4 };

enum class Simd { kScalar, kAvx2, kAvx512 };
// The kernels' instruction set: the best the machine has, or a lower one a test pinned.
Simd best_simd();
void pin_simd(Simd simd);
void unpin_simd();

// Everything the per-pixel arithmetic reads, taken once per call from the chip library.
struct PixelSetup {
    // Phase to distance (modes 0 and 2). dist_ok is false when no modulation frequency is set:
    // every pixel is then invalid.
    bool dist_ok = false;
    float tc = 0;      // temperature term, phase units
    float offset = 0;  // offset phase (+ DRNU offset with pixel calibration)
    float sp = 0;      // one calibration step in phase units
    float range = 0;   // unambiguous range R in metres
    // Phases from which the distance P * R / 30000 exceeds R - 1, and from which it reaches 1 m
    // (set_range finds them exactly: the rounded distance never decreases as P grows).
    float far_from = 0, near_below = 0;
    // Pixel calibration: tables of the loaded set, nd entries per pixel. calib_ok is false when
    // fewer than 2 distances are loaded: every pixel is then invalid.
    bool drnu = false;
    bool calib_ok = false;
    int nd = 0;
    const uint16_t* table = nullptr;
    // The same entries as pairs by distance (see DrnuTables::pairs); used instead of `table`
    // when set.
    const uint32_t* pairs = nullptr;
    const uint16_t* vmax = nullptr;
    const uint16_t* vmin = nullptr;
    // Amplitude hysteresis: squared-amplitude thresholds and the states of raw pixels
    // [0, hyst_len), updated in place.
    uint32_t upper = 0, lower = 0;
    uint8_t* hyst = nullptr;
    int64_t hyst_len = 0;
    const uint32_t* atan = nullptr;  // the phase table widened to 32 bits
    // For the vector code: the phase (atan2_lut + 15000) mod 30000 by octant o and table
    // index i at o * 4096 + i, then the two results of a zero first argument (second argument
    // >= 0, < 0) at kOctantZero and kOctantZero + 1.
    const uint32_t* octant_phase = nullptr;
    // `atan` is the table make_phase_table builds: the AVX-512 code computes its entries
    // (kPhasePoly) instead of gathering from octant_phase.
    bool made_table = false;
};

inline constexpr int kOctantZero = 8 * 4096;

// Entry i of the phase table, round(atan(i / 4095) * 15000 / pi), is i + round(h) with
// h = sum_k kPhasePoly[k] u^k - i^2 / 2^14 and u = i / 2047.5 - 1, evaluated in single
// precision with fused multiply-adds in the order the kernels' phase_entry_poly gives. The
// coefficients interpolate that difference at the 11 Chebyshev points; taking out i and
// i^2 / 2^14 (both exact) keeps the terms small enough that over all 4096 indices h lies within
// 1.1e-4 of the exact difference and at least 2.1e-4 from a rounding boundary, so it rounds to
// the table's entry (the tests compare every entry). In the AVX-512 kernels these dozen
// operations cost less than a gather from the 128 kB octant table; in the AVX2 kernels (eight
// lanes, each half of a block computed apart) they cost more than the gather (measured), so
// those keep gathering.
inline constexpr float kPhasePoly[11] = {422.129272f,   374.109314f,   -126.097031f, -25.4642639f,
                                         45.8402138f,   -11.6159029f,  -2.2610805f,  2.44104338f,
                                         -0.466986895f, -0.220172942f, 0.105646193f};
inline constexpr float kPhasePolyScale = 1.0f / 2047.5f;

// The phase table's entries for `n` indices in [0, 4095] as the AVX-512 code computes them (the
// table's own entries for the builds that read it).
void phase_entries(Simd simd, const int32_t* index, uint32_t* out, size_t n);

// Pixel calibration tables of one camera, each pixel's extremes and its nd entries laid out by
// distance: entries k and k + 1 of pixel q in one word at pairs[k * kPairPlane + q] (k + 1 in the
// high half). A frame's neighbouring pixels mostly fall between the same two calibration
// distances, so they read neighbouring words instead of one cache line each.
inline constexpr int64_t kPairPlane = VX_CHIP_PIXELS;
struct DrnuTables {
    int nd = 0;
    std::vector<uint32_t> pairs;
    std::vector<uint16_t> vmax, vmin;
};

// One camera's calibration: what its own load left in the chip library, taken when the load
// ends, plus the decode's set-up derived from it once. Never changed once published: a switch
// that changes it publishes a new one, so each frame decodes with one consistent set.
struct Calibration {
    int part_type = 0;
    int freq_khz = 0;
    double c_div2 = 0;
    double temp_coef = 0, ib_temp_coef = 0;
    int32_t offset_drnu = 0, temp_cal = 0, temp_cal_ib = 0;
    double step_mm = 0;
    int32_t offset_phase = 0;
    bool drnu = false;         // pixel calibration on
    bool temperature = false;  // temperature correction on
    std::shared_ptr<const DrnuTables> tables;  // null: this camera's distance images did not load
    // Derived: everything of the per-pixel set-up but the temperature term and the hysteresis.
    PixelSetup base;
    float temp_as = 0, temp_aib = 0;  // temperature coefficients in phase units per tenth degree
};

// The calibration the chip library holds right after a camera's own load; `tables_loaded`
// says whether that load read the camera's distance images. Caller serialises chip access.
std::shared_ptr<const Calibration> calibration_from_chip(bool tables_loaded);
// `c` with pixel calibration switched on or off (the offset rules of calculationSetEnableDRNU).
std::shared_ptr<const Calibration> with_pixel_calibration(const Calibration& c, bool on);

// Fills `out` (kOctantZero + 2 entries) from the phase table `atan` (4096 entries).
void build_octant_phase(const uint32_t* atan, uint32_t* out);

// Sets ps.range and the two phase thresholds derived from it.
void set_range(PixelSetup& ps, float range);

// A raw frame as the routine sees it: four planes of `plane` samples (little-endian, any
// alignment) and the decode geometry; `rows` counts both halves.
struct RawView {
    const uint8_t* src = nullptr;
    int64_t plane = 0;
    int cols = 0;
    int rows = 0;
};

// Raw row holding image row y (rows read from the centre outwards), or -1 when no raw row maps
// there (an odd row count leaves the last image row without one).
inline int raw_row_of(int y, int rows) {
    const int half = rows / 2;
    const int i = y >= half ? 2 * (y - half) + 1 : 2 * (half - 1 - y);
    return i < rows ? i : -1;
}

// Image rows [y0, y1) of the per-pixel routine in `mode`; dst holds cols x rows values (uint16
// or float by mode) at any alignment.
void pixel_rows(Simd simd, Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1);

// The distance path's fused passes over the whole image: squared amplitudes (mode 4) into `amp`,
// phase codes (mode 0), the HDR row-pair merge when `hdr`, and the millimetre conversion with
// unit `u_mm` into `mm`. Both buffers hold cols x rows values.
void distance_image(Simd simd, const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr,
                    uint16_t u_mm);

// The gray path: amplitudes (mode 1) into `out`, row pairs merged when `hdr`.
void gray_image(Simd simd, const PixelSetup& ps, const RawView& raw, uint16_t* out, bool hdr);

// Plausibility: every distance at or beyond `v`, at most 100 mm, or closer than `t` with a weak
// squared amplitude becomes 65300. in and out may be the same buffer.
void plausibility(Simd simd, const uint16_t* in, const uint16_t* amp, uint16_t* out, size_t n, uint16_t v, uint16_t t);

// Phase code to millimetres: (v * u) / 30000 for codes up to 59999, larger ones unchanged.
inline uint16_t to_mm(uint16_t v, uint16_t u) {
    return v <= 59999 ? static_cast<uint16_t>(uint32_t{v} * u / 30000u) : v;
}

// The HDR merge of one column of a row pair: an invalid (> 60000) row takes the other's values,
// otherwise the larger weight wins, the second row on a tie.
inline bool hdr_take_second(uint16_t a0, uint16_t a1) {
    if (a0 > 60000) return true;
    if (a1 > 60000) return false;
    return a1 >= a0;
}

// Sample class counts of the automatic integration time over n samples.
struct SampleCounts {
    uint64_t bad = 0, low = 0, high = 0;
};
SampleCounts count_samples(Simd simd, const uint8_t* src, size_t n);

// Scratch images come from this allocator (std::malloc unless a test injects failures).
using ScratchAlloc = void* (*)(size_t);
void set_scratch_alloc(ScratchAlloc alloc);

// Columns [j0, j1) of image row y in scalar code; the vector kernels finish rows with them.
void pixel_cols_scalar(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y, int j0, int j1);
// Squared amplitudes (mode 4) and phase codes (mode 0) of columns [j0, j1) of image row y,
// into amp[j] and code[j].
void distance_cols_scalar(const PixelSetup& ps, const RawView& raw, int y, int j0, int j1, uint16_t* amp,
                          uint16_t* code);

// The automatic integration time's decision for one frame of n bytes at time `now`: the change
// to make (from, to), or nothing; no lengthening while `settling` (auto_intg_settling). `ran`,
// `last` and the camera's time `cur_us` are the camera's; the caller holds the lock that guards them. The write goes to the camera after that lock is
// released (auto_intg_apply), so a slow or failing command holds up no decode.
struct IntgChange {
    int from, to;
};
std::optional<IntgChange> auto_intg_decide(bool& ran, vx::Timestamp& last, int cur_us, bool hdr, uint16_t sat_ratio,
                                           const uint8_t* src, size_t n, const vx::Timestamp& now, Simd simd,
                                           bool settling = false);
// True while frame `frame_idx` may still have been exposed before the change made after frame
// `changed_at`: a sensor takes a new time one or two frames after it is written and a frame is
// on its way meanwhile. Lengthening again for such a frame would step once more for the same
// light and run on into saturation, then back: a swing that never settles. Shortening on it
// goes on (saturated frames are lost frames; too short is undone by the next lengthening). The
// same frame decoded again, or a frame counter that started over, is not settling.
bool auto_intg_settling(bool changed, uint16_t changed_at, uint16_t frame_idx);
// Writes the change to `dev` (parameter 13); true when the camera took it.
bool auto_intg_apply(vexel_dev* dev, const IntgChange& c);

// The chip library's process-wide state, for the decode of a state without its own
// calibration, the exported per-pixel routine and the per-frame geometry.
std::mutex& chip_state_mu();

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_DECODE_AVX2 1
namespace avx2 {
void pixel_rows(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1);
void distance_image(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm);
void merge_pair(uint16_t* a0, uint16_t* a1, uint16_t* h0, uint16_t* h1, int n);
void to_mm_row(uint16_t* v, int n, uint16_t u);
void plausibility(const uint16_t* in, const uint16_t* amp, uint16_t* out, size_t n, uint16_t v, uint16_t t);
SampleCounts count_samples(const uint8_t* src, size_t n);
}  // namespace avx2
// The 32-bit kernels with sixteen lanes; the 16-bit passes stay with AVX2.
namespace avx512 {
void pixel_rows(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1);
void distance_image(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm);
void phase_entries(const int32_t* index, uint32_t* out, size_t n);
}  // namespace avx512
#else
#define VX_DECODE_AVX2 0
#endif

// Float to int32 as the x86 conversion does: NaN and values outside the int32 range give
// INT32_MIN, so the scalar and vector paths agree on hostile inputs without undefined behaviour.
inline int32_t trunc_i32(float v) {
    if (!(v > -2147483904.0f && v < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace vx::epc
