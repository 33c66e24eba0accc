// Per-pixel error statistics between two distance frame files, e.g. a capture and the simulated
// camera's truth file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cli.hpp"

namespace vexel_cli {

namespace {

struct DistanceFile {
    int w = 0, h = 0;
    size_t frames = 0;
    std::vector<float> data;  // frames back to back, metres
    const float* frame(size_t i) const {
        return data.data() + i * static_cast<size_t>(w) * static_cast<size_t>(h);
    }
};

// The header names the frame size and sample type, so the file size tells how many frames the
// library's loader is to read.
DistanceFile load(const std::string& path) {
    DistanceFile f;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) fail("cannot read %s: %s", path.c_str(), std::strerror(errno));
    char line[257] = {};
    char type[8] = {};
    const bool header = std::fgets(line, sizeof line, in) &&
                        std::sscanf(line, "VX_DIST,%7[A-Z0-9],%d,%d", type, &f.w, &f.h) == 3;
    std::fclose(in);
    const int sample = std::strcmp(type, "U16") == 0                                    ? 2
                       : std::strcmp(type, "F32") == 0 || std::strcmp(type, "U32") == 0 ? 4
                                                                                        : 0;
    if (!header || !sample || f.w <= 0 || f.h <= 0 || f.w > 65535 || f.h > 65535 ||
        int64_t{f.w} * f.h > (int64_t{1} << 26))
        fail("%s is not a distance frame file (no VX_DIST header with a usable size)", path.c_str());
    const size_t n = static_cast<size_t>(f.w) * static_cast<size_t>(f.h);
    std::error_code ec;
    const uintmax_t body = std::filesystem::file_size(path, ec) - std::strlen(line);
    const size_t frames = ec ? 0 : static_cast<size_t>(body / (n * static_cast<size_t>(sample)));
    if (frames == 0) fail("%s holds no whole frame", path.c_str());
    if (body % (n * static_cast<size_t>(sample)))
        std::fprintf(stderr, "vexel: %s: %ju bytes after the last whole frame ignored\n", path.c_str(),
                     body % (n * static_cast<size_t>(sample)));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot read %s: %s", path.c_str(), std::strerror(errno));
    f.data.resize(frames * n);
    for (size_t k = 0; k < frames; ++k)
        if (vexel_frame_load_distance(fd, f.data.data() + k * n, static_cast<int32_t>(n), nullptr, nullptr) !=
            static_cast<int32_t>(n)) {
            ::close(fd);
            fail("%s: frame %zu unreadable", path.c_str(), k);
        }
    ::close(fd);
    f.frames = frames;
    return f;
}

int cmd_compare(const std::string& path_a, const std::string& path_b) {
    const DistanceFile a = load(path_a), b = load(path_b);
    if (a.w != b.w || a.h != b.h) fail("frame sizes differ: %dx%d and %dx%d", a.w, a.h, b.w, b.h);
    // A single frame stands for every frame of the other file; otherwise frames pair by number.
    const size_t pairs = a.frames == 1 ? b.frames : b.frames == 1 ? a.frames : std::min(a.frames, b.frames);
    const size_t n = static_cast<size_t>(a.w) * static_cast<size_t>(a.h);
    Histogram abs_mm(60000.0, 0.01);
    double sum = 0, sum_abs = 0, sum_sq = 0;
    for (size_t k = 0; k < pairs; ++k) {
        const float* fa = a.frame(a.frames == 1 ? 0 : k);
        const float* fb = b.frame(b.frames == 1 ? 0 : k);
        for (size_t i = 0; i < n; ++i) {
            if (!valid_distance(fa[i]) || !valid_distance(fb[i])) continue;
            const double e = (static_cast<double>(fa[i]) - static_cast<double>(fb[i])) * 1000.0;
            sum += e;
            sum_abs += std::fabs(e);
            sum_sq += e * e;
            abs_mm.add(std::fabs(e));
        }
    }
    auto frames = [](size_t k) { return std::to_string(k) + (k == 1 ? " frame" : " frames"); };
    std::fprintf(out(), "%s: %s of %dx%d\n%s: %s of %dx%d\n", path_a.c_str(), frames(a.frames).c_str(), a.w,
                 a.h, path_b.c_str(), frames(b.frames).c_str(), b.w, b.h);
    const uint64_t valid = abs_mm.count();
    const auto total = static_cast<double>(pairs * n);
    std::fprintf(out(), "pixels valid in both: %llu of %.0f (%.1f %%)\n",
                 static_cast<unsigned long long>(valid), total, 100.0 * static_cast<double>(valid) / total);
    if (valid == 0) fail("no pixel is valid in both files");
    const double m = static_cast<double>(valid);
    std::fprintf(out(),
                 "error (first - second): mean %+.2f mm\n"
                 "absolute error: mean %.2f mm, median %.2f mm, RMS %.2f mm, 95th percentile %.2f mm\n",
                 sum / m, sum_abs / m, abs_mm.quantile(0.5), std::sqrt(sum_sq / m), abs_mm.quantile(0.95));
    return 0;
}

}  // namespace

void add_compare_command(CLI::App& app, Commands& cmds) {
    auto files = std::make_shared<std::vector<std::string>>();
    auto* cmp =
        app.add_subcommand("compare", "per-pixel error between two distance files (VX_DIST), in millimetres");
    cmp->add_option("files", *files, "A.vx B.vx: the first is compared against the second")
        ->required()
        ->expected(2)
        ->check(CLI::ExistingFile);
    cmds.push_back({cmp, [files] { return cmd_compare((*files)[0], (*files)[1]); }});
}

}  // namespace vexel_cli
