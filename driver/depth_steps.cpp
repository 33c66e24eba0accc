// The decode's depth-quality steps (features 9 to 13): the distance image in millimetres goes
// to metres, through the filters of <vexel/depth_quality.h>, and back. The confidence needs each
// pixel's amplitude and sample offset, which come from the raw frame.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <vexel/depth_quality.h>

#include "driver/decode.hpp"
#include "driver/epc.hpp"

namespace vx::epc {

namespace {

struct Work {
    std::vector<float> dist, amp, offset, sigma;
};
thread_local Work t_work;

uint16_t sample(const uint8_t* p, int64_t i) { return static_cast<uint16_t>((p[2 * i] | (p[2 * i + 1] << 8)) & 0xFFF); }

// Amplitude (as the gray image has it, 65500 for a clipped sample) and mean sample per pixel.
void amplitude_and_offset(const RawView& raw, float* amp, float* offset) {
    for (int y = 0; y < raw.rows; ++y) {
        const int i = raw_row_of(y, raw.rows);
        float* a = amp + int64_t(y) * raw.cols;
        float* o = offset + int64_t(y) * raw.cols;
        if (i < 0) {
            std::fill(a, a + raw.cols, 0.0f);
            std::fill(o, o + raw.cols, 0.0f);
            continue;
        }
        for (int j = 0; j < raw.cols; ++j) {
            const int64_t r = int64_t(i) * raw.cols + j;
            const int d0 = sample(raw.src, r), d1 = sample(raw.src, raw.plane + r);
            const int d2 = sample(raw.src, 2 * raw.plane + r), d3 = sample(raw.src, 3 * raw.plane + r);
            const bool clipped = d0 == 0 || d0 == 4095 || d1 == 0 || d1 == 4095 || d2 == 0 || d2 == 4095 ||
                                 d3 == 0 || d3 == 4095;
            const float x = float(d3 - d1), z = float(d2 - d0);
            a[j] = clipped ? 65500.0f : 0.5f * std::sqrt(x * x + z * z);
            o[j] = 0.25f * float(d0 + d1 + d2 + d3);
        }
    }
}

}  // namespace

bool quality_steps_on(const State& st) {
    return st.en_conf.load(std::memory_order_relaxed) || st.en_flying.load(std::memory_order_relaxed) ||
           st.en_temporal.load(std::memory_order_relaxed) || st.en_spatial.load(std::memory_order_relaxed) ||
           st.en_fill.load(std::memory_order_relaxed);
}

void quality_steps(State& st, const RawView& raw, uint16_t* mm, int w, int h, int freq_khz, int intg_us) {
    Work& wk = t_work;
    const size_t n = size_t(w) * size_t(h);
    try {
        for (auto* v : {&wk.dist, &wk.amp, &wk.offset, &wk.sigma})
            if (v->size() < n) v->resize(n);
    } catch (const std::bad_alloc&) {
        return;  // the frame goes out as decoded
    }
    float* d = wk.dist.data();
    float* sigma = wk.sigma.data();
    for (size_t i = 0; i < n; ++i) d[i] = float(mm[i]) / 1000.0f;
    amplitude_and_offset(raw, wk.amp.data(), wk.offset.data());
    vexel_noise_model m;
    vexel_noise_model_init(&m);
    m.freq_khz = float(freq_khz);
    m.integration_us = float(intg_us);
    vexel_depth_confidence(sigma, wk.amp.data(), wk.offset.data(), w, h, &m);

    if (st.en_conf.load(std::memory_order_relaxed))
        vexel_depth_confidence_reject(d, nullptr, sigma, w, h, st.conf_max_mm.load(std::memory_order_relaxed));
    if (st.en_flying.load(std::memory_order_relaxed))
        vexel_depth_flying(d, nullptr, sigma, w, h, st.flying_k.load(std::memory_order_relaxed));
    if (st.en_temporal.load(std::memory_order_relaxed)) {
        std::lock_guard lock(st.temporal_mu);
        if (!st.temporal || st.temporal_w != w || st.temporal_h != h) {
            vexel_temporal_destroy(st.temporal);
            st.temporal = vexel_temporal_create(w, h, 2);
            st.temporal_w = w;
            st.temporal_h = h;
        }
        if (st.temporal)
            vexel_depth_temporal(st.temporal, d, nullptr, sigma, st.temporal_alpha.load(std::memory_order_relaxed));
    }
    if (st.en_spatial.load(std::memory_order_relaxed))
        vexel_depth_spatial(d, sigma, w, h, st.spatial_sigma.load(std::memory_order_relaxed));
    if (st.en_fill.load(std::memory_order_relaxed))
        vexel_depth_fill(d, nullptr, w, h, int(st.fill_px.load(std::memory_order_relaxed)));

    for (size_t i = 0; i < n; ++i) {
        const float v = d[i];
        if (v > 0.0f && v < 60.0f)
            mm[i] = uint16_t(std::lround(v * 1000.0f));
        else if (mm[i] < 60000)
            mm[i] = 65300;  // removed by a step: the decode's rejected mark
    }
}

}  // namespace vx::epc
