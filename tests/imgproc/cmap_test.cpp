#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "imgproc/cmap.hpp"
#include <vexel/cmap.h>

namespace {

class Cmap : public ::testing::Test {
protected:
    void SetUp() override { vx_cmap_init(&map_, 30000); }
    void TearDown() override { vx_cmap_uninit(&map_); }
    vx_cmap map_{};
};

TEST_F(Cmap, TableFollowsTheRamp) {
    ASSERT_NE(map_.table, nullptr);
    const struct {
        int index;
        uint32_t color;
    } telling[] = {{0, 0x7F0000},     {3750, 0xFF0000},  {7500, 0xFF7F00},  {11250, 0xFFFF00},
                   {15000, 0x7FFF7F}, {18750, 0x00FFFF}, {22500, 0x00AAFF}, {29999, 0x0000BF}};
    for (const auto& t : telling) EXPECT_EQ(map_.table[t.index], t.color) << "entry " << t.index;
    // Blue never rises again after its fall, red never falls before its rise.
    for (int i = 1; i < 30000; ++i) {
        const uint32_t a = map_.table[i - 1], b = map_.table[i];
        ASSERT_EQ(b >> 24, 0u);
        if (i > 11250) {
            ASSERT_LE((b >> 16) & 0xFF, (a >> 16) & 0xFF) << i;
        }
        if (i < 22500) {
            ASSERT_GE(b & 0xFF, a & 0xFF) << i;
        }
    }
}

TEST_F(Cmap, DefaultRangeAndColours) {
    EXPECT_EQ(map_.min, 0);
    EXPECT_EQ(map_.max, 4000);
    EXPECT_EQ(map_.scale, 7.5f);
    EXPECT_EQ(map_.gray_scale, 0.06375f);
    EXPECT_EQ(vx_cmap_get_color(&map_, 1), map_.table[29993]);
    EXPECT_EQ(vx_cmap_get_color(&map_, 4000), 0x7F0000u);
    EXPECT_EQ(vx_cmap_get_color(&map_, 0), 0u);
    EXPECT_EQ(vx_cmap_get_color(&map_, 4001), 0u);
    EXPECT_EQ(vx_cmap_get_color(&map_, -5), 0u);
    EXPECT_EQ(vx_cmap_get_color(&map_, 2000), map_.table[30000 - 15000]);
}

TEST_F(Cmap, RangeInEitherOrderAndEqualBounds) {
    vx_cmap_set_range(&map_, 5000, 1000);
    EXPECT_EQ(map_.min, 1000);
    EXPECT_EQ(map_.max, 5000);
    EXPECT_EQ(map_.scale, 7.5f);
    EXPECT_EQ(map_.gray_scale, 0.06375f);
    EXPECT_EQ(vx_cmap_get_color(&map_, 1000), 0u);
    EXPECT_EQ(vx_cmap_get_color(&map_, 5000), 0x7F0000u);

    vx_cmap_set_range(&map_, 0, 3000);
    EXPECT_EQ(map_.scale, 10.0f);
    EXPECT_EQ(vx_cmap_get_color(&map_, 1500), map_.table[15000]);

    // Equal bounds keep the range; every in-range value then lands on the first entry.
    vx_cmap_set_range(&map_, 700, 700);
    EXPECT_EQ(map_.min, 0);
    EXPECT_EQ(map_.max, 3000);
    EXPECT_EQ(map_.scale, 30000.0f);
    EXPECT_EQ(map_.gray_scale, 255.0f);
    EXPECT_EQ(vx_cmap_get_color(&map_, 2), map_.table[0]);
    // 255 levels per mm saturate instead of spilling into the neighbouring channels.
    EXPECT_EQ(vx_cmap_get_gray(&map_, 2000), 0xFFFFFFu);

    // A range wider than int32 neither wraps nor indexes outside the table.
    vx_cmap_set_range(&map_, INT32_MIN, INT32_MAX);
    EXPECT_GT(map_.max, map_.min);
    EXPECT_EQ(vx_cmap_get_color(&map_, INT32_MAX), map_.table[0]);
    EXPECT_EQ(vx_cmap_get_color(&map_, INT32_MIN + 1), map_.table[29999]);
}

TEST_F(Cmap, CodesAtTheTopOfTheRange) {
    vx_cmap_set_range(&map_, 0, 65535);
    EXPECT_EQ(vx_cmap_get_color(&map_, 65300), 0u);
    EXPECT_EQ(vx_cmap_get_color(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(vx_cmap_get_color(&map_, 65500), 0xFF0EA9u);
    EXPECT_NE(vx_cmap_get_color(&map_, 65301), 0u);
    // Outside the range the codes still win.
    vx_cmap_set_range(&map_, 0, 4000);
    EXPECT_EQ(vx_cmap_get_color(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 65500), 0xFF0EA9u);
    // 65300 is an ordinary value for grey.
    EXPECT_EQ(vx_cmap_get_gray(&map_, 65300), 0xFFFFFFu);
    vx_cmap_set_range(&map_, 0, 65535);
    const uint32_t g = uint32_t(double(65300.0f) * double(map_.gray_scale));
    EXPECT_EQ(vx_cmap_get_gray(&map_, 65300), g * 0x010101u);
}

TEST_F(Cmap, HandSetFieldsStayInsideTheTable) {
    map_.scale = std::numeric_limits<float>::quiet_NaN();
    map_.gray_scale = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(vx_cmap_get_color(&map_, 2000), map_.table[0]);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 2000), 0u);
    map_.scale = -3.0f;
    map_.gray_scale = -1.0f;
    EXPECT_EQ(vx_cmap_get_color(&map_, 2000), map_.table[29999]);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 2000), 0u);
}

TEST_F(Cmap, GrayRoundsDownAtTheTop) {
    vx_cmap_set_range(&map_, 1000, 2000);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 1000), 0u);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 1500), 127u * 0x010101u);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 2000), 254u * 0x010101u);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 2001), 0xFFFFFFu);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 999), 0u);
    vx_cmap_set_range(&map_, 0, 4000);
    EXPECT_EQ(vx_cmap_get_gray(&map_, 4000), 254u * 0x010101u);
}

TEST(CmapUnusable, AnswersBlackToEveryLookup) {
    for (int count : {0, -4}) {
        vx_cmap m;
        vx_cmap_init(&m, count);
        EXPECT_EQ(m.table, nullptr);
        for (int v : {1, 2000, 4000, 65400, 65500}) {
            EXPECT_EQ(vx_cmap_get_color(&m, v), 0u) << count << " " << v;
            EXPECT_EQ(vx_cmap_get_gray(&m, v), 0u) << count << " " << v;
        }
        vx_cmap_set_range(&m, 10, 20);
        EXPECT_EQ(vx_cmap_get_color(&m, 15), 0u);
        vx_cmap_uninit(&m);
    }
    vx_cmap m;
    vx_cmap_init(&m, 100);
    EXPECT_NE(vx_cmap_get_color(&m, 100), 0u);
    vx_cmap_uninit(&m);
    EXPECT_EQ(m.table, nullptr);
    EXPECT_EQ(vx_cmap_get_color(&m, 100), 0u);
    EXPECT_EQ(vx_cmap_get_color(nullptr, 100), 0u);
}

TEST(CmapColorize, VectorPathAgreesWithPerPixelPath) {
    vx_cmap m;
    vx_cmap_init(&m, 30000);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> metres(-1.f, 6.f);
    std::vector<float> src(1003);
    for (float& f : src) f = metres(rng);
    // Codes, exact range ends and values the integer conversion cannot hold.
    const float odd[] = {65.3f, 65.4f, 65.5f, 0.f, 4.f, 0.001f, 3.999f, std::numeric_limits<float>::quiet_NaN(),
                         -3e9f, 3e9f, std::numeric_limits<float>::infinity()};
    for (size_t i = 0; i < src.size(); i += 7) src[i] = odd[(i / 7) % (sizeof odd / sizeof odd[0])];
    const int32_t ranges[][2] = {{0, 4000}, {1000, 1200}, {3000, 3001}, {-500, 65535}, {INT32_MIN, INT32_MAX}};
    for (const auto& r : ranges) {
        vx_cmap_set_range(&m, r[0], r[1]);
        for (int fmt : {VEXEL_COLOR_RGB888, VEXEL_COLOR_RGBX8888, VEXEL_COLOR_BGR888}) {
            for (int32_t n : {1, 9, 10, 17, 1003}) {
                std::vector<uint8_t> a(src.size() * 4 + 8, 0xEE), b = a;
                vx::colorize_float(m, src.data(), n, fmt, a.data(), true);
                vx::colorize_float(m, src.data(), n, fmt, b.data(), false);
                ASSERT_EQ(a, b) << r[0] << ".." << r[1] << " fmt " << fmt << " n " << n;
            }
        }
    }
    vx_cmap_uninit(&m);
}

// ---- float images on the library-wide map ---------------------------------------------------

class CmapFloat : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vx::library_cmap_init(30000)); }
    void TearDown() override { vx::library_cmap_uninit(); }
};

TEST_F(CmapFloat, PixelCountsPerFormat) {
    const float src[5] = {1.f, 2.f, 3.f, 4.f, 0.5f};
    const struct {
        int fmt, dst_len, src_len, want;
    } cases[] = {{VEXEL_COLOR_RGB888, 10, 5, 3}, {VEXEL_COLOR_BGR888, 10, 5, 3}, {VEXEL_COLOR_RGBX8888, 10, 5, 2},
                 {VEXEL_COLOR_RGBX8888, 20, 5, 5}, {VEXEL_COLOR_RGB888, 64, 4, 4}, {VEXEL_COLOR_RGB888, 64, 0, 0},
                 {VEXEL_COLOR_RGB888, 2, 5, 0},    {3, 64, 5, 0},                   {-1, 64, 5, 0}};
    for (const auto& c : cases) {
        std::vector<uint8_t> dst(64, 0xEE);
        const int32_t n = vexel_cmap_float(dst.data(), c.dst_len, src, c.src_len, c.fmt, 0.f, 4.f);
        EXPECT_EQ(n, c.want) << c.fmt << " " << c.dst_len << " " << c.src_len;
        const size_t bpp = c.fmt == VEXEL_COLOR_RGBX8888 ? 4 : 3;
        for (size_t i = size_t(n > 0 ? n : 0) * bpp; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xEE) << "byte " << i;
    }
    std::vector<uint8_t> dst(16, 0xEE);
    EXPECT_EQ(vexel_cmap_float(dst.data(), -8, src, 5, VEXEL_COLOR_RGB888, 0.f, 4.f), -2);
    EXPECT_EQ(vexel_cmap_float(dst.data(), 16, src, -3, VEXEL_COLOR_RGB888, 0.f, 4.f), -3);
    EXPECT_EQ(dst, std::vector<uint8_t>(16, 0xEE));
}

TEST_F(CmapFloat, ByteOrdersAndCodes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float src[] = {1.f, 0.001f, 4.f, 65.3f, 65.4f, 65.5f, 5.f, nan, 1e12f};
    constexpr int n = sizeof src / sizeof src[0];
    const uint32_t want[n] = {vx_cmap_get_color(vx::library_cmap(), 1000), vx_cmap_get_color(vx::library_cmap(), 1),
                              0x7F0000, 0, 0x8000FF, 0xFF0EA9, 0, 0, 0};
    for (int fmt : {VEXEL_COLOR_RGB888, VEXEL_COLOR_RGBX8888, VEXEL_COLOR_BGR888}) {
        uint8_t dst[n * 4];
        ASSERT_EQ(vexel_cmap_float(dst, sizeof dst, src, n, fmt, 0.f, 4.f), n);
        for (int i = 0; i < n; ++i) {
            const uint8_t r = want[i] & 0xFF, g = (want[i] >> 8) & 0xFF, b = (want[i] >> 16) & 0xFF;
            if (fmt == VEXEL_COLOR_RGB888) {
                EXPECT_EQ(dst[3 * i], r) << i;
                EXPECT_EQ(dst[3 * i + 1], g) << i;
                EXPECT_EQ(dst[3 * i + 2], b) << i;
            } else if (fmt == VEXEL_COLOR_BGR888) {
                EXPECT_EQ(dst[3 * i], b) << i;
                EXPECT_EQ(dst[3 * i + 1], g) << i;
                EXPECT_EQ(dst[3 * i + 2], r) << i;
            } else {
                uint32_t word;
                std::memcpy(&word, dst + 4 * i, 4);
                EXPECT_EQ(word, want[i]) << i;
                EXPECT_EQ(dst[4 * i + 3], 0) << i;
            }
        }
    }
}

TEST_F(CmapFloat, RangeStaysAfterTheCall) {
    const float src[] = {1.5f};
    uint8_t dst[4];
    ASSERT_EQ(vexel_cmap_float(dst, 4, src, 1, VEXEL_COLOR_RGBX8888, 2.5f, 0.5f), 1);
    EXPECT_EQ(vx::library_cmap()->min, 500);
    EXPECT_EQ(vx::library_cmap()->max, 2500);
    uint32_t word;
    std::memcpy(&word, dst, 4);
    EXPECT_EQ(word, vx::library_cmap()->table[30000 - 15000]);
    // A format that is refused still sets the range first.
    ASSERT_EQ(vexel_cmap_float(dst, 4, src, 1, 9, 0.f, 1.f), 0);
    EXPECT_EQ(vx::library_cmap()->max, 1000);
}

TEST(CmapFloatWithoutMap, WritesBlack) {
    vx::library_cmap_uninit();
    const float src[] = {1.f, 65.4f};
    uint8_t dst[6];
    std::memset(dst, 0xEE, sizeof dst);
    EXPECT_EQ(vexel_cmap_float(dst, 6, src, 2, VEXEL_COLOR_RGB888, 0.f, 4.f), 2);
    for (uint8_t b : dst) EXPECT_EQ(b, 0);
    EXPECT_FALSE(vx::library_cmap_init(0));
    vx::library_cmap_uninit();
}

}  // namespace
