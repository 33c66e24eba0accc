// Lens correction at the sensor's 320x240 against OpenCV on one core: the per-frame lookup
// versus cv::remap (nearest neighbour, float maps) and the table build versus
// cv::initUndistortRectifyMap.
#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "imgproc/lens.hpp"
#include <vexel/lens.h>

namespace {

constexpr int kW = 320, kH = 240;

vexel_lens_param startup_lens() {
    return {157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, kW, kH};
}

struct Fixture {
    vx_calib_len_map map{};
    cv::Mat mapx, mapy;  // the same table for OpenCV
    Fixture() {
        cv::setNumThreads(1);
        const vexel_lens_param lens = startup_lens();
        vx_calib_len_init_map(&map, &lens);
        mapx = cv::Mat(kH, kW, CV_32F, map.map_x).clone();
        mapy = cv::Mat(kH, kW, CV_32F, map.map_y).clone();
    }
    ~Fixture() { vx_calib_len_uninit_map(&map); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

template <class T>
std::vector<T> random_image() {
    std::mt19937 rng(3);
    std::vector<T> v(kW * kH);
    for (T& p : v) p = T(rng() % 4096);
    return v;
}

int32_t undistort(const vx_calib_len_map* m, uint16_t* d, int32_t n, const uint16_t* s, int32_t w, int32_t h) {
    return vx_calib_len_undistort_u16(m, d, n, s, w, h, 0);
}
int32_t undistort(const vx_calib_len_map* m, float* d, int32_t n, const float* s, int32_t w, int32_t h) {
    return vx_calib_len_undistort_f32(m, d, n, s, w, h, 0.0f);
}

// bin = 2: the 160x120 image of the binned sensor mode through the same table.
template <class T, int kBin>
void BM_Undistort(benchmark::State& st) {
    Fixture& f = fixture();
    const int w = kW / kBin, h = kH / kBin;
    auto src = random_image<T>();
    std::vector<T> dst(size_t(w) * h);
    for (auto _ : st) {
        undistort(&f.map, dst.data(), w * h, src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * w * h);
}

template <int kType>
void BM_CvRemapNearest(benchmark::State& st) {
    Fixture& f = fixture();
    cv::Mat src(kH, kW, kType), dst(kH, kW, kType);
    cv::randu(src, 0, 4096);
    for (auto _ : st) {
        cv::remap(src, dst, f.mapx, f.mapy, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * kW * kH);
}

void BM_InitMap(benchmark::State& st) {
    fixture();
    const vexel_lens_param lens = startup_lens();
    vx_calib_len_map map{};
    for (auto _ : st) {
        benchmark::DoNotOptimize(vx_calib_len_init_map(&map, &lens));
        benchmark::ClobberMemory();
    }
    vx_calib_len_uninit_map(&map);
}

void BM_CvInitUndistortRectifyMap(benchmark::State& st) {
    fixture();
    const vexel_lens_param lens = startup_lens();
    double kp[9];
    vx::LensRect valid;
    vx::lens_new_camera(lens, kp, valid);
    const cv::Matx33d k(lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
    const cv::Matx33d knew(kp);
    const cv::Mat dist(1, 5, CV_64F, const_cast<double*>(lens.dcoeff));
    cv::Mat mx, my;
    for (auto _ : st) {
        cv::initUndistortRectifyMap(k, dist, cv::noArray(), knew, cv::Size(kW, kH), CV_32FC1, mx, my);
        benchmark::DoNotOptimize(mx.data);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_Undistort<uint16_t, 1>)->Name("BM_Undistort_u16");
BENCHMARK(BM_CvRemapNearest<CV_16U>)->Name("BM_CvRemapNearest_u16");
BENCHMARK(BM_Undistort<float, 1>)->Name("BM_Undistort_f32");
BENCHMARK(BM_CvRemapNearest<CV_32F>)->Name("BM_CvRemapNearest_f32");
BENCHMARK(BM_Undistort<uint16_t, 2>)->Name("BM_Undistort_u16_160x120");
BENCHMARK(BM_InitMap)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CvInitUndistortRectifyMap)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
