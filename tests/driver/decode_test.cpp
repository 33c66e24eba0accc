// The frame decode against the scalar reference (decode_ref.hpp), bit for bit, in both kernel
// builds; the sound handling of hostile calibration; the automatic integration time's rules.
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/chip.h>
#include <vexel/lens.h>
#include <vexel/log.h>

#include "chip/chip.hpp"
#include "decode_ref.hpp"
#include "driver/decode.hpp"
#include "driver/epc.hpp"

namespace {

using vx::epc::Simd;
constexpr Simd kSimds[] = {Simd::kScalar, Simd::kAvx2, Simd::kAvx512};
const char* name(Simd s) { return s == Simd::kScalar ? "scalar" : (s == Simd::kAvx2 ? "avx2" : "avx512"); }

uint16_t le16(const std::vector<uint8_t>& b, size_t i) { return uint16_t(b[2 * i] | b[2 * i + 1] << 8); }

// Raw frames mixing every sample class: clean scene pixels of all phases and amplitudes, a
// sample at 0 or 4095 (also with the upper bits set), all-equal samples, and random words.
// `wall`: the phase climbs slowly across the image instead, so that neighbouring pixels mostly
// share a calibration interval and the intervals change inside blocks; a few hostile pixels.
std::vector<uint8_t> hostile_frame(int w, int h, uint32_t seed, bool wall = false) {
    std::mt19937 rng(seed);
    const size_t n = size_t(w) * h;
    std::vector<uint16_t> s(4 * n);
    std::uniform_real_distribution<double> phi(0, 2 * M_PI), logamp(0, std::log(2100.0));
    for (size_t i = 0; i < n; ++i) {
        const unsigned kind = rng() % (wall ? 64 : 16);
        const double a = wall ? 300 + double(i % 97) : std::exp(logamp(rng));
        const double ph = wall ? 2 * M_PI * (0.2 + 0.6 * double(i) / double(n)) : phi(rng);
        for (int k = 0; k < 4; ++k) {
            const long v = std::lround(2048 + a * std::cos(ph - k * M_PI / 2));
            s[k * n + i] = uint16_t(std::clamp(v, 0L, 4095L) | (kind == 1 ? (rng() % 16) << 12 : 0));
        }
        if (kind == 2) s[(rng() % 4) * n + i] = (rng() % 2) ? 0 : (rng() % 2 ? 4095 : 0x1FFF);
        if (kind == 3)
            for (int k = 0; k < 4; ++k) s[k * n + i] = 1000;
        if (kind == 4)
            for (int k = 0; k < 4; ++k) s[k * n + i] = uint16_t(rng());
    }
    std::vector<uint8_t> b(8 * n);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

class Decode : public ::testing::Test {
protected:
    void SetUp() override {
        vx::chip::reset_all();
        atan2lut_Init();
        configSetPartType(2);
        vx::chip::config().freq_khz = 12000;
        calibrateSetSpeedOfLightDiv2(149896229.0);
        calibrateSetTempCoef(1.7, 2);
        calibrateSetIbTempCoef(0.33765, 2);
        auto& sel = vx::chip::calib().sel;
        sel = {8364, 361, 341, 298.2};
        apiSetHysteresis(20);
        pruSetSize(320, 120);
        entry_.state = &st_;
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
    }
    void TearDown() override {
        vx::epc::unpin_simd();
        vx::epc::set_scratch_alloc(nullptr);
        vx_calib_len_uninit_map(&st_.len_map);
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr);
        vx::chip::reset_all();
    }

    // Per-pixel tables of set `set`: rising phases one step apart with noise; some pixels with
    // equal neighbours, equal extremes, or a phase that wraps (tables no longer monotonic).
    // `alike`: bases within 200 of each other, as a real camera's neighbouring pixels have them.
    static void load_tables(int set, int nd, uint32_t seed, bool alike = false) {
        calibrateSetNumDistances(nd);
        std::mt19937 rng(seed);
        for (int q = 0; q < VX_CHIP_PIXELS; ++q) {
            const int kind = rng() % 20, step = 600 + int(rng() % 200);
            const int base = alike ? 1000 + int(rng() % 200) : int(rng() % 20000);
            uint16_t mx = 0, mn = 65535;
            for (int k = 0; k < nd; ++k) {
                int v = base + k * step + int(rng() % 41) - 20;
                if (kind == 1 && k == nd / 2) v = base + (k - 1) * step;   // equal neighbours (nearly)
                if (kind == 2) v = base;                                     // equal extremes
                if (kind == 3) v %= 30000;                                   // wraps
                const auto e = uint16_t(std::max(v, 0));
                distImagesDRNU[set][size_t(q) * nd + k] = e;
                mx = std::max(mx, e);
                mn = std::min(mn, e);
            }
            distImagesDRNUMax[set][q] = mx;
            distImagesDRNUMin[set][q] = mn;
        }
    }

    // Runs `fn` for the reference and again for the library with the same hysteresis state at
    // the start; the maps they leave must agree too.
    template <class Ref, class Fast>
    void compare(Ref ref, Fast fast, const std::string& what) {
        std::vector<uint8_t> map0(hysteresisMap, hysteresisMap + VX_CHIP_PIXELS);
        const auto want = ref();
        std::vector<uint8_t> map_ref(hysteresisMap, hysteresisMap + VX_CHIP_PIXELS);
        for (Simd simd : kSimds) {
            std::memcpy(hysteresisMap, map0.data(), map0.size());
            vx::epc::pin_simd(simd);
            const auto got = fast();
            ASSERT_EQ(got.size(), want.size());
            size_t bad = 0;
            while (bad < got.size() && got[bad] == want[bad]) ++bad;
            EXPECT_EQ(bad, got.size()) << what << " " << name(simd) << ": first difference at byte " << bad;
            EXPECT_EQ(0, std::memcmp(hysteresisMap, map_ref.data(), map0.size())) << what << " " << name(simd);
        }
    }

    std::vector<uint8_t> routine(int mode, const std::vector<uint8_t>& raw, int plane4, size_t pixels) {
        std::vector<uint8_t> out(pixels * (mode == 2 || mode == 3 ? 4 : 2));
        EXPECT_EQ(calcDefPiDelayGetDataSorted_opt(&entry_, mode, out.data(), raw.data(), plane4), plane4 / 4);
        return out;
    }

    std::vector<uint16_t> decode(int type, const std::vector<uint8_t>& raw, int w, int h, int* rc = nullptr) {
        vexel_frame_info info{uint32_t(8 * w * h), 2, 0, uint32_t(w), uint32_t(h), 8, {}};
        std::vector<uint16_t> out(size_t(w) * h);
        const int r = vx::epc::frame_decode(&entry_, out.data(), int(2 * out.size()), type, raw.data(),
                                            int(raw.size()), &info);
        if (rc) *rc = r;
        else EXPECT_EQ(r, 2 * w * h);
        return out;
    }

    // Console output of `fn` down to trace level.
    static std::string console(const std::function<void()>& fn) {
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_TRC, nullptr);
        ::testing::internal::CaptureStdout();
        fn();
        std::string out = ::testing::internal::GetCapturedStdout();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
        return out;
    }

    vx::epc::State st_;
    vexel_driver_entry entry_{"EPC chip driver", "E2", nullptr, nullptr, nullptr};
};

// Every mode of the per-pixel routine, over calibration and temperature settings, frequencies
// and hysteresis states that exercise every branch.
TEST_F(Decode, PerPixelRoutineMatchesReference) {
    const auto raw = hostile_frame(320, 240, 1);
    load_tables(1, 30, 2);
    load_tables(0, 7, 3);
    struct Case {
        int freq, drnu, nd, temp, ts, tib, ext;
        int min_amp;
    } cases[] = {
        {12000, 0, 30, 0, 0, 0, 0, 0},       {12000, 2, 30, 1, 361 + 150, 341 + 150, 0, 30},
        {12000, 2, 30, 1, 200, 250, 0, 0},   {24000, 2, 30, 1, 800, 100, 0, 60},
        {36000, 0, 30, 1, 500, 500, 0, 30},  {12000, 2, 7, 1, 361, 341, 1, 0},
        {12000, 2, 2, 0, 0, 0, 0, 30},       {12000, 2, 1, 0, 0, 0, 0, 0},
        {12000, 1, 30, 0, 0, 0, 0, 0},       {0, 0, 30, 0, 0, 0, 0, 0},
    };
    std::mt19937 rng(4);
    for (const Case& c : cases) {
        vx::chip::config().freq_khz = c.freq;
        epcSetExtModEnable(c.ext);
        calculationSetEnableDRNU(c.drnu);
        calibrateSetNumDistances(c.nd);
        calculationSetEnableTemperature(c.temp);
        const int16_t t[2] = {int16_t(c.ts), int16_t(c.tib)};
        temperatureSetTemperatureByFrameHeader(t);
        apiSetMinAmplitude(c.min_amp);
        for (auto& s : hysteresisMap) s = uint8_t(rng() % 2);
        for (int mode = 0; mode <= 4; ++mode) {
            auto ref = [&] {
                std::vector<uint8_t> out(76800 * (mode == 2 || mode == 3 ? 4 : 2));
                ref::pixel_routine(mode, out.data(), raw.data(), int(raw.size() / 2));
                return out;
            };
            compare(ref, [&] { return routine(mode, raw, int(raw.size() / 2), 76800); },
                    "freq " + std::to_string(c.freq) + " drnu " + std::to_string(c.drnu) + " nd " +
                        std::to_string(c.nd) + " mode " + std::to_string(mode));
        }
    }
}

// The whole decode in both paths over HDR, median sizes, lens, pixel calibration and
// temperatures on either side of calibration; a 160 x 120 frame is never undistorted.
TEST_F(Decode, FrameDecodeMatchesReference) {
    load_tables(1, 30, 5);
    vexel_lens_param lens{157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                          320, 240};
    ASSERT_EQ(vx_calib_len_init_map(&st_.len_map, &lens), 76800);
    calculationSetEnableTemperature(1);
    // Twenty cases that take every median size with and without HDR, lens and calibration.
    const int medians[] = {0, 1, 3, 5, 7};
    for (int n = 0; n < 20; ++n) {
        const int median = medians[n % 5], hdr = n / 5 % 2, lensed = n / 2 % 2, drnu = (n / 10 + n) % 2;
        const int w = n % 4 == 3 ? 160 : 320, h = w * 3 / 4;
        const auto raw = hostile_frame(w, h, uint32_t(n + 1));
        pruSetSize(w, h / 2);
        calculationSetEnableDRNU(drnu ? 2 : 0);
        const int16_t t[2] = {int16_t(n % 2 ? 450 : 300), int16_t(n % 3 ? 400 : 250)};
        temperatureSetTemperatureByFrameHeader(t);
        st_.en_median = median > 0;
        st_.median_size = uint8_t(median);
        st_.en_hdr = uint8_t(hdr);
        st_.en_lens = uint8_t(lensed);
        st_.min_amp = 20 * (n % 3);
        const ref::Features ft{hdr != 0, lensed != 0, median};
        const std::string what = std::to_string(w) + " median " + std::to_string(median) + " hdr " +
                                 std::to_string(hdr) + " lens " + std::to_string(lensed) + " drnu " +
                                 std::to_string(drnu);
        apiSetMinAmplitude(st_.min_amp);
        // The tables describe whole 320-pixel rows only: a 160 x 120 frame decodes without them.
        auto unmapped = [&](auto fn) {
            if (w != 320) calculationSetEnableDRNU(0);
            auto r = fn();
            calculationSetEnableDRNU(drnu ? 2 : 0);
            return r;
        };
        compare([&] { return unmapped([&] { return ref::distance(raw.data(), w, h, ft, &st_.len_map); }); },
                [&] { return decode(1, raw, w, h); }, "distance " + what);
        apiSetMinAmplitude(st_.min_amp);
        compare([&] { return ref::gray(raw.data(), w, h, ft, &st_.len_map); }, [&] { return decode(2, raw, w, h); },
                "gray " + what);
    }
}

// An opened camera decodes from its own copy of the calibration, laid out by distance: the same
// bits as the reference reading the chip library's tables, in every kernel build.
TEST_F(Decode, CameraOwnCalibrationMatchesReference) {
    calculationSetEnableTemperature(1);
    calculationSetEnableDRNU(2);
    const int16_t t[2] = {420, 390};
    temperatureSetTemperatureByFrameHeader(t);
    vx::epc::State cam;
    cam.t_sensor = t[0];
    cam.t_ib = t[1];
    cam.hyst_width = 20;
    entry_.state = &cam;
    for (int n = 0; n < 8; ++n) {
        const bool wall = n >= 4;  // hostile frames first, then walls over alike tables
        if (n % 4 == 0) {
            load_tables(1, 30, 7, wall);
            cam.calib = vx::epc::calibration_from_chip(true);
        }
        const auto raw = hostile_frame(320, 240, uint32_t(40 + n), wall);
        pruSetSize(320, 120);
        cam.min_amp = 20 * (n % 4);
        cam.median_size = uint8_t(n % 2 ? 3 : 0);
        cam.en_median = n % 2 != 0;
        cam.en_hdr = uint8_t(n / 2 % 2);
        apiSetMinAmplitude(cam.min_amp);
        const auto want = ref::distance(raw.data(), 320, 240, {n / 2 % 2 != 0, false, n % 2 ? 3 : 0}, nullptr);
        for (Simd simd : kSimds) {
            vx::epc::pin_simd(simd);
            const auto got = decode(1, raw, 320, 240);
            size_t bad = 0;
            while (bad < got.size() && got[bad] == want[bad]) ++bad;
            EXPECT_EQ(bad, got.size()) << "case " << n << " " << name(simd) << ": first difference at pixel " << bad;
        }
    }
    entry_.state = &st_;
}

// The AVX-512 build computes the phase table's entries rather than read them: its entry for
// every index against the table the scalar code reads. A chip library whose table was never
// initialised (all zeros) is read as it is, in every build.
TEST_F(Decode, PhaseTableEntriesAreTheTables) {
    const auto& tab = vx::chip::atan_table();
    std::vector<int32_t> index(VX_CHIP_ATAN_ENTRIES);
    for (int i = 0; i < VX_CHIP_ATAN_ENTRIES; ++i) index[size_t(i)] = i;
    // An odd count also takes the last partial block.
    for (const size_t n : {index.size(), index.size() - 5}) {
        std::vector<uint32_t> got(n + 1, 99999);
        vx::epc::phase_entries(vx::epc::best_simd(), index.data(), got.data(), n);
        size_t bad = 0;
        while (bad < n && got[bad] == tab[bad]) ++bad;
        EXPECT_EQ(bad, n) << "entry " << bad << " is " << got[bad] << ", the table's "
                          << (bad < n ? tab[bad] : 0);
        EXPECT_EQ(got[n], 99999u) << "wrote past " << n;
    }
    const auto raw = hostile_frame(320, 240, 9);
    for (const bool zeros : {false, true}) {
        if (zeros) vx::chip::reset_phase_table();
        for (const int mode : {0, 2}) {
            auto ref = [&] {
                std::vector<uint8_t> out(76800 * (mode == 2 ? 4 : 2));
                ref::pixel_routine(mode, out.data(), raw.data(), int(raw.size() / 2));
                return out;
            };
            compare(
                ref, [&] { return routine(mode, raw, int(raw.size() / 2), 76800); },
                std::string(zeros ? "zero table" : "table") + " mode " + std::to_string(mode));
        }
    }
}

// Worked values: a saturated DCS 1 in any form, the phase of the classic sample set, 15000 phase
// units as millimetres, and a weak near pixel.
TEST_F(Decode, WorkedPixels) {
    pruSetSize(8, 1);  // 8 x 2 pixels
    auto raw_of = [](std::vector<std::array<uint16_t, 4>> px) {
        std::vector<uint8_t> b(8 * px.size());
        for (size_t i = 0; i < px.size(); ++i)
            for (int k = 0; k < 4; ++k) {
                b[2 * (k * px.size() + i)] = uint8_t(px[i][k]);
                b[2 * (k * px.size() + i) + 1] = uint8_t(px[i][k] >> 8);
            }
        return b;
    };
    const std::vector<std::array<uint16_t, 4>> px(16, {2048, 0x1FFF, 2048, 2448});
    auto raw = raw_of(px);
    for (int mode = 0; mode <= 4; ++mode) {
        const auto out = routine(mode, raw, int(raw.size() / 2), 16);
        if (mode == 2 || mode == 3) {
            float f;
            std::memcpy(&f, out.data(), 4);
            EXPECT_EQ(f, 65.5f) << mode;
        } else {
            EXPECT_EQ(le16(out, 0), 65500) << mode;
        }
    }
    raw = raw_of(std::vector<std::array<uint16_t, 4>>(16, {2048, 0x2800, 2048, 2448}));  // low bits 0x800
    EXPECT_EQ(le16(routine(1, raw, int(raw.size() / 2), 16), 0), 200);
    raw = raw_of(std::vector<std::array<uint16_t, 4>>(16, {2048, 2048, 2048, 2448}));
    EXPECT_EQ(le16(routine(4, raw, int(raw.size() / 2), 16), 0), 50000);
    EXPECT_EQ(le16(routine(1, raw, int(raw.size() / 2), 16), 0), 200);
    EXPECT_EQ(le16(routine(0, raw, int(raw.size() / 2), 16), 0), 22500);
    // Phase 15000 at 12000 kHz without corrections is 6245 mm, through the whole decode.
    raw = raw_of(std::vector<std::array<uint16_t, 4>>(16, {2048, 2048, 2448, 2048}));
    EXPECT_EQ(le16(routine(0, raw, int(raw.size() / 2), 16), 5), 15000);
    for (Simd simd : kSimds) {
        vx::epc::pin_simd(simd);
        const auto mm = decode(1, raw, 8, 2);
        EXPECT_EQ(std::vector<uint16_t>(mm.begin(), mm.end()), std::vector<uint16_t>(16, 6245)) << name(simd);
    }
    // A weak return (S <= 9999) closer than 1 m.
    raw = raw_of(std::vector<std::array<uint16_t, 4>>(16, {2048, 2048, 2000, 2048}));
    EXPECT_EQ(le16(routine(0, raw, int(raw.size() / 2), 16), 3), 65300);
}

// Hostile calibration tables: division by zero, reads past the pixel's own entries, too few
// distances. Each pixel of a 4 x 2 image with nd = 4 and phase 15000.
TEST_F(Decode, HostileCalibrationIsInvalidNotWrong) {
    pruSetSize(4, 1);
    calculationSetEnableDRNU(2);
    calibrationSetOffsetPhase(0);
    vx::chip::calib().sel.offset_drnu = 0;
    const int nd = 4;
    calibrateSetNumDistances(nd);
    // Rising tables; pixel 1 equal extremes, pixel 2 equal neighbours around the phase, pixel 3
    // puts the phase in the top of the last interval (K would be nd - 1), pixel 4 past the
    // last entry of a table whose maximum sits earlier.
    const uint16_t tables[8][4] = {{12000, 14000, 16000, 18000}, {15500, 15500, 15500, 15500},
                                   {12000, 14000, 14000, 20000}, {6000, 8000, 10000, 15200},
                                   {12000, 16000, 14000, 14500}, {12000, 14000, 16000, 18000},
                                   {12000, 14000, 16000, 18000}, {12000, 14000, 16000, 18000}};
    for (int q = 0; q < 8; ++q) {
        for (int k = 0; k < nd; ++k) distImagesDRNU[1][q * nd + k] = tables[q][k];
        distImagesDRNUMax[1][q] = *std::max_element(tables[q], tables[q] + nd);
        distImagesDRNUMin[1][q] = *std::min_element(tables[q], tables[q] + nd);
    }
    std::vector<uint8_t> raw(64);
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k) {
            const uint16_t v = k == 2 ? 2448 : 2048;  // phase 15000
            raw[2 * (k * 8 + i)] = uint8_t(v);
            raw[2 * (k * 8 + i) + 1] = uint8_t(v >> 8);
        }
    for (Simd simd : kSimds) {
        vx::epc::pin_simd(simd);
        const auto out = routine(0, raw, 32, 8);
        // Every pixel measures 15000; pixel q reads table q. K estimated from the extremes.
        const float sp = float(298.2) * 30000.0f / 12491.0f;
        auto interp = [sp](float l0, float l1, int k) {
            const float a = (15000.0f - l0) * sp, b = sp * float(k);
            return uint16_t(std::trunc(a / (l1 - l0) + b));
        };
        EXPECT_EQ(le16(out, 0), interp(16000, 18000, 2)) << name(simd);
        EXPECT_EQ(le16(out, 1), 65500) << name(simd);  // equal extremes
        EXPECT_EQ(le16(out, 2), 65500) << name(simd);  // equal neighbours
        EXPECT_EQ(le16(out, 3), interp(10000, 15200, 2)) << name(simd);  // K = nd - 1 clamped
        EXPECT_EQ(le16(out, 4), 65500) << name(simd);  // past the last entry
    }
    // Fewer than two distances: every pixel invalid, one message per frame.
    calibrateSetNumDistances(1);
    std::vector<uint8_t> out;
    const std::string log = console([&] { out = routine(0, raw, 32, 8); });
    for (int q = 0; q < 8; ++q) EXPECT_EQ(le16(out, q), 65500);
    EXPECT_EQ(log.find("at least 2 distances"), log.rfind("at least 2 distances"));
    EXPECT_NE(log.find("at least 2 distances"), std::string::npos);
}

// With external modulation the loader fills set 0: the decode reads that set.
TEST_F(Decode, ExternalModulationReadsTheLoadedSet) {
    load_tables(0, 30, 9);
    std::memset(distImagesDRNUMax[1], 0, sizeof distImagesDRNUMax[1]);  // set 1 empty: all invalid
    calculationSetEnableDRNU(2);
    epcSetExtModEnable(1);
    const auto raw = hostile_frame(320, 240, 10);
    const auto out = routine(0, raw, int(raw.size() / 2), 76800);
    size_t valid = 0;
    for (size_t q = 0; q < 76800; ++q) valid += le16(out, q) <= 30000;
    EXPECT_GT(valid, 1000u);
    compare([&] {
                std::vector<uint8_t> o(76800 * 2);
                ref::pixel_routine(0, o.data(), raw.data(), int(raw.size() / 2));
                return o;
            },
            [&] { return routine(0, raw, int(raw.size() / 2), 76800); }, "set 0");
}

// The routine reads nothing past the planes it is given (ASan checks the exact-size buffer);
// pixels without samples are invalid. Sizes are 64-bit: a huge frame description is refused.
TEST_F(Decode, BoundedBySourceAndSizes) {
    const auto full = hostile_frame(320, 240, 11);
    const int plane = 1000;
    std::vector<uint8_t> raw(8 * plane);
    for (int k = 0; k < 4; ++k) std::memcpy(&raw[2 * k * plane], &full[2 * k * 76800], 2 * plane);
    for (Simd simd : kSimds) {
        vx::epc::pin_simd(simd);
        for (int mode : {0, 1, 4}) {
            const auto out = routine(mode, raw, 4 * plane, 76800);
            // Raw rows 0..3 (image rows 118..121) hold the samples; raw row 4 starts at 1280.
            EXPECT_EQ(le16(out, 117 * 320), 65500) << name(simd);
            EXPECT_EQ(le16(out, 122 * 320 + 5), 65500) << name(simd);
        }
    }
    // One half of three rows: the last image row has no raw row and is invalid.
    configSetPartType(4);
    pruInit();
    pruSetSize(16, 3);
    compare(
        [&] {
            std::vector<uint8_t> o(2 * 48);
            ref::pixel_routine(0, o.data(), raw.data(), 4 * plane);
            return o;
        },
        [&] { return routine(0, raw, 4 * plane, 48); }, "odd rows");
    // A chip geometry left from a larger frame does not make the decode of a smaller one
    // write past its image (ASan checks the exact-size output).
    pruSetSize(320, 120);
    const auto small = hostile_frame(160, 120, 17);
    EXPECT_EQ(decode(1, small, 160, 120).size(), 19200u);
    EXPECT_EQ(_epc_dcs2dist_f32(&entry_, nullptr, raw.data(), 1 << 16, 1 << 16), 0);
    vexel_frame_info info{uint32_t(raw.size()), 2, 0, 1u << 16, 1u << 16, 8, {}};
    std::vector<uint16_t> out(16);
    const std::string log = console([&] {
        EXPECT_EQ(vx::epc::frame_decode(&entry_, out.data(), 32, 1, raw.data(), int(raw.size()), &info), -1);
    });
    EXPECT_NE(log.find("wrong data len"), std::string::npos);
}

// Lens correction asked for without a table: the image is passed on uncorrected, not left
// unwritten.
TEST_F(Decode, LensWithoutTableCopies) {
    const auto raw = hostile_frame(320, 240, 18);
    const auto plain = decode(2, raw, 320, 240);
    st_.en_lens = 1;
    EXPECT_EQ(decode(2, raw, 320, 240), plain);
}

TEST_F(Decode, ScratchAllocationFailureFails) {
    const auto raw = hostile_frame(320, 240, 12);
    std::thread([&] {
        vx::epc::set_scratch_alloc([](size_t) -> void* { return nullptr; });
        int rc = 0;
        decode(1, raw, 320, 240, &rc);
        EXPECT_EQ(rc, -1);
        vx::epc::set_scratch_alloc(nullptr);
        decode(1, raw, 320, 240, &rc);
        EXPECT_EQ(rc, 2 * 76800);
    }).join();
}

// Two threads decoding at once get what each gets alone (per-thread scratch; the shared
// hysteresis state is taken together with its reset).
TEST_F(Decode, TwoThreadsDecodeAtOnce) {
    load_tables(1, 30, 14);
    calculationSetEnableDRNU(2);
    st_.min_amp = 40;
    const std::vector<uint8_t> raw[2] = {hostile_frame(320, 240, 15), hostile_frame(320, 240, 16)};
    const std::vector<uint16_t> want[2] = {decode(1, raw[0], 320, 240), decode(1, raw[1], 320, 240)};
    int mismatches[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 10; ++k) mismatches[t] += decode(1, raw[t], 320, 240) != want[t];
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches[0] + mismatches[1], 0);
}

// Formats and lengths the decode refuses, with frame_valid as stated.
TEST_F(Decode, RefusedFormatsAndLengths) {
    const auto raw = hostile_frame(320, 240, 13);
    std::vector<uint16_t> out(76800);
    struct Case {
        uint16_t format;
        int type, dst_len, valid_after;
        const char* log;
    } cases[] = {{171, 1, 153600, 0, "Calibration data frame,size:614400"},
                 {2, 1, 153599, 0, "wrong data len: src=614400, dst=153599"},
                 {2, 3, 153600, 0, ""},
                 {8, 1, 153600, 0, ""},
                 {8, 2, 153600, 1, ""},
                 {0, 1, 153600, 0, ""},
                 {5, 2, 153600, 0, ""}};
    for (const Case& c : cases) {
        st_.frame_valid = 1;
        vexel_frame_info info{614400, c.format, 0, 320, 240, 8, {}};
        const std::string log = console([&] {
            EXPECT_EQ(vx::epc::frame_decode(&entry_, out.data(), c.dst_len, c.type, raw.data(), int(raw.size()), &info),
                      -1)
                << c.format;
        });
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        EXPECT_EQ(st_.frame_valid, c.valid_after) << c.format << " " << c.type;
    }
}

// Format 0 is a gray-only frame read as the four-phase one (without the HDR merge); every
// format up to 8 sets the chip library's three calculation flags from its table row, and a
// refused decode sets them too.
TEST_F(Decode, FormatZeroIsGrayOnlyAndEveryFormatSetsItsCalculationFlags) {
    const auto raw = hostile_frame(320, 240, 21);
    vexel_frame_info info{614400, 2, 0, 320, 240, 8, {}};
    auto gray = [&](uint16_t format, bool hdr) {
        std::vector<uint16_t> out(76800);
        st_.en_hdr = hdr;
        info.frame_format = format;
        EXPECT_EQ(vx::epc::frame_decode(&entry_, out.data(), 153600, 2, raw.data(), int(raw.size()), &info), 153600);
        st_.en_hdr = 0;
        return out;
    };
    const auto four = gray(2, false);
    EXPECT_NE(gray(2, true), four) << "HDR merges row pairs of a four-phase frame";
    EXPECT_EQ(gray(0, true), four) << "and not of a format-0 frame";

    const int flags[9][3] = {{0, 0, 0}, {1, 1, 0}, {1, 0, 0}, {0, 1, 1}, {0, 1, 0},
                             {1, 0, 1}, {1, 1, 1}, {0, 0, 1}, {0, 0, 0}};
    auto& c = vx::chip::config();
    for (uint16_t f = 0; f <= 9; ++f) {
        // The opposite of the row first, so that a format that set nothing shows.
        const int* want = flags[f <= 8 ? f : 6];
        calculationEnablePiDelay(!want[0]);
        calculationEnableDualMGX(!want[1]);
        calculationEnablePN(!want[2]);
        info.frame_format = f;
        std::vector<uint16_t> out(76800);
        vx::epc::frame_decode(&entry_, out.data(), 153600, 1, raw.data(), int(raw.size()), &info);
        const bool set = f <= 8;
        EXPECT_EQ(c.pi_delay, set ? want[0] : !want[0]) << f;
        EXPECT_EQ(c.dual_mgx, set ? want[1] : !want[1]) << f;
        EXPECT_EQ(c.pn, set ? want[2] : !want[2]) << f;
    }
}

// Step rule, limits, the 1 ms rule and HDR, read from the log of the decision and the write (no
// camera: the write fails and the cached time stays).
TEST_F(Decode, AutoIntegrationSteps) {
    auto frame_with = [](int bad_pm, int high, int low) {
        std::vector<uint16_t> s(307200, 2000);
        size_t i = 0;
        for (int k = 0; k < (307200 * bad_pm + 999) / 1000; ++k) s[i++] = (k % 3) ? 4095 : uint16_t(k % 2);
        for (int k = 0; k < high; ++k) s[i++] = 3585 + k % 510;
        for (int k = 0; k < low; ++k) s[i++] = 2 + k % 510;
        std::vector<uint8_t> b(2 * s.size());
        std::memcpy(b.data(), s.data(), b.size());
        return b;
    };
    struct Case {
        int bad_pm, high, low, ratio, cur;
        const char* want;  // empty: no change
    } cases[] = {{0, 0, 0, 5, 700, "AUTO_INTG: 700->750"},    {37, 0, 0, 5, 700, "AUTO_INTG: 700->670"},
                 {6, 600, 0, 5, 700, "AUTO_INTG: 700->690"},  {6, 100, 0, 5, 700, ""},
                 {0, 0, 0, 5, 1500, ""},                      {0, 0, 600, 5, 700, ""},
                 {0, 11, 0, 5, 700, ""},                      {0, 11, 0, 5, 2000, "AUTO_INTG: 2000->1500"},
                 {100, 0, 0, 5, 60, "AUTO_INTG: 60->50"},       {100, 0, 0, 5, 700, "AUTO_INTG: 700->600"}};
    bool hdr = false;
    // One decision and, when it changes the time, the write as the decode makes them.
    auto step = [&](uint16_t ratio, const std::vector<uint8_t>& raw, vx::Timestamp t, Simd simd) {
        if (auto c = vx::epc::auto_intg_decide(st_.auto_ran, st_.auto_last, st_.intg_us, hdr, ratio, raw.data(),
                                               raw.size(), t, simd))
            if (vx::epc::auto_intg_apply(entry_.dev, *c)) st_.intg_us = c->to;
    };
    int64_t sec = 1000;
    for (Simd simd : kSimds)
        for (const Case& c : cases) {
            const auto raw = frame_with(c.bad_pm, c.high, c.low);
            st_.intg_us = c.cur;
            const std::string log = console([&] { step(uint16_t(c.ratio), raw, {sec += 10, 0}, simd); });
            if (*c.want) {
                EXPECT_NE(log.find(c.want), std::string::npos) << name(simd) << " " << log;
                EXPECT_NE(log.find("adjust intg from"), std::string::npos);
            } else {
                EXPECT_EQ(log.find("AUTO_INTG"), std::string::npos) << name(simd) << " " << log;
            }
            EXPECT_EQ(st_.intg_us, c.cur);
        }
    // Within 1 ms of the last run nothing happens; 2 ms later it runs again.
    const auto raw = frame_with(0, 0, 0);
    auto runs = [&](vx::Timestamp t) {
        return console([&] { step(5, raw, t, Simd::kScalar); })
                   .find("AUTO_INTG") != std::string::npos;
    };
    EXPECT_TRUE(runs({5000, 998000}));
    EXPECT_FALSE(runs({5000, 999000}));
    EXPECT_FALSE(runs({5000, 999000}));
    EXPECT_TRUE(runs({5001, 1000}));
    hdr = true;
    EXPECT_FALSE(runs({6000, 0}));
    // Settling: the three frames after a change may still show the old time, on both sides of
    // the window and across the 16-bit counter's wrap; a first change has nothing to settle.
    using vx::epc::auto_intg_settling;
    EXPECT_FALSE(auto_intg_settling(false, 10, 11));
    EXPECT_FALSE(auto_intg_settling(true, 10, 10));
    EXPECT_TRUE(auto_intg_settling(true, 10, 11));
    EXPECT_TRUE(auto_intg_settling(true, 10, 13));
    EXPECT_FALSE(auto_intg_settling(true, 10, 14));
    EXPECT_TRUE(auto_intg_settling(true, 65535, 2));
    EXPECT_FALSE(auto_intg_settling(true, 10, 9));
    // While settling a saturated frame still shortens; a dark one does not lengthen.
    sec = 7000;
    for (bool settling : {false, true}) {
        std::optional<vx::epc::IntgChange> up, down;
        const auto dark = frame_with(0, 0, 0), bright = frame_with(37, 0, 0);
        up = vx::epc::auto_intg_decide(st_.auto_ran, st_.auto_last, 700, false, 5, dark.data(), dark.size(),
                                       {sec += 10, 0}, Simd::kScalar, settling);
        down = vx::epc::auto_intg_decide(st_.auto_ran, st_.auto_last, 700, false, 5, bright.data(), bright.size(),
                                         {sec += 10, 0}, Simd::kScalar, settling);
        EXPECT_EQ(up.has_value(), !settling);
        ASSERT_TRUE(down.has_value());
        EXPECT_EQ(down->to, 670);
    }
}

}  // namespace
