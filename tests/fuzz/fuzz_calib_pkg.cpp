// Feeds arbitrary calibration packages (the 17-byte record, then the zip archive) to the
// unpack and split the driver runs after a download, in a scratch prefix directory.
//
// Checks: nothing is written outside the prefix directory (its parent tree is watched, and the
// place every entry name would naively land is probed), no link is left inside it, and a
// split is byte for byte the calibration file it came from.
//
// Input: the package file's bytes.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <vexel/log.h>
#include <vexel/path.h>

#include "driver/calib_pkg.hpp"
#include "driver/epc.hpp"

namespace fs = std::filesystem;

namespace {

void check(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

fs::path g_root;    // watched: only g_prefix may appear below it
fs::path g_prefix;  // the library's path prefix directory
constexpr const char* kParam = "param.bin";
constexpr const char* kImages = "images.bin";

std::vector<uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names and contents of the archive's entries as libzip reads them, for the split check and
// the escape probes: the record's valid size bytes after it, as the unpack takes them. Empty
// when the package holds no readable archive.
struct Entry {
    std::string name;
    std::vector<uint8_t> bytes;
    bool read = false;
};
std::vector<Entry> archive_entries(const uint8_t* data, size_t size) {
    std::vector<Entry> out;
    if (size < vx::epc::kCalibInfoBytes) return out;
    const uint64_t valid = vx::epc::parse_calib_info(data).valid_size;
    const uint64_t len = std::min<uint64_t>(valid, size - vx::epc::kCalibInfoBytes);
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t* src = zip_source_buffer_create(data + vx::epc::kCalibInfoBytes, len, 0, &err);
    zip_t* za = src ? zip_open_from_source(src, ZIP_RDONLY, &err) : nullptr;
    if (!za) {
        if (src) zip_source_free(src);
        zip_error_fini(&err);
        return out;
    }
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n && i < 4096; ++i) {
        const char* name = zip_get_name(za, zip_uint64_t(i), 0);
        if (!name) continue;
        Entry e{name, {}, false};
        zip_stat_t st;
        if (zip_stat_index(za, zip_uint64_t(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE) && st.size < (8u << 20)) {
            if (zip_file_t* f = zip_fopen_index(za, zip_uint64_t(i), 0)) {
                e.bytes.resize(st.size);
                e.read = zip_fread(f, e.bytes.data(), st.size) == zip_int64_t(st.size);
                zip_fclose(f);
            }
        }
        out.push_back(std::move(e));
    }
    zip_discard(za);
    zip_error_fini(&err);
    return out;
}

// Where a name would land if it were simply appended to the prefix, or nothing inside it.
fs::path naive_target(const std::string& name) {
    std::string n = name;
    for (char& c : n)
        if (c == '\\') c = '/';
    const fs::path p = (!n.empty() && n[0] == '/') ? fs::path(n) : (g_prefix / n);
    return p.lexically_normal();
}

bool below(const fs::path& base, const fs::path& p) {
    const fs::path rel = p.lexically_relative(base);
    return !rel.empty() && *rel.begin() != "..";
}

void empty_dir(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vx_log_disable();
    char dir[] = "/tmp/vx_fuzz_calib_XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_root = dir;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    });
    g_prefix = g_root / "a" / "b";
    fs::create_directories(g_prefix);
    check(vexel_path_cfg((g_prefix.string() + "/").c_str()) == 0, "path prefix");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    empty_dir(g_prefix);
    {
        std::ofstream f(g_prefix / "calibration.bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    const std::vector<Entry> entries = archive_entries(data, size);
    // Probes only where nothing of ours lives, so a hit is the unpack's doing.
    std::vector<fs::path> probes;
    for (const Entry& e : entries) {
        const fs::path t = naive_target(e.name);
        std::error_code ec;
        if (!below(g_prefix, t) && t != g_prefix && !below(g_root, t) && !fs::exists(fs::symlink_status(t, ec)))
            probes.push_back(t);
    }

    static vx::epc::State st;
    std::snprintf(st.param_file[1], sizeof st.param_file[1], "%s", kParam);
    std::snprintf(st.img_file[1], sizeof st.img_file[1], "%s", kImages);
    vx::epc::calib_pk_parse(nullptr, st);

    // Nothing beside the prefix directory, and nothing at any escaped destination.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(g_root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path p = it->path();
        const fs::file_status s = fs::symlink_status(p);
        check(!fs::is_symlink(s), "link below the prefix", p.string());
        if (p == g_root / "a" || p == g_prefix) continue;
        check(below(g_prefix, p), "written outside the prefix", p.string());
    }
    for (const fs::path& p : probes) {
        const bool there = fs::exists(fs::symlink_status(p, ec));
        if (there) fs::remove_all(p, ec);
        check(!there, "written outside the prefix", p.string());
    }

    // A split is one calibration entry's bytes: 1..255 bytes of parameters, whole 256-byte blocks
    // of images.
    const fs::path par = g_prefix / kParam, img = g_prefix / kImages;
    const bool split = fs::exists(par), images = fs::exists(img);
    check(split == images, "both halves or neither");
    if (split) {
        std::vector<uint8_t> whole = read_file(par);
        const size_t head = whole.size();
        const std::vector<uint8_t> body = read_file(img);
        check(head > 0 && head < 256 && !body.empty() && body.size() % 256 == 0, "split sizes");
        whole.insert(whole.end(), body.begin(), body.end());
        bool found = false;
        for (const Entry& e : entries) {
            const std::string base = fs::path(e.name).filename().string();
            found = found || (e.read && e.bytes == whole && base.starts_with("calib_and_param") && base.ends_with(".bin"));
        }
        check(found, "split equals a calibration entry");
    }
    return 0;
}
