// Feeds arbitrary text to the lens_param.txt reload and uses whatever record it leaves as the
// driver would: an undistortion table, a correction of full-size and binned images, a point cloud.
//
// Input: the file's bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vexel/lens.h>
#include <vexel/log.h>

#include "driver/epc.hpp"
#include "imgproc/pcl.hpp"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

std::string g_dir, g_path;
// Larger tables are legal but slow a run down without taking new paths; the record each input
// starts from is small for the same reason.
constexpr int64_t kMaxTable = 96 * 72;
constexpr vexel_lens_param kStart = {20.5, 15.5, 40.0, 40.0, {-0.3, 0.1, 0.001, 0.0, -0.01}, 40, 30};

bool usable(const vexel_lens_param& p) {
    bool ok = p.img_w >= 1 && p.img_w <= 4096 && p.img_h >= 1 && p.img_h <= 4096 && std::isfinite(p.fx) &&
              std::isfinite(p.fy) && p.fx > 0 && p.fy > 0 && std::isfinite(p.cx) && std::isfinite(p.cy);
    for (double d : p.dcoeff) ok = ok && std::isfinite(d);
    return ok;
}

// Every corrected pixel is the fill value or one of the source's, whose values are all distinct.
void check_undistort(const vx_calib_len_map& map, int32_t w, int32_t h) {
    const size_t n = size_t(w) * size_t(h);
    std::vector<uint16_t> src(n), dst(n + 8, 0xABCD);
    for (size_t i = 0; i < n; ++i) src[i] = uint16_t(i % 65535 + 1);
    check(vx_calib_len_undistort_u16(&map, dst.data(), int32_t(n), src.data(), w, h, 0) == 1, "u16 correction");
    for (size_t i = 0; i < n; ++i) check(dst[i] <= n, "u16 value from the source");
    for (size_t i = n; i < dst.size(); ++i) check(dst[i] == 0xABCD, "u16 beyond the image");

    std::vector<float> fsrc(n), fdst(n + 8, -2.0f);
    for (size_t i = 0; i < n; ++i) fsrc[i] = float(i + 1);
    check(vx_calib_len_undistort_f32(&map, fdst.data(), int32_t(n), fsrc.data(), w, h, -1.0f) == 1, "f32 correction");
    for (size_t i = 0; i < n; ++i)
        check(fdst[i] == -1.0f || (fdst[i] >= 1.0f && fdst[i] <= float(n)), "f32 value from the source");
    for (size_t i = n; i < fdst.size(); ++i) check(fdst[i] == -2.0f, "f32 beyond the image");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vx_log_disable();
    char dir[] = "/tmp/vx_fuzz_lens_XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_dir = dir;
    g_path = g_dir + "/lens_param.txt";
    std::atexit([] {
        std::remove(g_path.c_str());
        std::remove(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::FILE* f = std::fopen(g_path.c_str(), "wb");
        check(f != nullptr, "create the file");
        check(size == 0 || std::fwrite(data, 1, size, f) == size, "write the file");
        std::fclose(f);
    }
    vx::epc::set_lens_record(kStart);
    vx::epc::update_lens_param(g_path);
    const vexel_lens_param p = vx::epc::lens_record();
    check(usable(p), "record usable after the reload");
    if (int64_t(p.img_w) * p.img_h > kMaxTable) return 0;

    vx_calib_len_map map{};
    check(vx_calib_len_init_map(&map, &p) == p.img_w * p.img_h, "table built");
    check(map.ready == 1 && map.width == p.img_w && map.height == p.img_h, "table size");
    check_undistort(map, p.img_w, p.img_h);
    if (p.img_w % 2 == 0 && p.img_h % 2 == 0) check_undistort(map, p.img_w / 2, p.img_h / 2);
    vx_calib_len_uninit_map(&map);
    check(map.ready == 0 && map.map_x == nullptr, "table released");

    // The point cloud of a flat 1 m image through every kind of ray of this lens.
    const size_t n = size_t(p.img_w) * size_t(p.img_h);
    std::vector<float> dist(n, 1.0f), out(n * 4 + 4, -3.0f);
    for (auto kind : {vx::PclLens::pinhole, vx::PclLens::distorted, vx::PclLens::undistorted}) {
        const auto rays = vx::pcl_rays(p, p.img_w, p.img_h, kind);
        check(rays && rays->w == p.img_w && rays->z.size() == n, "rays built");
        const int64_t pts =
            vx::pcl_scan(*rays, dist.data(), 1.0f, out.data(), int64_t(n), vx::PclLayout::xyzd, vx::pcl_best_simd());
        check(pts >= 0 && pts <= int64_t(n), "points within the capacity");
        for (size_t i = n * 4; i < out.size(); ++i) check(out[i] == -3.0f, "beyond the cloud");
    }
    return 0;
}
