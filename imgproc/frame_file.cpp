// Distance and gray frames in raw files on caller-opened descriptors.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

#include "core/log.hpp"
#include <vexel/frame_file.h>

namespace {

constexpr size_t kHeaderMax = 256;
// A header may announce at most this much per frame: a hostile file must not make the loader
// reserve gigabytes. Memory still grows only as the file actually delivers data. The savers
// refuse the same frames, so that whatever they write loads again.
constexpr int64_t kFrameBytesMax = int64_t{256} << 20;
// Both sides of a frame are at least 1, so no side can exceed the largest frame of one-byte
// samples.
constexpr int64_t kSideMax = kFrameBytesMax;
// Conversion buffers for the integer formats, and the loader's first read.
constexpr size_t kChunkBytes = size_t{1} << 20;

enum class Kind { dist, gray };

// What a loader remembers of the header it read last: width, height and the sample type in one
// word, so a reader on another thread sees either the old header or the new one, never a mix.
struct Header {
    int32_t w = 0, h = 0;
    int32_t type = 0;  // a vexel_frame_save_format
};

std::atomic<uint64_t> g_header[2];

// 30 bits per side hold kSideMax, 4 bits the sample type.
constexpr uint64_t kSideMask = (uint64_t{1} << 30) - 1;
static_assert(kSideMax <= int64_t(kSideMask));

uint64_t pack(const Header& hd) {
    return (uint64_t(hd.w) & kSideMask) | (uint64_t(hd.h) & kSideMask) << 30 | uint64_t(hd.type & 0xF) << 60;
}

Header unpack(uint64_t v) {
    return {int32_t(v & kSideMask), int32_t((v >> 30) & kSideMask), int32_t((v >> 60) & 0xF)};
}

void remember(Kind k, const Header& hd) { g_header[int(k)].store(pack(hd)); }
Header remembered(Kind k) { return unpack(g_header[int(k)].load()); }

int sample_bytes(int type) { return type == VEXEL_FRAME_SAVE_U16 ? 2 : type == VEXEL_FRAME_SAVE_U8 ? 1 : 4; }

// For log arguments printed with %d.
int clamp_int(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX)); }

// Float to integer toward zero; NaN and values outside the type become its minimum (what the
// processor's conversion gives, and what then survives as the kept low bits).
int32_t trunc_i32(float f) { return f >= -2147483648.0f && f < 2147483648.0f ? static_cast<int32_t>(f) : INT32_MIN; }
int64_t trunc_i64(double d) {
    return d >= -9223372036854775808.0 && d < 9223372036854775808.0 ? static_cast<int64_t>(d) : INT64_MIN;
}

template <class T>
void put_le(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) {
        for (size_t i = 0; i < sizeof v; ++i) p[i] = uint8_t(v >> (8 * i));
    } else {
        std::memcpy(p, &v, sizeof v);
    }
}

template <class T>
T get_le(const uint8_t* p) {
    T v{};
    if constexpr (std::endian::native == std::endian::big) {
        for (size_t i = 0; i < sizeof v; ++i) v = T(v | T(p[i]) << (8 * i));
    } else {
        std::memcpy(&v, p, sizeof v);
    }
    return v;
}

// Writes all `n` bytes, resuming after partial writes and interruptions.
bool write_all(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const uint8_t*>(buf);
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Reads until `n` bytes, the end of the file or an error; returns the bytes read, or -1 when
// an error came before any byte.
int64_t read_full(int fd, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    while (got < n) {
        const ssize_t k = ::read(fd, p + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return got > 0 ? int64_t(got) : -1;
        if (k == 0) break;
        got += static_cast<size_t>(k);
    }
    return int64_t(got);
}

bool at_start(int fd) { return ::lseek(fd, 0, SEEK_CUR) == 0; }

// A frame the loaders accept: positive sides, at most kFrameBytesMax bytes.
bool frame_fits(int64_t w, int64_t h, int type) {
    return w >= 1 && w <= kSideMax && h >= 1 && h <= kSideMax && w * h * sample_bytes(type) <= kFrameBytesMax;
}

// Sizes a save may describe; the whole-frame arithmetic needs a positive frame, and a frame the
// loaders would refuse is not written at all.
bool save_args_ok(const char* fn, const float* data, int32_t len, int32_t w, int32_t h, int type, int64_t n) {
    if (w > 0 && h > 0 && !frame_fits(w, h, type)) {
        vx::logf(vx::kErr, "[%s] frame too large for a VX file: %dx%d\n", fn, w, h);
        return false;
    }
    if (w > 0 && h > 0 && (data || n == 0)) return true;
    vx::logf(vx::kErr, "[%s] wrong parameters: data=%p, len=%d, size=%dx%d\n", fn, static_cast<const void*>(data),
             len, w, h);
    return false;
}

bool write_header(int fd, const char* tag, const char* type, int32_t w, int32_t h) {
    char line[kHeaderMax];
    const int n = std::snprintf(line, sizeof line, "%s,%s,%d,%d\n", tag, type, w, h);
    return n > 0 && write_all(fd, line, static_cast<size_t>(n));
}

// Converts n samples in bounded chunks and writes them; false on a short write.
template <class T, class Conv>
bool write_converted(int fd, const float* src, int64_t n, Conv conv) {
    uint8_t buf[kChunkBytes / 16];
    constexpr int64_t per = sizeof buf / sizeof(T);
    for (int64_t i = 0; i < n; i += per) {
        const int64_t m = std::min(per, n - i);
        for (int64_t k = 0; k < m; ++k) put_le<T>(buf + k * int64_t(sizeof(T)), conv(src[i + k]));
        if (!write_all(fd, buf, size_t(m) * sizeof(T))) return false;
    }
    return true;
}

bool write_f32(int fd, const float* src, int64_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        return write_all(fd, src, size_t(n) * 4);
    } else {
        return write_converted<uint32_t>(fd, src, n, [](float v) { return std::bit_cast<uint32_t>(v); });
    }
}

// A parsed "TAG,TYPE,%d,%d" line: the numbers follow the rules of %d (leading blanks, a sign,
// digits), but out-of-range digits saturate instead of being undefined.
bool match_line(std::string_view line, std::string_view prefix, long& w, long& h) {
    if (line.substr(0, prefix.size()) != prefix) return false;
    char text[kHeaderMax + 1] = {};
    const std::string_view rest = line.substr(prefix.size());
    std::memcpy(text, rest.data(), std::min(rest.size(), kHeaderMax));
    char* end = nullptr;
    w = std::strtol(text, &end, 10);
    if (end == text || *end != ',') return false;
    char* second = end + 1;
    h = std::strtol(second, &end, 10);
    return end != second;
}

struct Pattern {
    const char* prefix;
    int type;
};

// Reads and checks the header at offset 0 and leaves `fd` at the first frame. On any failure
// the remembered header is cleared.
bool read_header(int fd, Kind kind, const char* fn, const Pattern* patterns, size_t count, Header& out) {
    char buf[kHeaderMax];
    const int64_t got = read_full(fd, buf, sizeof buf);
    out = Header{};
    bool ok = false;
    if (got > 0) {
        const std::string_view all(buf, size_t(got));
        const size_t nl = all.find('\n');
        // A header is one line: without its newline there is no telling where the frames start.
        if (nl != std::string_view::npos) {
            const std::string_view line = all.substr(0, nl);
            for (size_t i = 0; i < count && !ok; ++i) {
                long w = 0, h = 0;
                if (!match_line(line, patterns[i].prefix, w, h)) continue;
                if (!frame_fits(w, h, patterns[i].type)) break;
                out = Header{int32_t(w), int32_t(h), patterns[i].type};
                ok = ::lseek(fd, off_t(nl + 1), SEEK_SET) == off_t(nl + 1);
            }
        }
    }
    if (!ok) {
        out = Header{};
        vx::logf(vx::kErr, "[%s] faile to load VX file header\n", fn);
    }
    remember(kind, out);
    return ok;
}

// Reads one frame of `bytes` bytes into a buffer that grows with what the file delivers.
// Returns the buffer (caller frees) or null after logging.
uint8_t* read_frame(int fd, int64_t bytes, const char* fn) {
    size_t cap = size_t(std::min<int64_t>(bytes, int64_t(kChunkBytes)));
    auto* buf = static_cast<uint8_t*>(std::malloc(cap));
    if (!buf) {
        vx::logf(vx::kErr, "[%s] malloc failed!\n", fn);
        return nullptr;
    }
    size_t got = 0;
    int64_t last = 0;
    for (;;) {
        last = read_full(fd, buf + got, cap - got);
        if (last > 0) got += size_t(last);
        if (got == size_t(bytes) || last <= 0 || got < cap) break;
        const size_t grown = size_t(std::min<int64_t>(bytes, int64_t(cap) * 2));
        auto* more = static_cast<uint8_t*>(std::realloc(buf, grown));
        if (!more) {
            std::free(buf);
            vx::logf(vx::kErr, "[%s] malloc failed!\n", fn);
            return nullptr;
        }
        buf = more;
        cap = grown;
    }
    if (got == size_t(bytes)) return buf;
    std::free(buf);
    vx::logf(vx::kErr, "[%s] read %d date failed: ret= %d\n", fn, clamp_int(bytes),
             last < 0 && got == 0 ? -1 : clamp_int(int64_t(got)));
    return nullptr;
}

// Steps shared by both loaders: header (at offset 0) or the remembered one, then one frame,
// of which the first min(len, w*h) samples are converted by `conv(sample_type, bytes)`.
template <class Conv>
int32_t load_frame(int fd, Kind kind, const char* fn, const Pattern* patterns, size_t count, float* out, int32_t len,
                   int32_t* w_out, int32_t* h_out, Conv conv) {
    Header hd;
    if (at_start(fd)) {
        if (!read_header(fd, kind, fn, patterns, count, hd)) return 0;
    } else {
        hd = remembered(kind);
    }
    if (hd.w == 0 || hd.h == 0) return 0;
    const int64_t pixels = int64_t(hd.w) * hd.h;
    const int size = sample_bytes(hd.type);
    uint8_t* frame = read_frame(fd, pixels * size, fn);
    if (!frame) return 0;
    const int64_t m = out && len >= 1 ? std::min<int64_t>(len, pixels) : 0;
    for (int64_t i = 0; i < m; ++i) out[i] = conv(hd.type, frame + i * size);
    std::free(frame);
    if (w_out) *w_out = hd.w;
    if (h_out) *h_out = hd.h;
    return int32_t(m);
}

constexpr Pattern kDistPatterns[] = {
    {"VX_DIST,F32,", VEXEL_FRAME_SAVE_F32},
    {"VX_DIST,U32,", VEXEL_FRAME_SAVE_U32},
    {"VX_DIST,U16,", VEXEL_FRAME_SAVE_U16},
};
constexpr Pattern kGrayPatterns[] = {
    {"VX_GRAY,U8,", VEXEL_FRAME_SAVE_U8},
    {"VX_GRAY,U16,", VEXEL_FRAME_SAVE_U16},
};

}  // namespace

extern "C" {

VX_API int32_t vexel_frame_save_distance(int32_t fd, int32_t format, const float* dist, int32_t dist_len,
                                         int32_t img_w, int32_t img_h) {
    static constexpr const char* kTypes[] = {"F32", "U32", "U16"};
    if (format < VEXEL_FRAME_SAVE_F32 || format > VEXEL_FRAME_SAVE_U16) {
        vx::logf(vx::kErr, "[%s] wrong distance save format: %d\n", __func__, format);
        return 0;
    }
    const int64_t frame = int64_t(img_w) * img_h;
    const int64_t n = frame > 0 && dist_len > 0 ? frame * (dist_len / frame) : 0;
    if (!save_args_ok(__func__, dist, dist_len, img_w, img_h, format, n)) return 0;
    if (at_start(fd) && !write_header(fd, "VX_DIST", kTypes[format], img_w, img_h)) {
        vx::logf(vx::kErr, "[%s] faile to save VX_DIST header\n", __func__);
        return 0;
    }
    bool ok = true;
    switch (format) {
        case VEXEL_FRAME_SAVE_F32:
            ok = write_f32(fd, dist, n);
            if (!ok) vx::logf(vx::kErr, "[%s] faile to save VX_DIST F32 data: %d bytes\n", __func__, clamp_int(n * 4));
            break;
        case VEXEL_FRAME_SAVE_U32:
            // float * 1000 is exact in double; the low 32 bits of the truncated value are kept.
            ok = write_converted<uint32_t>(fd, dist, n, [](float v) { return uint32_t(trunc_i64(double(v) * 1000.0)); });
            if (!ok) vx::logf(vx::kErr, "[%s] faile to save VX_DIST U32 data: %d bytes\n", __func__, clamp_int(n * 4));
            break;
        default:
            ok = write_converted<uint16_t>(fd, dist, n, [](float v) { return uint16_t(trunc_i32(v * 1000.0f)); });
            if (!ok) vx::logf(vx::kErr, "[%s] faile to save VX_DIST U16 data: %d bytes\n", __func__, clamp_int(n * 2));
            break;
    }
    return ok ? 1 : 0;
}

VX_API int32_t vexel_frame_save_gray(int32_t fd, int32_t format, const float* gray, int32_t gray_len, int32_t img_w,
                                     int32_t img_h) {
    if (format != VEXEL_FRAME_SAVE_U16 && format != VEXEL_FRAME_SAVE_U8) {
        vx::logf(vx::kErr, "[%s] wrong gray save format: %d\n", __func__, format);
        return 0;
    }
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(gray_len, int64_t(img_w) * img_h));
    if (!save_args_ok(__func__, gray, gray_len, img_w, img_h, format, n)) return 0;
    const bool u16 = format == VEXEL_FRAME_SAVE_U16;
    if (at_start(fd) && !write_header(fd, "VX_GRAY", u16 ? "U16" : "U8", img_w, img_h)) {
        vx::logf(vx::kErr, "[%s] faile to save VX_GRAY header\n", __func__);
        return 0;
    }
    if (u16) {
        if (!write_converted<uint16_t>(fd, gray, n, [](float v) { return uint16_t(trunc_i32(v)); })) {
            vx::logf(vx::kErr, "[%s] faile to save VX_GRAY U16 data: %d bytes\n", __func__, clamp_int(n * 2));
            return 0;
        }
    } else if (!write_converted<uint8_t>(fd, gray, n, [](float v) { return uint8_t(trunc_i32(v)); })) {
        vx::logf(vx::kErr, "[%s] faile to save VX_GRAY U8 data: %d bytes\n", __func__, clamp_int(n));
        return 0;
    }
    return 1;
}

VX_API int32_t vexel_frame_load_distance(int32_t fd, float* dist, int32_t dist_len, int32_t* w_out, int32_t* h_out) {
    return load_frame(fd, Kind::dist, __func__, kDistPatterns, std::size(kDistPatterns), dist, dist_len, w_out, h_out,
                      [](int type, const uint8_t* p) {
                          switch (type) {
                              case VEXEL_FRAME_SAVE_F32: return std::bit_cast<float>(get_le<uint32_t>(p));
                              case VEXEL_FRAME_SAVE_U32: return static_cast<float>(get_le<uint32_t>(p)) / 1000.0f;
                              default: return static_cast<float>(get_le<uint16_t>(p)) / 1000.0f;
                          }
                      });
}

VX_API int32_t vexel_frame_load_gray(int32_t fd, float* gray, int32_t gray_len, int32_t* w_out, int32_t* h_out) {
    return load_frame(fd, Kind::gray, __func__, kGrayPatterns, std::size(kGrayPatterns), gray, gray_len, w_out, h_out,
                      [](int type, const uint8_t* p) {
                          return type == VEXEL_FRAME_SAVE_U8 ? static_cast<float>(p[0])
                                                             : static_cast<float>(get_le<uint16_t>(p));
                      });
}

}  // extern "C"
