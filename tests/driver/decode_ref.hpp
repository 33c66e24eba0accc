// A plain scalar reading of the decode arithmetic, one rounded operation per step, kept apart
// from the library so its fast paths can be compared bit for bit. It reads the chip library
// through its public routines (atan2_lut, hysteresisUpdate, the getters) as the text does.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <vexel/chip.h>
#include <vexel/filter.h>
#include <vexel/lens.h>

namespace ref {

// Float to int as the x86 conversion does (out of range: INT32_MIN), defined for hostile values.
inline int32_t trunc32(float v) {
    if (std::isnan(v) || v >= 2147483648.0f || v < -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}
// "Taken as 16 bits".
inline uint16_t u16(double v) { return std::isfinite(v) && std::fabs(v) < 9e18 ? uint16_t(int64_t(v)) : 0; }

inline uint16_t sample(const uint8_t* src, int64_t i) { return uint16_t(src[2 * i] | src[2 * i + 1] << 8); }

// calcDefPiDelayGetDataSorted_opt. `dst` holds one uint16 or float per pixel of the geometry.
inline void pixel_routine(int mode, void* dst, const uint8_t* src, int plane4) {
    const int64_t P = plane4 / 4;
    const int cols = pruGetNCols(), rows = pruGetNRowsPerHalf() * pruGetNumberOfHalves(), half = rows / 2;
    const bool fl = mode == 2 || mode == 3;
    auto put = [&](int64_t q, uint16_t code, float v) {
        if (fl) std::memcpy(static_cast<uint8_t*>(dst) + 4 * q, &v, 4);
        else std::memcpy(static_cast<uint8_t*>(dst) + 2 * q, &code, 2);
    };
    auto invalid = [&](int64_t q) { put(q, 65500, 65.5f); };
    auto weak = [&](int64_t q) { put(q, 65300, 65.3f); };

    // Set-up.
    const double c2 = calibrateGetSpeedOfLightDiv2();
    const int f = configGetModulationFrequency();
    const int nd = calibrateGetNumDistances();
    const double step = calibrateGetStepCalMM();
    const uint16_t Ur = f > 0 ? u16(c2 / f) : 0;
    float sp = float(step);
    sp = sp * 30000.0f;
    sp = sp / float(Ur);
    float R = float(149896229.0);
    R = R / (float(f) * 1000.0f);
    float tc = 0;
    if (f > 0 && calculationGetEnableTemperature()) {
        float as = float(calibrateGetTempCoef(configGetPartType()));
        as = as * 30000.0f;
        as = as / float(Ur);
        float aib = float(calibrateGetIbTempCoef(configGetPartType()));
        aib = aib * 30000.0f;
        aib = aib / float(Ur);
        const int Ts = temperatureGetTemperatureByFrameHeader(), Tib = temperatureGetIbTemperatureByFrameHeader();
        const float ib = float(Tib - calibrateGetIbTempCalib()) * aib;
        const float se = float(std::max(0, Ts - calibrateGetTempCalib())) * as;
        tc = ib + se;
    }
    const bool drnu = calculationGetEnableDRNU() == 2;
    const int64_t o = int64_t(calibrationGetOffsetPhase()) + (drnu ? calibrationGetOffsetDRNU() : 0);
    const int set = epcgetExtModEnable() ? 0 : 1;

    for (int y = 0; y < rows; ++y)  // image rows no raw row reaches
        if ((rows % 2 == 1) && y == rows - 1)
            for (int j = 0; j < cols; ++j) invalid(int64_t(y) * cols + j);
    for (int i = 0; i < rows; ++i) {
        const int row = i % 2 == 1 ? half + i / 2 : half - 1 - i / 2;
        if (row < 0) continue;
        for (int j = 0; j < cols; ++j) {
            const int64_t r = int64_t(i) * cols + j, q = int64_t(row) * cols + j;
            if (r >= P) { invalid(q); continue; }
            const int d0 = sample(src, r) & 0xFFF, d1 = sample(src, P + r) & 0xFFF;
            const int d2 = sample(src, 2 * P + r) & 0xFFF, d3 = sample(src, 3 * P + r) & 0xFFF;
            if (d0 == 0 || d0 == 4095 || d1 == 0 || d1 == 4095 || d2 == 0 || d2 == 4095 || d3 == 0 || d3 == 4095) {
                invalid(q);
                continue;
            }
            const int x = d3 - d1, yv = d2 - d0, S = x * x + yv * yv;
            if (mode == 1 || mode == 3) {
                float a = std::sqrt(float(S));
                a = a * 0.5f;
                const int amp = trunc32(a);
                put(q, uint16_t(amp), float(amp));
                continue;
            }
            if (mode == 4) { put(q, uint16_t(std::min(S, 50000)), 0); continue; }
            if (hysteresisUpdate(int(r), uint32_t(S / 4)) == 0) { weak(q); continue; }
            if (f <= 0) { invalid(q); continue; }
            const int p = (atan2_lut(x, yv) + 15000) % 30000;
            float Pf = float(p) - tc;
            if (!drnu) {
                Pf = Pf + float(o);
            } else {
                if (nd < 2 || q >= VX_CHIP_PIXELS) { invalid(q); continue; }
                const int M = distImagesDRNUMax[set][q], N = distImagesDRNUMin[set][q];
                if (Pf >= float(M) || M == N) { invalid(q); continue; }
                float t = Pf - float(N);
                t = t * float(nd);
                t = t / float(M - N);
                int K = std::max(trunc32(t), 0);
                const bool last = K > nd - 2;
                K = std::min(K, nd - 2);
                const int L0 = distImagesDRNU[set][q * nd + K], L1 = distImagesDRNU[set][q * nd + K + 1];
                if ((last && Pf > float(L1)) || L1 == L0) { invalid(q); continue; }
                float a = Pf - float(L0);
                a = a * sp;
                a = a / float(L1 - L0);
                const float b = sp * float(K);
                Pf = a + b;
                Pf = Pf + float(o);
            }
            if (Pf < 0) Pf = Pf + 30000.0f;
            if (Pf > 30000.0f) Pf = Pf - 30000.0f;
            if (!(Pf >= 0.0f && Pf <= 30000.0f)) { invalid(q); continue; }  // beyond one period: no distance
            const uint16_t code = uint16_t(trunc32(Pf));
            float m = Pf * R;
            m = m / 30000.0f;
            if (S > 9999) {
                if (S > 89999 && m > R - 1.0f) { invalid(q); continue; }
            } else if (m < 1.0f) {
                weak(q);
                continue;
            }
            put(q, code, m);
        }
    }
}

struct Features {
    bool hdr = false, lens = false;
    int median = 3;  // 0: off
};

inline void merge(std::vector<uint16_t>& A, std::vector<uint16_t>* H, int w, int h) {
    for (int k = 0; 2 * k + 1 < h; ++k)
        for (int j = 0; j < w; ++j) {
            const size_t i0 = size_t(2 * k) * w + j, i1 = i0 + w;
            size_t from;
            if (A[i0] > 60000) from = i1;
            else if (A[i1] > 60000) from = i0;
            else from = A[i1] >= A[i0] ? i1 : i0;
            A[i0] = A[i1] = A[from];
            if (H) (*H)[i0] = (*H)[i1] = (*H)[from];
        }
}

// The distance path (format 2, type 1) over a w x h frame whose geometry the chip library holds.
inline std::vector<uint16_t> distance(const uint8_t* src, int w, int h, const Features& ft,
                                      const vx_calib_len_map* map) {
    const size_t n = size_t(w) * h;
    std::vector<uint16_t> A(n), D(n), out(n);
    pixel_routine(4, A.data(), src, int(4 * n));
    pixel_routine(0, D.data(), src, int(4 * n));
    if (ft.hdr) merge(A, &D, w, h);
    const float f = float(configGetModulationFrequency());
    const uint16_t U = u16(149896224.0f / f);
    for (auto& v : D)
        if (v <= 59999) v = uint16_t(uint32_t(v) * U / 30000.0);
    if (ft.median > 1) vx_median2d_u16(D.data(), D.data(), w, h, ft.median);
    const uint16_t V = u16(149896229.0 / double(f)), T = V / 6;
    for (size_t i = 0; i < n; ++i)
        if (D[i] >= V || D[i] <= 100 || (A[i] <= 9999 && D[i] < T)) D[i] = 65300;
    if (ft.lens && w == 320 && h == 240) vx_calib_len_undistort_u16(map, out.data(), 76800, D.data(), 320, 240, 0);
    else out = D;
    return out;
}

// The gray path (format 2, type 2).
inline std::vector<uint16_t> gray(const uint8_t* src, int w, int h, const Features& ft, const vx_calib_len_map* map) {
    const size_t n = size_t(w) * h;
    std::vector<uint16_t> G(n), out(n);
    pixel_routine(1, G.data(), src, int(4 * n));
    if (ft.hdr) merge(G, nullptr, w, h);
    if (ft.lens && w == 320 && h == 240) vx_calib_len_undistort_u16(map, out.data(), 76800, G.data(), 320, 240, 0);
    else out = G;
    return out;
}

}  // namespace ref
