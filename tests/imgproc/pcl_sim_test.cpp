// Point clouds of the simulated camera's scenes against its ground truth: the truth holds ray
// lengths, and the true 3-D point of a pixel lies at that length along the pixel's true ray
// through the lens (the camera's projection, solved independently of the library's).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/vexel.hpp>

#include "imgproc/lens_model.hpp"
#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

constexpr int kW = 320, kH = 240, kPixels = kW * kH;
using pcltest::kLens;
using pcltest::Ray;

struct P3 {
    double x, y, z;
};

double median(std::vector<double> v) {
    if (v.empty()) return 1e9;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Least-squares plane z = a x + b y + c: its unit normal (towards the camera's +z) and the RMS
// of the points' distances from it.
struct Plane {
    P3 normal;
    double rms;
};
Plane fit_plane(const std::vector<P3>& pts) {
    double s[3][3] = {}, t[3] = {};
    for (const P3& p : pts) {
        const double r[3] = {p.x, p.y, 1};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) s[i][j] += r[i] * r[j];
            t[i] += r[i] * p.z;
        }
    }
    // Cramer's rule on the normal equations.
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    double k[3];
    for (int c = 0; c < 3; ++c) {
        double m[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = j == c ? t[i] : s[i][j];
        k[c] = det(m) / det(s);
    }
    const double n = std::sqrt(k[0] * k[0] + k[1] * k[1] + 1);
    double sq = 0;
    for (const P3& p : pts) {
        const double e = (p.z - k[0] * p.x - k[1] * p.y - k[2]) / n;
        sq += e * e;
    }
    return {{-k[0] / n, -k[1] / n, 1 / n}, std::sqrt(sq / double(pts.size()))};
}

double degrees_between(const P3& a, const P3& b) {
    const double c = std::fabs(a.x * b.x + a.y * b.y + a.z * b.z) /
                     (std::hypot(a.x, a.y, a.z) * std::hypot(b.x, b.y, b.z));
    return std::acos(std::min(1.0, c)) * 180 / 3.14159265358979;
}

// One decoded frame of a scene and its cloud.
struct Shot {
    std::vector<float> dist, amp, cloud;  // cloud organised: 3 floats per pixel, NaN without point
    std::vector<int32_t> source;          // sensor pixel of each image pixel (-1: none)
};

class PclSim : public vxtest::ScratchDirTest {
protected:
    // The C++ layer keeps calibration in the user's cache: the scratch directory's, as the
    // working directory held it before, so no shot reads a calibration another run left.
    void SetUp() override {
        ScratchDirTest::SetUp();
        ::setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
    }

    static void SetUpTestSuite() {
        rays_.resize(kPixels);
        for (int v = 0; v < kH; ++v)
            for (int u = 0; u < kW; ++u) rays_[size_t(v * kW + u)] = pcltest::true_ray(u, v);
    }

    // Noise and fixed pattern off unless asked; median off so edges stay sharp.
    Shot shoot(const std::string& scene, double reflectivity, bool lens, double noise_mm = 0) {
        vxsim::Testbed tb;
        vxsim::CameraOptions opt;
        opt.measurement.scene = *vxsim::Scene::parse(scene);
        opt.measurement.reflectivity = reflectivity;
        opt.measurement.noise_mm = noise_mm;
        opt.measurement.fpn_mm = 0;
        opt.measurement.effects = vxsim::Effects::none();  // the geometry, not the sensor, is under test
        vxsim::Camera& sim = tb.add_camera(opt);
        vexel::Library lib(nullptr, VX_LOG_OFF);
        vexel::Device cam = vexel::Device::open();
        cam.median(0);
        cam.lens_undistortion(lens);
        Shot s;
        {
            vexel::Capture run(cam);
            cam.next_frame();
            const vexel::Frame f = cam.next_frame();
            s.dist = cam.distance(f);
            s.amp = cam.amplitude(f);
        }
        truth_ = sim.truth().distance;
        // The C++ layer picks the rays by its lens switch: the same cloud as the explicit call.
        std::vector<vexel::Point> org(kPixels);
        EXPECT_GT(cam.organised_cloud(s.dist, kW, kH, org), kPixels / 2);
        s.cloud.resize(3 * size_t(kPixels));
        const uint32_t flags = (lens ? VEXEL_PCL_UNDISTORTED : VEXEL_PCL_DISTORTED) | VEXEL_PCL_ORGANISED;
        EXPECT_GT(vexel_frame_get_pcl_ex(nullptr, s.cloud.data(), 3 * kPixels, s.dist.data(), kPixels, kW, kH,
                                         &kLens, flags, nullptr, 0),
                  kPixels / 2);
        EXPECT_EQ(std::memcmp(org.data(), s.cloud.data(), s.cloud.size() * sizeof(float)), 0);
        std::vector<int32_t> pixels;
        const std::vector<vexel::Point> compact = cam.point_cloud(s.dist, kW, kH, &pixels);
        EXPECT_EQ(pixels.size(), compact.size());
        for (size_t k = 0; k < compact.size(); k += 101)
            EXPECT_EQ(std::memcmp(&compact[k], &org[size_t(pixels[k])], sizeof(vexel::Point)), 0) << k;
        // The sensor pixel the undistortion copied, as it rounds: add 0.5, truncate toward zero.
        s.source.resize(kPixels);
        vx_calib_len_map map{};
        EXPECT_EQ(vx_calib_len_init_map(&map, &kLens), kPixels);
        for (int i = 0; i < kPixels; ++i) {
            const double sx = std::trunc(map.map_x[i] + 0.5), sy = std::trunc(map.map_y[i] + 0.5);
            const bool in = sx >= 0 && sy >= 0 && sx < kW && sy < kH;
            s.source[size_t(i)] = !lens ? i : in ? int32_t(sy) * kW + int32_t(sx) : -1;
        }
        vx_calib_len_uninit_map(&map);
        return s;
    }

    // The true point behind image pixel i.
    bool truth_point(const Shot& s, int i, P3& p) const {
        const int q = s.source[size_t(i)];
        if (q < 0 || truth_[size_t(q)] <= 0) return false;
        const Ray& r = rays_[size_t(q)];
        const double t = truth_[size_t(q)];
        p = {t * r.x, t * r.y, t * r.z};
        return true;
    }

    static bool point(const Shot& s, int i, P3& p) {
        const float* c = &s.cloud[3 * size_t(i)];
        if (std::isnan(c[2])) return false;
        p = {c[0], c[1], c[2]};
        return true;
    }

    std::vector<P3> points(const Shot& s) const {
        std::vector<P3> v;
        P3 p;
        for (int i = 0; i < kPixels; ++i)
            if (point(s, i, p)) v.push_back(p);
        return v;
    }

    std::vector<float> truth_;
    static std::vector<Ray> rays_;
};
std::vector<Ray> PclSim::rays_;

// A wall 2 m away is flat at z = 2 m whether or not the lens filter corrected the image.
TEST_F(PclSim, WallIsFlatAtItsDistanceWithAndWithoutTheLensFilter) {
    for (bool lens : {false, true}) {
        SCOPED_TRACE(lens ? "lens filter on" : "lens filter off");
        const Shot s = shoot("wall:2", 3.0, lens);
        const std::vector<P3> pts = points(s);
        ASSERT_GT(pts.size(), size_t(kPixels) * 8 / 10);
        const auto on_wall = std::count_if(pts.begin(), pts.end(), [](const P3& p) { return std::fabs(p.z - 2) <= 0.005; });
        EXPECT_GE(double(on_wall) / double(pts.size()), 0.95);
        const Plane pl = fit_plane(pts);
        EXPECT_LE(pl.rms, 0.003);
        EXPECT_LT(degrees_between(pl.normal, {0, 0, 1}), 0.5);
        std::printf("[ figures  ] wall 2 m, lens %s: %zu points, %.2f %% within 5 mm of z = 2 m, plane RMS %.2f mm, "
                    "normal %.3f deg off the axis\n",
                    lens ? "on" : "off", pts.size(), 100.0 * double(on_wall) / double(pts.size()), 1000 * pl.rms,
                    degrees_between(pl.normal, {0, 0, 1}));
        // The z-depth image is the cloud's z.
        std::vector<float> z(kPixels);
        ASSERT_EQ(vexel_frame_get_zdepth(nullptr, z.data(), kPixels, s.dist.data(), kPixels, kW, kH, &kLens,
                                         lens ? VEXEL_PCL_UNDISTORTED : VEXEL_PCL_DISTORTED),
                  kPixels);
        for (int i = 0; i < kPixels; i += 97) {
            P3 p;
            if (point(s, i, p)) {
                ASSERT_EQ(z[size_t(i)], float(p.z)) << i;
            }
        }
    }
}

// A plane turned 30° about the horizontal axis: the fitted normal is the scene's.
TEST_F(PclSim, TiltedPlaneKeepsItsNormal) {
    const Shot s = shoot("tilt:2:30", 3.0, false);
    const Plane pl = fit_plane(points(s));
    const double a = 30 * 3.14159265358979 / 180;
    EXPECT_LT(degrees_between(pl.normal, {0, std::sin(a), std::cos(a)}), 0.5);
    EXPECT_LE(pl.rms, 0.003);
    std::printf("[ figures  ] tilt 2 m 30 deg: normal %.3f deg off the scene's, plane RMS %.2f mm\n",
                degrees_between(pl.normal, {0, std::sin(a), std::cos(a)}), 1000 * pl.rms);
}

// Boxes in front of a wall: points within millimetres of the true ones; with the lens filter
// off, the geometry adds nothing to the distance error.
TEST_F(PclSim, BoxesMatchTheTruePoints) {
    for (bool lens : {false, true}) {
        SCOPED_TRACE(lens ? "lens filter on" : "lens filter off");
        const Shot s = shoot("boxes", 2.0, lens);
        std::vector<double> err;
        double worst_along = 0;
        for (int i = 0; i < kPixels; ++i) {
            P3 p, t;
            if (!point(s, i, p) || !truth_point(s, i, t)) continue;
            err.push_back(std::hypot(p.x - t.x, p.y - t.y, p.z - t.z));
            if (lens) continue;
            const Ray& r = rays_[size_t(i)];
            const double d = s.dist[size_t(i)];
            worst_along = std::max(worst_along, std::hypot(p.x - d * r.x, p.y - d * r.y, p.z - d * r.z));
        }
        ASSERT_GT(err.size(), size_t(kPixels) * 8 / 10);
        EXPECT_LE(median(err), 0.003);
        EXPECT_LE(worst_along, 0.001);
        std::printf("[ figures  ] boxes, lens %s: %zu points, median 3-D error %.2f mm, worst off the true ray %.4f mm\n",
                    lens ? "on" : "off", err.size(), 1000 * median(err), 1000 * worst_along);
    }
}

// With noise, the 3-D error of well-lit pixels stays close to their distance error.
TEST_F(PclSim, NoiseCarriesOverAsDistanceError) {
    const Shot s = shoot("boxes", 2.0, false, 3.0);
    std::vector<double> e3, e1;
    for (int i = 0; i < kPixels; ++i) {
        P3 p, t;
        if (s.amp[size_t(i)] < 500 || s.amp[size_t(i)] >= 65500 || !point(s, i, p) || !truth_point(s, i, t)) continue;
        e3.push_back(std::hypot(p.x - t.x, p.y - t.y, p.z - t.z));
        e1.push_back(std::fabs(s.dist[size_t(i)] - truth_[size_t(i)]));
    }
    ASSERT_GT(e3.size(), size_t(kPixels) / 10);
    EXPECT_LE(median(e3), 1.5 * median(e1));
    std::printf("[ figures  ] noise 3 mm, %zu pixels of amplitude >= 500: median 3-D error %.2f mm, distance error %.2f mm\n",
                e3.size(), 1000 * median(e3), 1000 * median(e1));
}

}  // namespace
