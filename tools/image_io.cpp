// PNG through libpng; PLY and PCD written directly.
#include <png.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include "cli.hpp"

namespace vexel_cli {

namespace {

// Kept free of objects with destructors: libpng reports errors by longjmp.
bool png_rows(FILE* f, const uint8_t* pixels, int width, int height, int channels) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(channels);
    for (int y = 0; y < height; ++y) png_write_row(png, pixels + stride * static_cast<size_t>(y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

FILE* create(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    return f;
}

void finish(FILE* f, bool ok, const std::string& path) {
    ok = !std::ferror(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(path.c_str());
        fail("cannot write %s", path.c_str());
    }
}

template <class T>
void put_le(std::vector<uint8_t>& buf, T v) {
    auto bits = std::bit_cast<std::array<uint8_t, sizeof(T)>>(v);
    if constexpr (std::endian::native == std::endian::big) std::reverse(bits.begin(), bits.end());
    buf.insert(buf.end(), bits.begin(), bits.end());
}

}  // namespace

void write_png(const std::string& path, const uint8_t* pixels, int width, int height, int channels) {
    FILE* f = create(path);
    finish(f, png_rows(f, pixels, width, height, channels), path);
}

void write_ply(const std::string& path, const std::vector<PlyPoint>& points, bool ascii) {
    FILE* f = create(path);
    std::fprintf(f,
                 "ply\nformat %s 1.0\n"
                 "comment vexel: metres, camera coordinates (x right, y down, z along the optical axis)\n"
                 "element vertex %zu\nproperty float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n",
                 ascii ? "ascii" : "binary_little_endian", points.size());
    bool ok = true;
    if (ascii) {
        // Nine significant digits bring every float back exactly.
        for (const PlyPoint& p : points)
            ok = std::fprintf(f, "%.9g %.9g %.9g %u %u %u\n", double(p.x), double(p.y), double(p.z), p.r, p.g, p.b) >
                     0 &&
                 ok;
        finish(f, ok, path);
        return;
    }
    std::vector<uint8_t> body;
    body.reserve(points.size() * 15);
    for (const PlyPoint& p : points) {
        put_le(body, p.x);
        put_le(body, p.y);
        put_le(body, p.z);
        body.insert(body.end(), {p.r, p.g, p.b});
    }
    finish(f, std::fwrite(body.data(), 1, body.size(), f) == body.size(), path);
}

void write_pcd(const std::string& path, const std::vector<PlyPoint>& points) {
    FILE* f = create(path);
    // The Point Cloud Library's layout: rgb packed as 0x00RRGGBB into a float-typed field.
    std::fprintf(f,
                 "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\n"
                 "TYPE F F F F\nCOUNT 1 1 1 1\nWIDTH %zu\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %zu\n"
                 "DATA binary\n",
                 points.size(), points.size());
    std::vector<uint8_t> body;
    body.reserve(points.size() * 16);
    for (const PlyPoint& p : points) {
        put_le(body, p.x);
        put_le(body, p.y);
        put_le(body, p.z);
        put_le(body, uint32_t{p.r} << 16 | uint32_t{p.g} << 8 | p.b);
    }
    finish(f, std::fwrite(body.data(), 1, body.size(), f) == body.size(), path);
}

}  // namespace vexel_cli
