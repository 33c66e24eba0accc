#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imgproc/median.hpp"
#include <vexel/filter.h>
#include <vexel/log.h>

namespace {

using Image = std::vector<uint16_t>;

int clampi(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

Image random_image(int w, int h, uint32_t seed, int max_value, int min_value = 0) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(min_value, max_value);
    Image img(size_t(w) * h);
    for (auto& v : img) v = uint16_t(d(rng));
    return img;
}

uint16_t window_median(std::vector<uint16_t>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Row-major, left to right; every window read from `src` when its pixel is produced, so
// passing the same buffer twice gives the in-place semantics.
void ref_fixed(uint16_t* dst, const uint16_t* src, int w, int h, int k) {
    const int e = k / 2;
    std::vector<uint16_t> win;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            win.clear();
            for (int dy = -e; dy <= e; ++dy)
                for (int dx = -e; dx <= e; ++dx) win.push_back(src[clampi(y + dy, 0, h - 1) * w + clampi(x + dx, 0, w - 1)]);
            dst[y * w + x] = window_median(win);
        }
    }
}

// Serpentine window whose cells are read when they enter it.
void ref_general(uint16_t* dst, const uint16_t* src, int w, int h, int k) {
    const int e = k / 2, ew = w + 2 * e;
    std::vector<uint16_t> cell(size_t(ew) * (h + 2 * e));
    const auto load = [&](int ec, int er) {
        cell[size_t(er) * ew + ec] = src[clampi(er - e, 0, h - 1) * w + clampi(ec - e, 0, w - 1)];
    };
    for (int r = 0; r < k; ++r)
        for (int c = 0; c < k; ++c) load(c, r);
    std::vector<uint16_t> win;
    for (int y = 0; y < h; ++y) {
        const int dir = y % 2 == 0 ? 1 : -1;
        for (int x = dir > 0 ? 0 : w - 1;; x += dir) {
            win.clear();
            for (int r = y; r < y + k; ++r)
                for (int c = x; c < x + k; ++c) win.push_back(cell[size_t(r) * ew + c]);
            dst[y * w + x] = window_median(win);
            if (x + dir < 0 || x + dir >= w) {
                if (y + 1 < h)
                    for (int c = x; c < x + k; ++c) load(c, y + k);
                break;
            }
            const int enter = dir > 0 ? x + k : x - 1;
            for (int r = y; r < y + k; ++r) load(enter, r);
        }
    }
}

struct Size {
    int w, h;
};

// Chunk and vector boundaries of the fixed paths sit at multiples of 8, 16, 128 and 256.
const Size kSizes[] = {{2, 2}, {3, 3}, {2, 9},  {9, 2},   {5, 4},   {17, 3},  {18, 5},  {19, 7},
                       {33, 6}, {64, 4}, {129, 3}, {130, 5}, {131, 4}, {257, 3}, {258, 4}, {320, 12}};

std::vector<vx::Isa> isas() {
    std::vector<vx::Isa> v{vx::Isa::kBaseline};
    for (vx::Isa isa : {vx::Isa::kSse41, vx::Isa::kAvx2, vx::Isa::kAvx512})
        if (vx::isa_available(isa)) v.push_back(isa);
    return v;
}

std::string where(vx::Isa isa, int k, Size s, int max_value, bool in_place) {
    return "isa " + std::to_string(int(isa)) + " k" + std::to_string(k) + " " + std::to_string(s.w) + "x" +
           std::to_string(s.h) + " max " + std::to_string(max_value) + (in_place ? " in place" : " out of place");
}

TEST(FixedMedian, MatchesBruteForceInBothModes) {
    uint32_t seed = 1;
    for (vx::Isa isa : isas()) {
        for (int k : {3, 5}) {
            for (Size s : kSizes) {
                // Few levels make ties everywhere, at both ends of the range where the in-place
                // bounds substitute 0 and 65535; the full range checks unsigned comparisons.
                for (int max_value : {3, 65535, 65535 + 4}) {
                    const Image src = max_value > 65535 ? random_image(s.w, s.h, seed++, 65535, 65533)
                                                        : random_image(s.w, s.h, seed++, max_value);
                    Image want(src.size()), got(src.size(), 0xABCD);
                    ref_fixed(want.data(), src.data(), s.w, s.h, k);
                    vx::median2d_fixed(isa, k, got.data(), src.data(), s.w, s.h);
                    ASSERT_EQ(got, want) << where(isa, k, s, max_value, false);

                    Image want_ip = src, got_ip = src;
                    ref_fixed(want_ip.data(), want_ip.data(), s.w, s.h, k);
                    vx::median2d_fixed(isa, k, got_ip.data(), got_ip.data(), s.w, s.h);
                    ASSERT_EQ(got_ip, want_ip) << where(isa, k, s, max_value, true);
                }
            }
        }
    }
}

TEST(FixedMedian, InPlaceSeesFilteredNeighbours) {
    // Out of place the centre's window holds five 9s; in place row 0 and (0,1) have already
    // become 0, which leaves the 9s in the minority.
    Image img = {9, 0, 9,  //
                 0, 0, 9,  //
                 0, 9, 9};
    Image oop(9);
    vx_median2d_u16_k3(oop.data(), img.data(), 3, 3);
    EXPECT_EQ(oop, (Image{0, 9, 9, 0, 9, 9, 0, 9, 9}));
    vx_median2d_u16_k3(img.data(), img.data(), 3, 3);
    EXPECT_EQ(img, (Image{0, 0, 9, 0, 0, 9, 0, 9, 9}));
}

TEST(FixedMedian, SinglePeakRemovedAndConstantKept) {
    for (int k : {3, 5, 7}) {
        Image img(8 * 6, 100);
        img[3 * 8 + 4] = 60000;
        Image out(img.size());
        vx_median2d_u16(out.data(), img.data(), 8, 6, k);
        EXPECT_EQ(out, Image(img.size(), 100)) << "k" << k;
        vx_median2d_u16(img.data(), img.data(), 8, 6, k);
        EXPECT_EQ(img, Image(img.size(), 100)) << "k" << k << " in place";
    }
}

TEST(GeneralMedian, MatchesSerpentineReference) {
    const Size sizes[] = {{4, 4}, {5, 5}, {9, 6}, {6, 13}, {20, 11}, {31, 17}};
    uint32_t seed = 100;
    for (int k : {3, 5, 7, 9}) {
        for (Size s : sizes) {
            if (k >= 2 * s.w || k >= 2 * s.h) continue;
            for (int max_value : {2, 65535}) {
                const Image src = random_image(s.w, s.h, seed++, max_value);
                Image want(src.size()), got(src.size());
                ref_general(want.data(), src.data(), s.w, s.h, k);
                vx::median2d_general(got.data(), src.data(), s.w, s.h, k);
                ASSERT_EQ(got, want) << "k" << k << " " << s.w << "x" << s.h;
                // Out of place the running window is the true clamped median.
                Image direct(src.size());
                ref_fixed(direct.data(), src.data(), s.w, s.h, k);
                ASSERT_EQ(got, direct) << "k" << k << " " << s.w << "x" << s.h;

                Image want_ip = src, got_ip = src;
                ref_general(want_ip.data(), want_ip.data(), s.w, s.h, k);
                if (k >= 7) vx_median2d_u16(got_ip.data(), got_ip.data(), s.w, s.h, k);
                else vx::median2d_general(got_ip.data(), got_ip.data(), s.w, s.h, k);
                ASSERT_EQ(got_ip, want_ip) << "k" << k << " " << s.w << "x" << s.h << " in place";
            }
        }
    }
}

TEST(MedianDispatch, PublicEntryPointsMatchReference) {
    for (int k : {3, 5, 7, 9}) {
        const Image src = random_image(41, 23, 7u + k, 4000);
        Image want(src.size()), got(src.size());
        if (k <= 5) ref_fixed(want.data(), src.data(), 41, 23, k);
        else ref_general(want.data(), src.data(), 41, 23, k);
        vx_median2d_u16(got.data(), src.data(), 41, 23, k);
        EXPECT_EQ(got, want) << "k" << k;
    }
    const Image src = random_image(40, 30, 11, 65535);
    Image want(src.size()), got(src.size());
    ref_fixed(want.data(), src.data(), 40, 30, 5);
    vx_median2d_u16_k5(got.data(), src.data(), 40, 30);
    EXPECT_EQ(got, want);
}

class Rejected : public ::testing::Test {
protected:
    void SetUp() override { vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr); }
    void TearDown() override { vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr); }

    // Runs `call` on a random image, expects it untouched and returns what was printed.
    template <class F> std::string untouched(int w, int h, F call) {
        Image img = random_image(std::max(w, 1), std::max(h, 1), 5, 65535);
        const Image before = img;
        ::testing::internal::CaptureStdout();
        call(img.data(), w, h);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(img, before) << out;
        return out;
    }
};

TEST_F(Rejected, KernelsAndSizesLeaveImageUntouched) {
    for (int k : {-3, 0, 1, 2, 4, 6, 8}) {
        const std::string out = untouched(12, 10, [&](uint16_t* p, int w, int h) {
            Image dst(size_t(w) * h, 1);
            vx_median2d_u16(dst.data(), p, w, h, k);
            EXPECT_EQ(dst, Image(dst.size(), 1)) << "k" << k;
        });
        EXPECT_NE(out.find("[vx_median2d_u16]  wrong parameter:w/h/kernel=12/10/" + std::to_string(k) + "\n"),
                  std::string::npos)
            << out;
    }
    // 7 needs both sides above 3.5: 3x10 fails, 4x4 runs.
    EXPECT_NE(untouched(3, 10, [](uint16_t* p, int w, int h) { vx_median2d_u16(p, p, w, h, 7); })
                  .find("wrong parameter:w/h/kernel=3/10/7"),
              std::string::npos);
    EXPECT_NE(untouched(10, 1, [](uint16_t* p, int w, int h) { vx_median2d_u16(p, p, w, h, 9); })
                  .find("wrong parameter:w/h/kernel=10/1/9"),
              std::string::npos);
    for (Size s : {Size{1, 8}, Size{8, 1}, Size{0, 4}, Size{1, 1}}) {
        EXPECT_NE(untouched(s.w, s.h, [](uint16_t* p, int w, int h) { vx_median2d_u16(p, p, w, h, 3); })
                      .find("[vx_median2d_u16_k3]  wrong parameter:w/h=" + std::to_string(s.w) + "/" +
                            std::to_string(s.h) + "\n"),
                  std::string::npos);
        EXPECT_NE(untouched(s.w, s.h, [](uint16_t* p, int w, int h) { vx_median2d_u16(p, p, w, h, 5); })
                      .find("[vx_median2d_u16_k5]  wrong parameter:w/h="),
                  std::string::npos);
        EXPECT_NE(untouched(s.w, s.h, [](uint16_t* p, int w, int h) { vx_box2d_u16_k3(p, p, w, h); })
                      .find("[vx_box2d_u16_k3]  wrong parameter:w/h="),
                  std::string::npos);
    }
    ::testing::internal::CaptureStdout();
    vx_median2d_u16(nullptr, nullptr, 8, 8, 3);
    vx_median2d_u16(nullptr, nullptr, 8, 8, 7);
    vx_box2d_u16_k3(nullptr, nullptr, 8, 8);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("wrong parameter"), std::string::npos);
}

// ---- neighbour mean ------------------------------------------------------------------------

void ref_box(uint16_t* dst, const uint16_t* src, int w, int h) {
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint32_t sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (dx || dy) sum += src[clampi(y + dy, 0, h - 1) * w + clampi(x + dx, 0, w - 1)];
            dst[y * w + x] = uint16_t(sum / 8);
        }
    }
}

TEST(BoxFilter, MatchesDirectSumInBothModes) {
    uint32_t seed = 300;
    for (Size s : kSizes) {
        const Image src = random_image(s.w, s.h, seed++, 65535);
        Image want(src.size()), got(src.size());
        ref_box(want.data(), src.data(), s.w, s.h);
        vx_box2d_u16_k3(got.data(), src.data(), s.w, s.h);
        ASSERT_EQ(got, want) << s.w << "x" << s.h;
        Image want_ip = src, got_ip = src;
        ref_box(want_ip.data(), want_ip.data(), s.w, s.h);
        vx_box2d_u16_k3(got_ip.data(), got_ip.data(), s.w, s.h);
        ASSERT_EQ(got_ip, want_ip) << s.w << "x" << s.h << " in place";
    }
}

TEST(BoxFilter, CentreExcludedAndNeighboursTakeAnEighth) {
    Image img(5 * 5, 8);
    img[2 * 5 + 2] = 808;
    Image out(img.size());
    vx_box2d_u16_k3(out.data(), img.data(), 5, 5);
    EXPECT_EQ(out[2 * 5 + 2], 8);
    EXPECT_EQ(out[1 * 5 + 1], 8 + 100);
    EXPECT_EQ(out[3 * 5 + 2], 8 + 100);
    EXPECT_EQ(out[0], 8);
}

}  // namespace
