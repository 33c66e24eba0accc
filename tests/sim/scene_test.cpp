// The simulated camera as a measuring instrument: raw frames read over libusb and decoded here
// with a few lines of the host's arithmetic must give back the true scene, and the calibration
// package it uploads must correct its own fixed pattern.
#include <libusb.h>
#include <sys/wait.h>
#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/chip.h>
#include <vexel/path.h>

#include "chip/chip.hpp"
#include "core/path.hpp"
#include "sim/sim.hpp"
#include "sim/sensor/lens.hpp"
#include "sim/sensor/model.hpp"

namespace {

constexpr unsigned W = 320, H = 240, N = W * H;
constexpr double kC2 = 149896229.0;

uint32_t rd(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n; i-- > 0;) v = v << 8 | p[i];
    return v;
}

struct Frame {
    uint16_t format = 0, index = 0, width = 0, height = 0;
    int16_t t_sensor = 0, t_ib = 0;
    std::vector<uint8_t> data;
    uint16_t sample(unsigned plane, unsigned raw_index) const {
        return uint16_t(rd(&data[2 * (plane * N + raw_index)], 2));
    }
};

struct Usb {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    std::vector<uint8_t> pending;
    explicit Usb(const vxsim::Camera& cam) {
        libusb_init(&ctx);
        libusb_device** list;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && !h; ++i)
            if (libusb_get_port_number(list[i]) == cam.port() && libusb_open(list[i], &h) == 0)
                libusb_claim_interface(h, 0);
        libusb_free_device_list(list, 1);
    }
    ~Usb() {
        if (h) libusb_close(h);
        libusb_exit(ctx);
    }
    bool command(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        if (libusb_control_transfer(h, 0x22, type, value, 0, data.data(), uint16_t(data.size()), 2000) !=
            int(data.size()))
            return false;
        uint8_t st[63];
        do {  // asked again while the camera is busy with it, as the host does
            if (libusb_control_transfer(h, 0xA2, 0xB0, 0, 0, st, 63, 2000) != 63) return false;
        } while (st[0] == 0xFE);
        return st[0] == 0;
    }
    std::vector<uint8_t> param(uint8_t id) {
        std::vector<uint8_t> rec(20, 0);
        rec[0] = id;
        if (!command(0xC0, 4, rec) ||
            libusb_control_transfer(h, 0xA2, 0xC0, 4, 0, rec.data(), 20, 2000) != 20)
            return {};
        return {rec.begin() + 2, rec.begin() + 2 + rec[1]};
    }
    bool set_param(uint8_t id, std::vector<uint8_t> v) {
        std::vector<uint8_t> rec(20, 0);
        rec[0] = id;
        rec[1] = uint8_t(v.size());
        std::copy(v.begin(), v.end(), rec.begin() + 2);
        return command(0xC0, 3, rec);
    }
    bool set_reg(uint32_t reg, uint8_t value) {
        std::vector<uint8_t> d{1, uint8_t(reg), uint8_t(reg >> 8), 0, 0, 4, 0, value, 0, 0, 0};
        return command(0xC2, 0, d);
    }
    bool start() { return command(0xC2, 4, {0, 0, 0, 0}); }
    bool stop() { return command(0xC2, 5, {0xC2}); }
    // The next whole frame; an empty one when nothing arrives within the time-out.
    Frame frame(int timeout_ms = 5000) {
        Frame f;
        std::vector<uint8_t> buf(1 << 20);
        for (;;) {
            while (pending.size() >= 36) {
                const uint8_t* p = pending.data();
                const uint32_t len = rd(p + 4, 4), frlen = rd(p + 8, 4);
                if (pending.size() < 36 + len) break;
                if (p[32] & 1) {
                    f = {uint16_t(rd(p + 14, 2)),
                         uint16_t(rd(p + 12, 2)),
                         uint16_t(rd(p + 16, 2)),
                         uint16_t(rd(p + 18, 2)),
                         int16_t(rd(p + 20, 2)),
                         int16_t(rd(p + 22, 2)),
                         {}};
                }
                f.data.insert(f.data.end(), p + 36, p + 36 + len);
                pending.erase(pending.begin(), pending.begin() + 36 + len);
                if (f.data.size() == frlen) return f;
            }
            int got = 0;
            const int r = libusb_bulk_transfer(h, 0x81, buf.data(), int(buf.size()), &got, timeout_ms);
            pending.insert(pending.end(), buf.begin(), buf.begin() + got);
            if (r != 0 && got == 0) return {};
        }
    }
    Frame capture_one() {
        start();
        Frame f = frame();
        stop();
        pending.clear();
        return f;
    }
};

// The host's reading of one pixel: phase units (30000 = one period) and amplitude.
struct Pixel {
    int phase = 0;
    double amplitude = 0;
    bool valid = false;
};
Pixel decode(const Frame& f, unsigned raw_index) {
    int d[4];
    for (unsigned k = 0; k < 4; ++k) d[k] = f.sample(k, raw_index) & 0xFFF;
    const int x = d[3] - d[1], y = d[2] - d[0];
    Pixel p{(atan2_lut(x, y) + 15000) % 30000, std::sqrt(double(x * x + y * y)) / 2, true};
    for (int s : d) p.valid = p.valid && s != 0 && s != 4095;
    return p;
}
unsigned image_row(unsigned raw_row) {
    return raw_row % 2 ? H / 2 + raw_row / 2 : H / 2 - 1 - raw_row / 2;
}
double wrap(double units) {
    return units - 30000 * std::round(units / 30000);
}

vxsim::Measurement quiet(const char* scene) {
    vxsim::Measurement m;
    m.scene = *vxsim::Scene::parse(scene);
    m.noise_mm = 0;
    m.fpn_mm = 0;
    m.phase_offset = 0;
    m.effects = vxsim::Effects::none();  // the exact instrument these checks are stated for
    return m;
}

class Scene : public ::testing::Test {
  protected:
    void SetUp() override { atan2lut_Init(); }
    vxsim::Testbed tb;
};

TEST_F(Scene, DecodedPhaseIsTheTruePhasePlusTheCamerasOwnErrors) {
    struct Case {
        const char* what;
        vxsim::Measurement m;
        uint32_t freq_khz;
        int16_t t_sensor, t_ib;
        bool noisy;
    };
    auto bright = [](const char* scene, double reflectivity) {
        vxsim::Measurement m = quiet(scene);
        m.reflectivity = reflectivity;
        return m;
    };
    vxsim::Measurement errors = bright("tilt:2.5:25", 3);
    errors.fpn_mm = 30;
    errors.phase_offset = 7655;
    vxsim::Measurement noisy = bright("wall:1.2", 1);
    noisy.noise_mm = 3;
    const Case cases[] = {
        {"tilted plane, errors off", bright("tilt:2.5:25", 3), 12000, 350, 300, false},
        {"wall beyond the 24 MHz range wraps", bright("wall:7", 15), 24000, 350, 300, false},
        {"fixed pattern and global offset", errors, 12000, 350, 300, false},
        {"warmer than at calibration drifts", bright("wall:3", 3), 12000, 452, 381, false},
        {"cooler sensor drifts too", bright("wall:3", 3), 12000, 301, 300, false},
        {"noise averages out", noisy, 12000, 350, 300, true},
    };
    auto& cam = tb.add_camera({});
    Usb u(cam);
    ASSERT_TRUE(u.h);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cam.set_measurement(c.m);
        cam.set_param(15,
                      {uint8_t(c.t_sensor), uint8_t(c.t_sensor >> 8), uint8_t(c.t_ib), uint8_t(c.t_ib >> 8)});
        ASSERT_TRUE(u.set_reg(133, c.freq_khz == 24000 ? 0 : 1));
        const Frame f = u.capture_one();
        ASSERT_EQ(f.data.size(), vxsim::kFrameBytes);
        EXPECT_EQ(f.format, 2);
        EXPECT_EQ(f.width, W);
        EXPECT_EQ(f.height, H);
        EXPECT_EQ(f.t_sensor, c.t_sensor);
        EXPECT_EQ(f.t_ib, c.t_ib);

        // The clean camera drifts by the host's coefficients, 1.7 and 0.33765 mm per tenth of a
        // degree, on both sides of the calibration temperatures.
        const double unit = 30000.0 / std::floor(kC2 / c.freq_khz);
        const double tc = (c.t_ib - 300) * 0.33765 * unit + (c.t_sensor - 350) * 1.7 * unit;
        const auto truth = cam.truth();
        // Within quantisation: the phase table's step, and samples rounded to whole counts, which
        // turn the phase by at most atan(1/A) (3376 / A units).
        double worst = 0, mean = 0;
        unsigned used = 0;
        for (unsigned i = 0; i < H; ++i)
            for (unsigned j = 0; j < W; ++j) {
                const unsigned q = image_row(i) * W + j;
                const Pixel p = decode(f, i * W + j);
                if (!p.valid || p.amplitude < 100) continue;
                const double expected =
                    truth.distance[q] * 1000 * c.freq_khz / kC2 * 30000 + c.m.phase_offset +
                    truth.fixed_pattern[q] * 1000 * 30000.0 / std::floor(kC2 / 12000) + tc;
                const double e = wrap(p.phase - expected);
                worst = std::max(worst, std::abs(e) / (1.5 + 3376 / p.amplitude));
                mean += e;
                ++used;
            }
        ASSERT_GT(used, N / 2);
        EXPECT_LE(c.noisy ? 0.0 : worst, 1.0);
        EXPECT_LE(std::abs(mean / used), 1.0);
    }
}

TEST_F(Scene, AmplitudeFollowsInverseSquareAndIntegrationTimeAndClips) {
    auto& cam = tb.add_camera({});
    Usb u(cam);
    ASSERT_TRUE(u.h);
    // Mean amplitude of the pixels around the optical axis, and the share of clipped ones.
    auto centre = [&](const char* scene, uint16_t integration_us, double* clipped = nullptr) {
        cam.set_measurement(quiet(scene));
        EXPECT_TRUE(u.set_param(13, {uint8_t(integration_us), uint8_t(integration_us >> 8)}));
        const Frame f = u.capture_one();
        EXPECT_EQ(f.data.size(), vxsim::kFrameBytes);
        double sum = 0;
        unsigned n = 0, bad = 0;
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned j = 150; j < 166; ++j) {
                const Pixel p = decode(f, i * W + j);
                sum += p.amplitude;
                bad += !p.valid;
                ++n;
            }
        if (clipped) *clipped = double(bad) / n;
        return sum / n;
    };
    const double a1 = centre("wall:1", 500), a2 = centre("wall:2", 500), a1_long = centre("wall:1", 1000);
    EXPECT_NEAR(a1 / a2, 4.0, 0.05);
    EXPECT_NEAR(a1_long / a1, 2.0, 0.02);
    EXPECT_NEAR(a1, cam.truth().amplitude[120 * W + 157] / 2, 0.01 * a1);  // truth at 1000 us
    double clipped = 0, unclipped = 1;
    centre("wall:0.3", 1000, &clipped);
    centre("wall:1", 1000, &unclipped);
    EXPECT_GT(clipped, 0.9);
    EXPECT_EQ(unclipped, 0.0);
}

TEST_F(Scene, NoiseSigmaFallsWithAmplitude) {
    auto& cam = tb.add_camera({});
    Usb u(cam);
    ASSERT_TRUE(u.h);
    // Sigma of the phase over the central pixels, from the difference of two frames.
    auto sigma_mm = [&](double reflectivity) {
        vxsim::Measurement m = quiet("wall:1.5");
        m.noise_mm = 5;
        m.reflectivity = reflectivity;
        cam.set_measurement(m);
        u.start();
        const Frame a = u.frame(), b = u.frame();
        u.stop();
        u.pending.clear();
        EXPECT_NE(a.data, b.data);
        double s2 = 0;
        unsigned n = 0;
        for (unsigned i = 0; i < 16; ++i)
            for (unsigned r = i * W + 130; r < i * W + 190; ++r, ++n)
                s2 += std::pow(wrap(decode(a, r).phase - decode(b, r).phase), 2);
        return std::sqrt(s2 / n / 2) * 12491 / 30000;
    };
    // Amplitude 1000 at the centre is where noise_mm holds; a quarter of it is much noisier.
    const double at_1000 = sigma_mm(1000 * 2.25 / (4.0 * 500)), at_250 = sigma_mm(250 * 2.25 / (4.0 * 500));
    EXPECT_NEAR(at_1000, 5.0, 0.6);
    EXPECT_NEAR(at_250 / at_1000, 4 * std::sqrt((2048 + 250) / (2048 + 1000.0)), 0.4);
}

TEST_F(Scene, HdrRowPairsAlternateShortAndLongIntegration) {
    auto& cam = tb.add_camera({});
    cam.set_measurement(quiet("wall:1.5"));
    Usb u(cam);
    ASSERT_TRUE(u.h);
    // Multiplier 1, 3D length 23999 and HDR length 5999 at 12 MHz: 500 us and 125 us.
    const std::pair<uint32_t, uint8_t> regs[] = {{148, 0x80}, {160, 0},    {161, 1},   {162, 0x5D},
                                                 {163, 0xBF}, {158, 0x17}, {159, 0x6F}};
    for (auto [reg, v] : regs) ASSERT_TRUE(u.set_reg(reg, v));
    // Amplitude of column 160 by image row.
    auto rows = [&] {
        const Frame f = u.capture_one();
        std::vector<double> row(H);
        for (unsigned i = 0; f.data.size() == vxsim::kFrameBytes && i < H; ++i)
            row[image_row(i)] = decode(f, i * W + 160).amplitude;
        return row;
    };
    const auto hdr = rows();
    for (unsigned k = 40; k < 80; ++k)
        EXPECT_NEAR(hdr[2 * k] / hdr[2 * k + 1], 0.25, 0.01) << "rows " << 2 * k;
    ASSERT_TRUE(u.set_reg(148, 0));
    const auto plain = rows();
    EXPECT_NEAR(plain[80] / plain[81], 1.0, 0.01);
}

// The real sensor's effects in the raw samples, and the truth flags that mark them: bad pixels
// fail the DCS consistency window (4017..4175) or have no amplitude, good ones keep it; the
// upper bits carry the DCS number and saturation; footprints across depth edges are mixed, those
// on one steep plane are not (only where some of their rays pass its horizon), nor those on two
// planes meeting at a crease.
TEST_F(Scene, TruthFlagsMarkWhatTheSamplesShow) {
    struct Case {
        const char* scene;
        double reflectivity;
        uint8_t expect;  // a flag that must occur
    } cases[] = {{"boxes", 0.5, vxsim::kTruthMixed},
                 {"wall:0.6", 2.0, vxsim::kTruthSaturated},
                 {"tilt:2:70", 0.5, vxsim::kTruthMixed}};
    auto& cam = tb.add_camera({});
    Usb u(cam);
    ASSERT_TRUE(u.h);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scene);
        vxsim::Measurement m;
        m.scene = *vxsim::Scene::parse(c.scene);
        m.reflectivity = c.reflectivity;
        m.effects.bad_pixels = 300;
        cam.set_measurement(m);
        const Frame f = u.capture_one();
        ASSERT_EQ(f.data.size(), vxsim::kFrameBytes);
        const auto truth = cam.truth();
        unsigned bad = 0, bad_caught = 0, good = 0, good_kept = 0, flagged = 0, sat = 0, sat_clipped = 0,
                 mixed = 0, mixed_at_edge = 0, mixed_by_miss = 0, mixed_at_step = 0, wrong_bits = 0;
        // A depth step in the truth around pixel (u, v): two pixels side by side along a row or a
        // column of its 3 x 3 that differ by more than 5 cm and three times the differences of
        // the pairs beyond them (a slope, or two slopes meeting at a crease, changes gradually),
        // or a pixel without a surface.
        auto at_step = [&](int v, int c0) {
            auto at = [&](int y, int x) {
                return y >= 0 && x >= 0 && y < int(H) && x < int(W) ? truth.distance[size_t(y) * W + x] : -1.0f;
            };
            for (int y = v - 1; y <= v + 1; ++y)
                for (int x = c0 - 1; x <= c0 + 1; ++x)
                    for (const auto& [sy, sx] : {std::pair{0, 1}, std::pair{1, 0}}) {
                        const float a = at(y, x), b = at(y + sy, x + sx);
                        if (a < 0 || b < 0 || y + sy > v + 1 || x + sx > c0 + 1) continue;
                        if (a == 0 || b == 0) return true;
                        const float pa = at(y - sy, x - sx), pb = at(y + 2 * sy, x + 2 * sx);
                        const float beside =
                            std::max(pa > 0 ? std::fabs(a - pa) : 0.0f, pb > 0 ? std::fabs(pb - b) : 0.0f);
                        if (std::fabs(b - a) > std::max(0.05f, 3 * beside)) return true;
                    }
            return false;
        };
        for (unsigned i = 0; i < H; ++i)
            for (unsigned j = 0; j < W; ++j) {
                const unsigned r = i * W + j, q = image_row(i) * W + j;
                unsigned d[4];
                bool clipped = false;
                for (unsigned k = 0; k < 4; ++k) {
                    const uint16_t v = f.sample(k, r);
                    d[k] = v & 0xFFF;
                    clipped |= d[k] == 4095;
                    wrong_bits += ((v >> 12) & 3) != k || bool(v & 0x8000) != (d[k] == 4095) || (v & 0x4000);
                }
                const bool window = d[0] + d[2] >= 4017 && d[0] + d[2] <= 4175 && d[1] + d[3] >= 4017 &&
                                    d[1] + d[3] <= 4175;
                const double amp = std::hypot(double(d[3]) - d[1], double(d[2]) - d[0]) / 2;
                const uint8_t fl = truth.flags[q];
                flagged |= fl;
                if (fl & vxsim::kTruthBadPixel) {
                    ++bad;
                    bad_caught += !window || amp < 20;
                } else if (!(fl & vxsim::kTruthSaturated)) {
                    ++good;
                    good_kept += window;
                }
                if (clipped) {
                    ++sat;
                    sat_clipped += bool(fl & (vxsim::kTruthSaturated | vxsim::kTruthBadPixel));
                }
                if (fl & vxsim::kTruthMixed) {
                    ++mixed;
                    double spread = 0;
                    bool miss = false;
                    for (int dv = -1; dv <= 1; ++dv)
                        for (int du = -1; du <= 1; ++du) {
                            const int v = int(q / W) + dv, uu = int(j) + du;
                            if (v >= 0 && v < int(H) && uu >= 0 && uu < int(W)) {
                                spread = std::max(spread, double(std::abs(truth.distance[v * W + uu] - truth.distance[q])));
                                miss |= truth.distance[v * W + uu] == 0;
                            }
                        }
                    mixed_at_edge += spread > 0.05;
                    mixed_by_miss += miss;
                    mixed_at_step += at_step(int(q / W), int(j));
                }
            }
        EXPECT_EQ(wrong_bits, 0u);
        EXPECT_EQ(bad, 300u);
        EXPECT_GE(bad_caught, bad * 95 / 100);
        EXPECT_GE(good_kept, good * 99 / 100);
        EXPECT_TRUE(flagged & c.expect);
        EXPECT_GE(sat_clipped, sat * 99 / 100);  // what clips was flagged
        EXPECT_GE(mixed_at_edge, mixed * 95 / 100);
        EXPECT_GE(mixed_at_step, mixed * 98 / 100);  // a crease (a box's edge, the floor meeting the wall) is not mixed
        if (std::string(c.scene).starts_with("tilt")) {
            EXPECT_EQ(mixed_by_miss, mixed);
        }
    }
}

// --- the calibration package -------------------------------------------------------------------

std::vector<std::pair<std::string, std::vector<uint8_t>>> unzip(const std::vector<uint8_t>& z) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    zip_source_t* src = zip_source_buffer_create(z.data(), z.size(), 0, nullptr);
    zip_t* za = src ? zip_open_from_source(src, ZIP_RDONLY, nullptr) : nullptr;
    if (!za) {
        zip_source_free(src);
        return out;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, zip_uint64_t(i), 0, &st);
        std::vector<uint8_t> data(st.size);
        zip_file_t* zf = zip_fopen_index(za, zip_uint64_t(i), 0);
        if (zf && zip_fread(zf, data.data(), data.size()) == zip_int64_t(data.size()))
            out.emplace_back(st.name, data);
        if (zf) zip_fclose(zf);
    }
    zip_close(za);
    return out;
}

TEST_F(Scene, UploadedPackageLoadsAndCorrectsTheFixedPattern) {
    vxsim::CameraOptions opt;
    opt.measurement = quiet("tilt:3:15");
    opt.measurement.reflectivity = 5;
    opt.measurement.fpn_mm = 30;
    opt.measurement.phase_offset = 7655;
    opt.chip_number = 42;
    auto& cam = tb.add_camera(opt);
    Usb u(cam);
    ASSERT_TRUE(u.h);

    const auto rec = u.param(8);
    ASSERT_EQ(rec.size(), 17u);
    EXPECT_EQ(rec[0], 1);
    EXPECT_EQ(rec[2], 1);
    const uint32_t size = rd(&rec[7], 4), zip_size = rd(&rec[11], 4);
    EXPECT_EQ(size, zip_size + 17);
    ASSERT_TRUE(u.set_param(0, {9}));
    ASSERT_TRUE(u.start());
    const Frame pk = u.frame();
    EXPECT_TRUE(u.frame(300).data.empty());  // one package, then nothing
    ASSERT_TRUE(u.stop());
    u.pending.clear();
    ASSERT_TRUE(u.set_param(0, {0}));
    EXPECT_EQ(pk.format, 171);
    ASSERT_EQ(pk.data.size(), size);
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), pk.data.begin()));
    EXPECT_EQ(pk.data, cam.calib_package());

    const auto files = unzip({pk.data.begin() + 17, pk.data.end()});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].first, "calib_and_param_042.bin");
    const auto& calib = files[0].second;
    ASSERT_EQ(calib.size(), 24u + 30 * N * 2);
    ASSERT_EQ(calib.size() % 256, 24u);

    // Split as the host does and load it with the chip library.
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vexel_scene_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    vx::chip::reset_all();
    atan2lut_Init();
    ASSERT_EQ(vexel_path_cfg((dir.string() + "/").c_str()), 0);
    configSetWaferID(7);
    configSetChipID(42);
    vx::chip::config().freqs = vx::chip::freq_table(23, 0);
    char name[VX_CHIP_NAME_MAX];
    calibrationGetParamName(name);
    std::ofstream(dir / name, std::ios::binary).write((const char*)calib.data(), 24);
    calibrationGetDistanceImagesName(name);
    std::ofstream(dir / name, std::ios::binary)
        .write((const char*)calib.data() + 24, std::streamsize(calib.size() - 24));
    testing::internal::CaptureStdout();  // the frequency switch has no device to program
    EXPECT_EQ(calibrationLoadDRNU_LUT(), 0);
    testing::internal::GetCapturedStdout();
    configLoadParameters();
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    calculationSetEnableDRNU(2);
    calculationSetEnableTemperature(1);
    fs::remove_all(dir);
    vx::reset_path_prefix();
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    EXPECT_EQ(calibrateGetStepCalMM(), 298.2);
    EXPECT_EQ(calibrateGetTempCalib(), 350);
    EXPECT_EQ(calibrateGetIbTempCalib(), 300);

    // The host's per-pixel routine: with the tables the true distance, at any temperature; without
    // them the true distance plus the camera's fixed pattern.
    const auto truth = cam.truth();
    for (int16_t t : {350, 433}) {
        SCOPED_TRACE(t);
        cam.set_param(15, {uint8_t(t), uint8_t(t >> 8), uint8_t(t - 50), uint8_t((t - 50) >> 8)});
        const Frame f = u.capture_one();
        ASSERT_EQ(f.data.size(), vxsim::kFrameBytes);
        const int16_t temps[2] = {f.t_sensor, f.t_ib};
        temperatureSetTemperatureByFrameHeader(temps);
        std::vector<float> on(N), off(N), amp(N);
        calcDefPiDelayGetDataSorted_opt(nullptr, 3, amp.data(), f.data.data(), int(4 * N));
        calcDefPiDelayGetDataSorted_opt(nullptr, 2, on.data(), f.data.data(), int(4 * N));
        calculationSetEnableDRNU(0);
        calcDefPiDelayGetDataSorted_opt(nullptr, 2, off.data(), f.data.data(), int(4 * N));
        calculationSetEnableDRNU(2);
        double worst_on = 0, worst_off = 0, mean_on = 0, mean_off = 0;
        unsigned used = 0;
        for (unsigned q = 0; q < N; ++q) {
            if (on[q] > 65) continue;  // the top slice of the calibrated range is invalid
            const double quantum = (1.5 + 3376 / amp[q]) * 12.4914 / 30000;  // as above, in metres
            worst_on = std::max(worst_on, std::abs(on[q] - truth.distance[q]) / quantum);
            worst_off =
                std::max(worst_off, std::abs(off[q] - truth.distance[q] - truth.fixed_pattern[q]) / quantum);
            mean_on += on[q] - truth.distance[q];
            mean_off += off[q] - truth.distance[q] - truth.fixed_pattern[q];
            ++used;
        }
        EXPECT_GT(used, N * 9 / 10);
        EXPECT_LT(std::abs(mean_on / used), 0.25e-3);  // no bias: well under one phase unit (0.42 mm)
        EXPECT_LT(std::abs(mean_off / used), 0.25e-3);
        EXPECT_LE(worst_on, 1.0);
        EXPECT_LE(worst_off, 1.0);
    }
}

TEST_F(Scene, PackageOptionsServeNothingOrExactlyTheGivenBytes) {
    const std::vector<uint8_t> hostile{1,    0,   1,   9,   9,   9,   9,   0xFF, 0xFF, 0xFF,
                                       0x7F, 'n', 'o', 't', 'z', 'i', 'p', '!',  '!'};
    vxsim::CameraOptions none, given;
    none.calib_package = vxsim::CalibPackage::none;
    given.calib_package = vxsim::CalibPackage::bytes;
    given.calib_package_bytes = hostile;
    auto& a = tb.add_camera(none);
    auto& b = tb.add_camera(given);
    struct Case {
        vxsim::Camera& cam;
        std::vector<uint8_t> record, frame;
    } cases[] = {
        {a, std::vector<uint8_t>(17, 0), {}},
        {b, {hostile.begin(), hostile.begin() + 17}, hostile},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.cam.port());
        Usb u(c.cam);
        ASSERT_TRUE(u.h);
        EXPECT_EQ(u.param(8), c.record);
        ASSERT_TRUE(u.set_param(0, {9}));
        ASSERT_TRUE(u.start());
        const Frame f = u.frame(c.frame.empty() ? 300 : 5000);
        EXPECT_EQ(f.data, c.frame);
        EXPECT_EQ(f.format, c.frame.empty() ? 0 : 171);
        ASSERT_TRUE(u.stop());
    }
}

TEST_F(Scene, LauncherWritesTheTruthAndRefusesBadMeasurementOptions) {
    const std::string file = testing::TempDir() + "scene_truth_" + std::to_string(::getpid()) + ".vx";
    auto run = [](const std::string& args) {
        const int st =
            std::system((std::string(VXSIM_LAUNCHER) + " " + args + " -- true >/dev/null 2>&1").c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    ASSERT_EQ(run("--scene tilt:2:20 --reflectivity 0.8 --noise 0 --truth " + file), 0);
    std::ifstream in(file, std::ios::binary);
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header, "VX_DIST,F32,320,240");
    std::vector<float> d(N + 1);
    in.read(reinterpret_cast<char*>(d.data()), std::streamsize(d.size() * sizeof(float)));
    EXPECT_EQ(in.gcount(), std::streamsize(N * sizeof(float)));
    std::remove(file.c_str());
    auto& cam = tb.add_camera({});
    cam.set_measurement(quiet("tilt:2:20"));
    const auto truth = cam.truth();
    EXPECT_TRUE(std::equal(truth.distance.begin(), truth.distance.end(), d.begin()));

    // The flags file: a gray frame of bytes, the truth's flags (bad pixels on a plain wall).
    ASSERT_EQ(run("--scene wall:2 --truth-flags " + file), 0);
    std::ifstream fin(file, std::ios::binary);
    std::getline(fin, header);
    EXPECT_EQ(header, "VX_GRAY,U8,320,240");
    std::vector<uint8_t> flags(N + 1);
    fin.read(reinterpret_cast<char*>(flags.data()), std::streamsize(flags.size()));
    EXPECT_EQ(fin.gcount(), std::streamsize(N));
    std::remove(file.c_str());
    vxsim::Measurement plain;
    plain.scene = *vxsim::Scene::parse("wall:2");
    cam.set_measurement(plain);
    const auto want = cam.truth().flags;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), flags.begin()));
    EXPECT_EQ(std::count(flags.begin(), flags.end() - 1, vxsim::kTruthBadPixel), 60);

    for (const char* bad :
         {"--scene wall:0", "--scene tilt:2", "--scene tilt:2:90", "--scene cube", "--noise -1",
          "--temperature 35", "--seed x", "--calib-package /nonexistent/package", "--wiggle -1",
          "--bad-pixels 19201", "--footprint 2", "--dcs-mismatch 1", "--scene corner:0", "--scene corner:3:1",
          "--multipath 4.01", "--multipath -1", "--multipath maybe", "--multipath 1x", "--scene /nonexistent/room.json",
          "--warmup 0.99", "--warmup 3601", "--warmup warm", "--drift-error 0.51"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(run(bad), 2);
    }
    EXPECT_EQ(run("--scene corner --multipath 4"), 0);
    EXPECT_EQ(run("--scene corner:2.5 --multipath off"), 0);
    EXPECT_EQ(run("--scene wall:2 --warmup 1 --drift-error 0.5"), 0);
    EXPECT_EQ(run("--scene wall:2 --warmup 3600"), 0);
}

}  // namespace

namespace {

// Scene files: an accepted one is what the camera sees (the truth at the image centre is the box
// in front of the wall), a wrong one is refused naming its field, and every bound holds from both
// sides.
TEST(SceneFile, AcceptsPlanesBoxesAndSpheresAndNamesTheFieldItRefuses) {
    std::string why;
    const auto sc = vxsim::Scene::from_json(R"({"planes": [{"point": [0, 0, 4], "normal": [0, 0, -2], "reflectivity": 0.8}],
        "boxes": [{"center": [0, 0, 2.5], "size": [0.4, 0.4, 1], "reflectivity": 10}]})", why);
    ASSERT_TRUE(sc) << why;
    vxsim::Measurement m;
    m.scene = *sc;
    m.effects = vxsim::Effects::none();
    vxsim::MeasurementModel model(m);
    const vxsim::Truth t = model.truth({});
    double x, y;
    vxsim::undistort(160, 120, x, y);
    EXPECT_NEAR(t.distance[120 * 320 + 160], 2.0 * std::sqrt(x * x + y * y + 1), 1e-4);  // the box's front
    vxsim::undistort(20, 120, x, y);
    EXPECT_NEAR(t.distance[120 * 320 + 20], 4.0 * std::sqrt(x * x + y * y + 1), 1e-4);  // the wall


    // A sphere: the near side along each ray, moving when --motion names it; names beyond the
    // file's objects are refused.
    auto ball = vxsim::Scene::from_json(R"({"planes": [{"point": [0, 0, 4], "normal": [0, 0, 1], "reflectivity": 1}],
        "spheres": [{"center": [0.3, 0, 2.5], "radius": 0.5, "reflectivity": 1}]})", why);
    ASSERT_TRUE(ball) << why;
    for (const char* refused : {"sphere2:0,0,1", "box1:0,0,1", "plane0:0,0,1", "sphere:0,0,1", "wall:0,0,1"})
        EXPECT_FALSE(ball->set_motion(refused)) << refused;
    ASSERT_TRUE(ball->set_motion("sphere1:0,0,1"));
    m.scene = *ball;
    vxsim::MeasurementModel moving(m);
    for (double t_s : {0.0, 0.5}) {
        const vxsim::Truth tb = moving.truth({}, t_s);
        for (unsigned col : {165u, 185u, 205u}) {
            vxsim::undistort(col, 120, x, y);
            const double len = std::sqrt(x * x + y * y + 1), c[3] = {0.3, 0, 2.5 + t_s};
            const double uc = (x * c[0] + y * c[1] + c[2]) / len;
            const double want = uc - std::sqrt(uc * uc - (c[0] * c[0] + c[1] * c[1] + c[2] * c[2] - 0.25));
            EXPECT_NEAR(tb.distance[120 * 320 + col], want, 1e-4) << "column " << col << " at " << t_s << " s";
        }
        vxsim::undistort(20, 120, x, y);
        EXPECT_NEAR(tb.distance[120 * 320 + 20], 4.0 * std::sqrt(x * x + y * y + 1), 1e-4);  // the wall stays
    }

    auto boxes = [](size_t n, const std::string& one) {
        std::string s = R"({"boxes": [)";
        for (size_t i = 0; i < n; ++i) s += (i ? ", " : "") + one;
        return s + "]}";
    };
    const std::string box = R"({"center": [0, 0, 2], "size": [1, 1, 1], "reflectivity": 1})";
    EXPECT_TRUE(vxsim::Scene::from_json(boxes(vxsim::kSceneFileMaxObjects, box), why)) << why;
    EXPECT_TRUE(vxsim::Scene::from_json(boxes(1, R"({"center": [0, 0, 1000], "size": [1000, 1e-6, 1], "reflectivity": 0})"), why)) << why;
    EXPECT_TRUE(vxsim::Scene::from_json(R"({"spheres": [{"center": [0, 0, 2], "radius": 1000, "reflectivity": 1}]})", why)) << why;
    const struct {
        std::string text, says;
    } bad[] = {
        {boxes(vxsim::kSceneFileMaxObjects + 1, box), "boxes: at most 64"},
        {boxes(1, R"({"center": [0, 0, 1000.5], "size": [1, 1, 1], "reflectivity": 1})"), "boxes[0].center[2]"},
        {boxes(1, R"({"center": [0, 0, 2], "size": [1, 0, 1], "reflectivity": 1})"), "boxes[0].size[1]"},
        {boxes(1, R"({"center": [0, 0, 2], "size": [1, 1, 1], "reflectivity": 10.5})"), "boxes[0].reflectivity"},
        {boxes(1, R"({"center": [0, 0, 2], "size": [1, 1, 1], "reflectivity": -0.1})"), "boxes[0].reflectivity"},
        {boxes(1, R"({"center": [0, 0], "size": [1, 1, 1], "reflectivity": 1})"), "boxes[0].center: want [x, y, z]"},
        {boxes(1, R"({"center": [0, 0, 2], "size": [1, 1, 1]})"), "boxes[0].reflectivity: missing"},
        {boxes(1, R"({"center": [0, 0, 2], "size": [1, 1, 1], "reflectivity": 1, "colour": 3})"), "boxes[0].colour: unknown"},
        {R"({"planes": [{"point": [0, 0, 2], "normal": [0, 0, 0], "reflectivity": 1}]})", "planes[0].normal"},
        {R"({"planes": [{"point": [0, "a", 2], "normal": [0, 0, 1], "reflectivity": 1}]})", "planes[0].point[1]: want a number"},
        {R"({"planes": {}})", "planes: want a list"},
        {R"({"cones": []})", "scene.cones: unknown"},
        {R"({"planes": [], "spheres": []})", "no planes, boxes or spheres"},
        {R"({"spheres": [{"center": [0, 0, 2], "radius": 0, "reflectivity": 1}]})", "spheres[0].radius"},
        {R"({"spheres": [{"center": [0, 0, 2], "radius": 1000.5, "reflectivity": 1}]})", "spheres[0].radius"},
        {R"([1, 2])", "scene: want an object"},
        {R"({"boxes": [)", "not JSON"},
        {std::string(vxsim::kSceneFileMaxBytes + 1, ' '), "larger than"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.says);
        why.clear();
        EXPECT_FALSE(vxsim::Scene::from_json(b.text, why));
        EXPECT_NE(why.find(b.says), std::string::npos) << why;
    }
}

}  // namespace
