#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.hpp"
#include <vexel/frame_file.h>

namespace {

// What fn prints; the console then returns to its default threshold, which other suites of
// this binary count on.
template <class Fn>
std::string console_of(Fn&& fn) {
    std::string out = vxtest::console_of(std::forward<Fn>(fn));
    vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
    return out;
}
using vxtest::contains;

// A file in memory: read, write and seek behave as on a regular file.
struct MemFile {
    explicit MemFile(const std::string& content = "") : fd(memfd_create("vx_frame", 0)) {
        EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        rewind();
    }
    ~MemFile() { close(fd); }
    void rewind() const { lseek(fd, 0, SEEK_SET); }
    std::string bytes() const {
        std::string s(size_t(lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(fd, s.data(), s.size(), 0), ssize_t(s.size()));
        return s;
    }
    int fd;
};

TEST(FrameFile, EveryFormatRoundTripsFrameByFrame) {
    const int w = 320, h = 240;
    std::vector<float> img(size_t(2 * w * h));
    for (size_t i = 0; i < img.size(); ++i) img[i] = float(i % 7919) * 0.0081f;
    img[5] = 1.2345f;
    img[6] = 70.0f;
    const struct {
        bool gray;
        int format;
        const char* header;
        size_t sample;
    } cases[] = {{false, VEXEL_FRAME_SAVE_F32, "VX_DIST,F32,320,240\n", 4},
                 {false, VEXEL_FRAME_SAVE_U32, "VX_DIST,U32,320,240\n", 4},
                 {false, VEXEL_FRAME_SAVE_U16, "VX_DIST,U16,320,240\n", 2},
                 {true, VEXEL_FRAME_SAVE_U16, "VX_GRAY,U16,320,240\n", 2},
                 {true, VEXEL_FRAME_SAVE_U8, "VX_GRAY,U8,320,240\n", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        MemFile f;
        const size_t frame = size_t(w * h) * c.sample, head = std::strlen(c.header);
        auto save = c.gray ? vexel_frame_save_gray : vexel_frame_save_distance;
        auto load = c.gray ? vexel_frame_load_gray : vexel_frame_load_distance;
        // The gray values are the distances scaled up, as an amplitude image would be.
        std::vector<float> src = img;
        if (c.gray) for (float& v : src) v *= 100.0f;
        ASSERT_EQ(save(f.fd, c.format, src.data(), w * h, w, h), 1);
        EXPECT_EQ(f.bytes().size(), head + frame);
        ASSERT_EQ(save(f.fd, c.format, src.data() + w * h, w * h, w, h), 1);  // appends, no header
        EXPECT_EQ(f.bytes().size(), head + 2 * frame);
        EXPECT_EQ(f.bytes().substr(0, head), c.header);

        f.rewind();
        std::vector<float> back(size_t(w * h));
        for (int k = 0; k < 2; ++k) {
            int32_t lw = 0, lh = 0;
            ASSERT_EQ(load(f.fd, back.data(), w * h, &lw, &lh), w * h);
            EXPECT_EQ(lw, w);
            EXPECT_EQ(lh, h);
            for (int i = 0; i < w * h; ++i) {
                const float v = src[size_t(k * w * h + i)];
                const float want = c.format == VEXEL_FRAME_SAVE_F32 ? v
                                   : c.gray ? float(c.format == VEXEL_FRAME_SAVE_U8 ? int(v) & 0xFF : int(v) & 0xFFFF)
                                   : c.format == VEXEL_FRAME_SAVE_U32 ? float(int64_t(double(v) * 1000)) / 1000.0f
                                                                      : float(int(v * 1000.0f) & 0xFFFF) / 1000.0f;
                ASSERT_EQ(back[size_t(i)], want) << "frame " << k << " pixel " << i;
            }
        }
        std::string out = console_of([&] { EXPECT_EQ(load(f.fd, back.data(), w * h, nullptr, nullptr), 0); });
        EXPECT_TRUE(contains(out, "date failed: ret= 0")) << out;
        if (!c.gray && c.format == VEXEL_FRAME_SAVE_U16) {
            EXPECT_EQ(f.bytes().substr(head + 10, 4), std::string("\xD2\x04\x70\x11", 4));  // 1234, 4464
            f.rewind();
            ASSERT_EQ(load(f.fd, back.data(), 7, nullptr, nullptr), 7);  // the rest of the frame is skipped
            EXPECT_EQ(back[5], 1.234f);
            ASSERT_EQ(load(f.fd, back.data(), 1, nullptr, nullptr), 1);
            EXPECT_EQ(back[0], float(int(src[size_t(w * h)] * 1000.0f)) / 1000.0f);
        }
    }
}

TEST(FrameFile, SavesWriteWholeFramesAndRefuseWhatTheyCannotDescribe) {
    const std::vector<float> img(24, 1.0f);
    MemFile two, none, bad;
    EXPECT_EQ(vexel_frame_save_distance(two.fd, VEXEL_FRAME_SAVE_U16, img.data(), 24, 4, 3), 1);
    EXPECT_EQ(two.bytes().size(), 16 + 48u);
    EXPECT_EQ(vexel_frame_save_distance(none.fd, VEXEL_FRAME_SAVE_U16, img.data(), 11, 4, 3), 1);
    EXPECT_EQ(none.bytes(), "VX_DIST,U16,4,3\n");

    const struct {
        bool gray;
        int format, w, h;
        const float* data;
        const char* message;
    } refused[] = {{false, 3, 4, 3, img.data(), "[vexel_frame_save_distance] wrong distance save format: 3\n"},
                   {false, -1, 4, 3, img.data(), "wrong distance save format: -1"},
                   {true, VEXEL_FRAME_SAVE_F32, 4, 3, img.data(), "[vexel_frame_save_gray] wrong gray save format: 0\n"},
                   {false, VEXEL_FRAME_SAVE_F32, 0, 3, img.data(), "[vexel_frame_save_distance] wrong parameters"},
                   {false, VEXEL_FRAME_SAVE_U16, -4, -3, img.data(), "wrong parameters"},
                   {true, VEXEL_FRAME_SAVE_U8, 4, 0, img.data(), "[vexel_frame_save_gray] wrong parameters"},
                   {false, VEXEL_FRAME_SAVE_F32, 4, 3, nullptr, "wrong parameters"},
                   {true, VEXEL_FRAME_SAVE_U8, 4, 3, nullptr, "wrong parameters"}};
    for (const auto& r : refused) {
        int res = -1;
        const std::string out = console_of([&] {
            res = (r.gray ? vexel_frame_save_gray : vexel_frame_save_distance)(bad.fd, r.format, r.data, 24, r.w, r.h);
        });
        EXPECT_EQ(res, 0) << r.message;
        EXPECT_TRUE(contains(out, r.message)) << out;
    }
    EXPECT_EQ(bad.bytes(), "");

    // A short gray frame is written as given; the loader then finds it short.
    MemFile shortf;
    EXPECT_EQ(vexel_frame_save_gray(shortf.fd, VEXEL_FRAME_SAVE_U8, img.data(), 11, 4, 3), 1);
    EXPECT_EQ(shortf.bytes().size(), 15 + 11u);
    shortf.rewind();
    float back[12];
    const std::string out = console_of([&] { EXPECT_EQ(vexel_frame_load_gray(shortf.fd, back, 12, nullptr, nullptr), 0); });
    EXPECT_TRUE(contains(out, "[vexel_frame_load_gray] read 12 date failed: ret= 11\n")) << out;
}

// Whatever a save writes loads again: one-row and one-column frames, frames larger than the
// loader's first read, and the largest frame a file may hold (whose header alone is tried here);
// a frame one sample larger is refused by the save as by the loader.
TEST(FrameFile, SavedShapesLoadAgain) {
    const struct {
        bool gray;
        int format, w, h;
        bool whole;  // false: header only (no data given), then the load finds the frame missing
    } cases[] = {{false, VEXEL_FRAME_SAVE_U16, 76800, 1, true}, {false, VEXEL_FRAME_SAVE_F32, 1, 76800, true},
                 {true, VEXEL_FRAME_SAVE_U8, 76800, 1, true},   {false, VEXEL_FRAME_SAVE_F32, 640, 480, true},
                 {false, VEXEL_FRAME_SAVE_U32, 1024, 300, true}, {true, VEXEL_FRAME_SAVE_U16, 600, 1000, true},
                 {false, VEXEL_FRAME_SAVE_F32, 8192, 8192, false}, {true, VEXEL_FRAME_SAVE_U8, 268435456, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const size_t n = c.whole ? size_t(c.w) * size_t(c.h) : 1;
        std::vector<float> img(n);
        // Eighths of a metre survive the millimetre formats exactly.
        for (size_t i = 0; i < n; ++i) img[i] = c.gray ? float(i % 251) : float(i % 251) / 8.0f;
        auto save = c.gray ? vexel_frame_save_gray : vexel_frame_save_distance;
        auto load = c.gray ? vexel_frame_load_gray : vexel_frame_load_distance;
        MemFile f;
        ASSERT_EQ(save(f.fd, c.format, img.data(), int32_t(n), c.w, c.h), 1);
        f.rewind();
        std::vector<float> back(n, -1.0f);
        int32_t lw = 0, lh = 0;
        int32_t got = -1;
        const std::string out = console_of([&] { got = load(f.fd, back.data(), int32_t(n), &lw, &lh); });
        EXPECT_FALSE(contains(out, "faile to load VX file header")) << out;
        if (!c.whole) {
            EXPECT_EQ(got, 0);
            EXPECT_TRUE(contains(out, "date failed")) << out;  // the header was accepted
            continue;
        }
        ASSERT_EQ(got, int32_t(n)) << out;
        EXPECT_EQ(std::pair(lw, lh), std::pair(c.w, c.h));
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(back[i], img[i]) << i;
    }
    const float one = 1.0f;
    for (auto [gray, format, w, h] : {std::tuple{false, VEXEL_FRAME_SAVE_F32, 8192, 8193},
                                      {false, VEXEL_FRAME_SAVE_U16, 134217729, 1}, {true, VEXEL_FRAME_SAVE_U8, 1, 268435457},
                                      {true, VEXEL_FRAME_SAVE_U16, 16384, 8193}}) {
        MemFile f;
        int res = -1;
        const std::string out = console_of([&] {
            res = (gray ? vexel_frame_save_gray : vexel_frame_save_distance)(f.fd, format, &one, 1, w, h);
        });
        EXPECT_EQ(res, 0) << w << "x" << h;
        EXPECT_TRUE(contains(out, "frame too large for a VX file: " + std::to_string(w) + "x" + std::to_string(h))) << out;
        EXPECT_EQ(f.bytes(), "");
    }
}

TEST(FrameFile, HostileHeadersAreRejected) {
    const struct {
        bool gray;
        std::string header;
        bool accepted;  // then the missing frame is what fails
    } cases[] = {{false, "VX_DIST,F32,16384,4096\n", true},  {false, "VX_DIST,F32,16384,4097\n", false},
                 {false, "VX_DIST,U16,65535,2048\n", true},  {false, "VX_DIST,U16,65536,1\n", true},
                 {false, "VX_DIST,U16,134217728,1\n", true}, {false, "VX_DIST,U16,134217729,1\n", false},
                 {true, "VX_GRAY,U8,1,268435456\n", true},   {true, "VX_GRAY,U8,1,268435457\n", false},
                 {false, "VX_DIST,U32,1,1\n", true},         {false, "VX_DIST,U32,0,1\n", false},
                 {false, "VX_DIST,F32,-1,-1\n", false},      {false, "VX_DIST,F32,4294967297,1\n", false},
                 {false, "VX_DIST,F32,2,2", false},          {false, "VX_GRAY,U16,2,2\n", false},
                 {true, "VX_GRAY,U8,16384,16384\n", true},   {true, "VX_GRAY,U8,16384,16385\n", false},
                 {true, "VX_GRAY,U16, 7,+3 trailing\n", true}, {true, "VX_DIST,U16,2,2\n", false},
                 {true, "", false},                          {true, std::string(300, 'V'), false}};
    for (const auto& c : cases) {
        MemFile f(c.header);
        float v[4];
        int res = -1;
        const std::string out = console_of([&] {
            res = (c.gray ? vexel_frame_load_gray : vexel_frame_load_distance)(f.fd, v, 4, nullptr, nullptr);
        });
        EXPECT_EQ(res, 0) << c.header;
        EXPECT_EQ(contains(out, "faile to load VX file header\n"), !c.accepted) << c.header << out;
        EXPECT_EQ(contains(out, "date failed"), c.accepted) << c.header << out;
        // A rejected header is forgotten: the next call has nothing to read frames with.
        if (!c.accepted && !c.header.empty()) {
            const std::string again = console_of([&] {
                res = (c.gray ? vexel_frame_load_gray : vexel_frame_load_distance)(f.fd, v, 4, nullptr, nullptr);
            });
            EXPECT_EQ(res, 0);
            EXPECT_EQ(again, "") << c.header;
        }
    }
}

// Threads loading files of one kind at once may mix whose header is used (one file of each kind
// at a time), but each call sees a whole header, never one file's width with another's height.
TEST(FrameFile, RememberedHeaderIsNeverTorn) {
    const int sizes[2][2] = {{3, 5}, {5, 3}};
    std::vector<std::thread> threads;
    std::atomic<int> torn{0}, frames{0};
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            const int w = sizes[t][0], h = sizes[t][1];
            const std::vector<float> img(size_t(w * h * 50), 0.5f);
            MemFile f;
            ASSERT_EQ(vexel_frame_save_distance(f.fd, VEXEL_FRAME_SAVE_U16, img.data(), int(img.size()), w, h), 1);
            for (int round = 0; round < 200; ++round) {
                f.rewind();
                float v[15];
                int32_t lw = 0, lh = 0;
                while (vexel_frame_load_distance(f.fd, v, 15, &lw, &lh) > 0) {
                    if (lw * lh != 15 || (lw != 3 && lw != 5)) ++torn;
                    ++frames;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(frames.load(), 400);
}

}  // namespace
