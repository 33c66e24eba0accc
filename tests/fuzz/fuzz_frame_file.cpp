// Feeds arbitrary files to the frame-file loaders, one frame per call as an application reads,
// and checks what they return; a fully read frame is saved and read back unchanged.
//
// Input: byte 0 picks the loader (bit 0: gray) and the caller's capacity (bits 1-3), the rest
// is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <vexel/frame_file.h>
#include <vexel/log.h>

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

int memfile(const uint8_t* data, size_t size) {
    const int fd = memfd_create("vx_fuzz", 0);
    check(fd >= 0, "memfd_create");
    check(size == 0 || write(fd, data, size) == ssize_t(size), "write");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

constexpr int32_t kCapacity[] = {-1, 0, 1, 2, 7, 64, 1000, 4096};
constexpr size_t kSlack = 16;
constexpr float kSentinel = -12345.0f;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vx_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool gray = data[0] & 1;
    const int32_t len = kCapacity[(data[0] >> 1) & 7];
    auto load = gray ? vexel_frame_load_gray : vexel_frame_load_distance;
    const int fd = memfile(data + 1, size - 1);

    std::vector<float> buf(4096 + kSlack, kSentinel), whole;
    int32_t whole_w = 0, whole_h = 0;
    for (int call = 0; call < 64; ++call) {
        const off_t before = lseek(fd, 0, SEEK_CUR);
        int32_t w = -7, h = -7;
        const int32_t m = load(fd, buf.data(), len, &w, &h);
        check(m >= 0 && m <= (len > 0 ? len : 0), "count within the capacity");
        if (m > 0) {
            check(w >= 1 && w <= 65535 && h >= 1 && h <= 65535 && int64_t(w) * h >= m, "header size");
            if (gray) {
                for (int32_t i = 0; i < m; ++i) check(buf[size_t(i)] >= 0 && buf[size_t(i)] <= 65535, "gray range");
            }
            if (int64_t(w) * h == m) {
                whole.assign(buf.begin(), buf.begin() + m);
                whole_w = w;
                whole_h = h;
            }
        } else if (len > 0) {
            check(w == -7 && h == -7, "size untouched on failure");
        }
        for (size_t i = size_t(len > 0 ? len : 0); i < buf.size(); ++i) check(buf[i] == kSentinel, "beyond capacity");
        if (lseek(fd, 0, SEEK_CUR) == before && call > 0) break;
    }
    close(fd);

    // Distances as F32 and gray values as U16 are stored exactly.
    if (!whole.empty()) {
        const int out = memfd_create("vx_fuzz_out", 0);
        const int32_t n = int32_t(whole.size());
        check((gray ? vexel_frame_save_gray(out, VEXEL_FRAME_SAVE_U16, whole.data(), n, whole_w, whole_h)
                    : vexel_frame_save_distance(out, VEXEL_FRAME_SAVE_F32, whole.data(), n, whole_w, whole_h)) == 1,
              "save");
        lseek(out, 0, SEEK_SET);
        std::vector<float> back(whole.size());
        int32_t w = 0, h = 0;
        check(load(out, back.data(), n, &w, &h) == n && w == whole_w && h == whole_h, "reload");
        check(std::memcmp(back.data(), whole.data(), whole.size() * sizeof(float)) == 0, "same values");
        close(out);
    }
    return 0;
}
