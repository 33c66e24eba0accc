// The calibration package: the camera hands it over as one frame of format 171 in its data-upload
// mode; it holds a zip archive with one calibration file, which is split into the parameter and
// distance-image files the chip library loads.
#include "driver/calib_pkg.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include <vexel/capture.h>
#include <vexel/chip.h>
#include <vexel/device.h>
#include <vexel/log.h>
#include <vexel/path.h>

#include "chip/chip.hpp"
#include "core/log.hpp"
#include "core/path.hpp"

namespace vx::epc {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kCalibFrameBuffer = 12288000;
constexpr uint8_t kModeDataUpload = 9;
constexpr uint8_t kModeNormal = 0;
constexpr size_t kCopyChunk = 4096;
constexpr size_t kNamePrefixLen = 15;  // "calib_and_param"
constexpr const char* kCalibPrefix = "calib_and_param";
constexpr const char* kCalibSuffix = ".bin";

using vx::chip::File;

uint16_t le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t le32(const uint8_t* b) { return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24); }

struct ZipDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileClose {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

// The directory entries are unpacked into: the prefix read as a directory.
std::string prefix_dir() {
    const std::string p = vx::prefixed_path("");
    return p.empty() ? std::string(".") : p;
}

bool set_mode(vexel_dev* dev, uint8_t mode) {
    vexel_param_item item{};
    item.param_id = VX_PARAM_MODE;
    item.param_len = 1;
    item.param_val[0] = mode;
    return vexel_param_batch_set(dev, &item, 1) != 0;
}

// The entry's path below the target directory, or nothing (with the reason) when it would leave it.
std::optional<fs::path> safe_relative(const std::string& name, const char*& why) {
    if (name.empty()) {
        why = "empty name";
        return std::nullopt;
    }
    if (name[0] == '/' || name[0] == '\\') {
        why = "absolute path";
        return std::nullopt;
    }
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':') {
        why = "drive letter";
        return std::nullopt;
    }
    fs::path rel;
    size_t pos = 0;
    while (pos <= name.size()) {
        const size_t end = std::min(name.find_first_of("/\\", pos), name.size());
        const std::string part = name.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            why = "parent directory component";
            return std::nullopt;
        }
        rel /= part;
    }
    return rel;
}

// True when `p` (resolved through any links that exist) lies strictly below `base`.
bool inside(const fs::path& base, const fs::path& p) {
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(p, ec);
    if (ec) return false;
    const fs::path rel = real.lexically_relative(base);
    return !rel.empty() && *rel.begin() != ".." && rel != ".";
}

bool is_symlink_entry(zip_t* za, zip_uint64_t i) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attr = 0;
    if (zip_file_get_external_attributes(za, i, 0, &opsys, &attr) != 0) return false;
    return opsys == ZIP_OPSYS_UNIX && ((attr >> 16) & S_IFMT) == S_IFLNK;
}

enum class Unpacked { ok, skipped, failed };

// Writes entry i to `target`, counting its bytes against the archive-wide limit.
Unpacked unpack_entry(zip_t* za, zip_uint64_t i, const fs::path& target, uint64_t& total, uint64_t max_total) {
    static const char* const fn = "zip_extract";
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        vx::logf(vx::kErr, "[%s] %s open failed\n", fn, target.c_str());
        return Unpacked::skipped;
    }
    std::unique_ptr<zip_file_t, ZipFileClose> zf(zip_fopen_index(za, i, 0));
    bool ok = zf != nullptr;
    std::vector<char> buf(64 * 1024);
    while (ok) {
        const zip_int64_t n = zip_fread(zf.get(), buf.data(), buf.size());
        if (n < 0) {
            vx::logf(vx::kErr, "[%s] %s: %s\n", fn, target.c_str(), zip_file_strerror(zf.get()));
            ok = false;
        } else if (n == 0) {
            break;
        } else if (total + static_cast<uint64_t>(n) > max_total) {
            vx::logf(vx::kErr, "[%s] archive unpacks to more than %llu bytes\n", fn,
                     static_cast<unsigned long long>(max_total));
            ok = false;
        } else {
            total += static_cast<uint64_t>(n);
            ok = ::write(fd, buf.data(), static_cast<size_t>(n)) == n;
        }
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        std::error_code ec;
        fs::remove(target, ec);
        return Unpacked::failed;
    }
    return Unpacked::ok;
}

// Copies `n` bytes from `in` to `out` in pieces; false on a short read or a failed write.
bool copy_bytes(std::FILE* in, std::FILE* out, uint64_t n) {
    char buf[kCopyChunk];
    while (n > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(n, sizeof buf));
        const size_t got = std::fread(buf, 1, want, in);
        if (got == 0) return false;
        if (std::fwrite(buf, 1, got, out) != got) return false;
        n -= got;
    }
    return true;
}

bool close_file(File& f) { return std::fclose(f.release()) == 0; }

// A file of this process's own beside `target`, to be renamed over it when complete.
File temp_beside(const std::string& target, std::string& name) {
    name = target + ".XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    ::fchmod(fd, 0644);
    File f{::fdopen(fd, "wb+")};
    if (!f) {
        ::close(fd);
        std::remove(name.c_str());
    }
    return f;
}

// Finds the calibration file among the unpacked entries and splits it.
bool parase_file(State& st, const std::string& expected) {
    static const char* const fn = "_parase_file";
    const std::string pattern = std::string(vexel_path_get()) + "\\" + kCalibPrefix + "*" + kCalibSuffix;
    const std::string dir = prefix_dir();
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool match = name.size() >= std::strlen(kCalibPrefix) + std::strlen(kCalibSuffix) &&
                           name.starts_with(kCalibPrefix) && name.ends_with(kCalibSuffix);
        std::error_code sec;
        if (match && fs::symlink_status(it->path(), sec).type() == fs::file_type::regular) found.push_back(name);
    }
    // Sorted like the platform's directory search lists them, so the choice is stable.
    std::sort(found.begin(), found.end());
    if (found.empty()) {
        vx::logf(vx::kErr, "[%s] cann't find file in %s\n", fn, pattern.c_str());
        return false;
    }
    bool first = true;
    for (const std::string& name : found) {
        vx::logf(vx::kDbg, "[%s] find:%s\n", fn, name.c_str());
        if (name.compare(0, kNamePrefixLen, expected, 0, kNamePrefixLen) == 0) {
            const std::string path = dir + "/" + name;
            if (first) {
                vx::logf(vx::kDbg, "[%s] parse...\n", fn);
                parse_file_ex(st, path);
            } else if (!parse_file_ex(st, path)) {
                vx::logf(vx::kDbg, "[%s] parse fail: %s\n", fn, name.c_str());
            }
            break;
        }
        vx::logf(vx::kTrc, "[%s] try to find next\n", fn);
        first = false;
    }
    return true;
}

// Captures the package frame and unpacks it; the camera is in data-upload mode.
bool fetch_package(vexel_dev* dev, State& st) {
    static const char* const fn = "_load_calib_data";
    vexel_param_item item{};
    item.param_id = VX_PARAM_CALIB_INFO;
    if (!vexel_param_batch_get(dev, &item, 1)) {
        vx::logf(vx::kErr, "[%s]  get param of calib data failed!\n", fn);
        return false;
    }
    const CalibInfo ci = parse_calib_info(item.param_val);
    if (ci.valid != 1) {
        vx::logf(vx::kDbg, "[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", fn,
                 "Calib data not valid", static_cast<int>(ci.size), static_cast<int>(ci.valid_size),
                 static_cast<int>(ci.checksum), static_cast<int>(ci.version));
        return false;
    }
    // The camera's word decides an allocation: bound it before trusting it.
    if (ci.size < kCalibInfoBytes || ci.size > kMaxPackageBytes || ci.valid_size > ci.size - kCalibInfoBytes) {
        vx::logf(vx::kErr, "[%s] calibration package refused: fsize:%u, valid data size:%u (at most %u)\n", fn,
                 ci.size, ci.valid_size, kMaxPackageBytes);
        return false;
    }
    std::vector<uint8_t> buf;
    try {
        buf.assign(ci.size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }

    vexel_cap_start(dev);
    vexel_frame_info info{};
    const int n = vexel_cap_get_frames(dev, 1, buf.data(), ci.size, &info);
    vx::logf(vx::kDbg, "[%s] get %d frames: [%u, %ux%u, %u]\n", fn, n, unsigned(info.frame_idx), info.frame_width,
             info.frame_height, unsigned(info.frame_format));
    if (n != 1) {
        vx::logf(vx::kDbg, "[%s] capturing is stopped due to some error!\n", fn);
    } else {
        const std::string pkg = vx::prefixed_path("calibration.bin");
        if (File f{std::fopen(pkg.c_str(), "wb+")}) std::fwrite(buf.data(), 1, buf.size(), f.get());
        std::vector<uint8_t>().swap(buf);
        calib_pk_parse(dev, st);
        std::remove(pkg.c_str());
    }
    vexel_cap_stop(dev);
    return true;
}

}  // namespace

CalibInfo parse_calib_info(const uint8_t* b) {
    CalibInfo ci;
    ci.valid = b[0];
    ci.zip = b[2];
    ci.version = le32(b + 3);
    ci.size = le32(b + 7);
    ci.valid_size = le32(b + 11);
    ci.checksum = le16(b + 15);
    return ci;
}

int zip_extract(const std::string& zip_path, const std::string& dir, ExtractCallback cb, void* arg,
                const ExtractLimits& limits) {
    static const char* const fn = "zip_extract";
    int err = 0;
    std::unique_ptr<zip_t, ZipDiscard> za(zip_open(zip_path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err));
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, err);
        vx::logf(vx::kErr, "[%s] %s: %s\n", fn, zip_path.c_str(), zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return -1;
    }
    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    if (count < 0 || count > limits.max_entries) {
        vx::logf(vx::kErr, "[%s] %s: %lld entries (at most %d)\n", fn, zip_path.c_str(), static_cast<long long>(count),
                 limits.max_entries);
        return -1;
    }
    // The declared sizes first, so an archive over the limit writes nothing; the bytes actually
    // unpacked are counted again below, since a header can lie.
    std::vector<zip_stat_t> stats(static_cast<size_t>(count));
    uint64_t declared = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t& s = stats[static_cast<size_t>(i)];
        if (zip_stat_index(za.get(), static_cast<zip_uint64_t>(i), 0, &s) != 0 || !(s.valid & ZIP_STAT_NAME) ||
            !(s.valid & ZIP_STAT_SIZE)) {
            vx::logf(vx::kErr, "[%s] %s: unreadable entry %lld\n", fn, zip_path.c_str(), static_cast<long long>(i));
            return -1;
        }
        declared += s.size;
        if (declared > limits.max_total) {
            vx::logf(vx::kErr, "[%s] archive unpacks to more than %llu bytes\n", fn,
                     static_cast<unsigned long long>(limits.max_total));
            return -1;
        }
    }
    std::error_code ec;
    const fs::path base = fs::weakly_canonical(dir, ec);
    if (ec || !fs::is_directory(base, ec)) {
        vx::logf(vx::kErr, "[%s] %s is not a directory\n", fn, dir.c_str());
        return -1;
    }

    uint64_t total = 0;
    int written = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto idx = static_cast<zip_uint64_t>(i);
        const std::string name = stats[static_cast<size_t>(i)].name;
        const char* why = nullptr;
        std::optional<fs::path> rel = safe_relative(name, why);
        if (rel && is_symlink_entry(za.get(), idx)) {
            why = "symbolic link";
            rel.reset();
        }
        if (rel && rel->empty()) continue;  // the directory itself
        const fs::path target = rel ? base / *rel : fs::path();
        if (rel && !inside(base, target)) {
            why = "leads outside the directory";
            rel.reset();
        }
        if (!rel) {
            vx::logf(vx::kErr, "[%s] zip entry refused: %s (%s)\n", fn, name.c_str(), why);
            continue;
        }
        const bool is_dir = name.back() == '/' || name.back() == '\\';
        const fs::path parent = is_dir ? target : target.parent_path();
        fs::create_directories(parent, ec);
        // Checked again now that the directories exist: none of them may lead elsewhere.
        if (ec || (fs::weakly_canonical(parent, ec) != base && !inside(base, parent))) {
            vx::logf(vx::kErr, "[%s] zip entry refused: %s (%s)\n", fn, name.c_str(), "leads outside the directory");
            continue;
        }
        if (is_dir) continue;
        switch (unpack_entry(za.get(), idx, target, total, limits.max_total)) {
            case Unpacked::ok:
                ++written;
                if (cb) cb(target.c_str(), arg);
                break;
            case Unpacked::skipped: break;
            case Unpacked::failed: return -1;
        }
    }
    return written;
}

int on_extract_to_folder_entry(const char* name, void* arg) {
    static std::atomic<int> extracted{0};
    vx::logf(vx::kDbg, "[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry", name, ++extracted,
             arg ? *static_cast<const int*>(arg) : 0);
    return 0;
}

bool parse_file_ex(State& st, const std::string& path) {
    static const char* const fn = "_parse_file_ex";
    const long size = vx::chip::file_size(path);
    const int k = epcgetExtModEnable() ? 0 : 1;
    const std::string par = vx::prefixed_path(st.param_file[k]);
    const std::string img = vx::prefixed_path(st.img_file[k]);
    // Written beside the targets and renamed into place when complete: a failed split never
    // truncates the calibration a camera already has, nor does another process splitting too.
    std::string par_tmp, img_tmp;
    auto discard = [&] {
        if (!par_tmp.empty()) std::remove(par_tmp.c_str());
        if (!img_tmp.empty()) std::remove(img_tmp.c_str());
    };
    File fp = temp_beside(par, par_tmp);
    if (!fp) {
        vx::logf(vx::kErr, "[%s] %s open failed\n", fn, par.c_str());
        return false;
    }
    File fi = temp_beside(img, img_tmp);
    if (!fi) {
        vx::logf(vx::kErr, "[%s] %s open failed\n", fn, img.c_str());
        discard();
        return false;
    }
    File src{std::fopen(path.c_str(), "rb")};
    if (!src) {
        vx::logf(vx::kErr, "[%s] %s open failed\n", fn, path.c_str());
        discard();
        return false;
    }
    // The parameter part is 16, 20 or 24 bytes, the image part whole 256-byte blocks.
    const long head = size % 256;
    const long body = size - head;
    bool ok = head > 0 && body > 0;
    if (!ok) vx::logf(vx::kErr, "[%s] %s: %ld bytes hold no calibration\n", fn, path.c_str(), size);
    ok = ok && copy_bytes(src.get(), fp.get(), static_cast<uint64_t>(head)) &&
         copy_bytes(src.get(), fi.get(), static_cast<uint64_t>(body));
    ok = close_file(fp) && ok;
    ok = close_file(fi) && ok;
    src.reset();
    if (!ok || std::rename(par_tmp.c_str(), par.c_str()) != 0 || std::rename(img_tmp.c_str(), img.c_str()) != 0) {
        discard();
        return false;
    }
    std::remove(path.c_str());
    return true;
}

void calib_pk_parse(vexel_dev* dev, State& st) {
    static const char* const fn = "_calib_pk_parse";
    const std::string pkg = vx::prefixed_path("calibration.bin");
    File in{std::fopen(pkg.c_str(), "rb")};
    if (!in) {
        vx::logf(vx::kErr, "[%s] %s open failed\n", fn, pkg.c_str());
        return;
    }
    uint8_t hdr[kCalibInfoBytes] = {};
    const size_t got = std::fread(hdr, 1, sizeof hdr, in.get());
    if (got > 0 && hdr[0] == 0) {
        vx::logf(vx::kDbg, "[%s] Data not valid\n", fn);
        return;
    }
    if (hdr[2] != 1) {
        vx::logf(vx::kWrn, "[%s] No zip used\n", fn);
        return;
    }
    const CalibInfo ci = parse_calib_info(hdr);
    if (ci.valid_size > kMaxPackageBytes) {
        vx::logf(vx::kErr, "[%s] valid data size %u refused (at most %u)\n", fn, ci.valid_size, kMaxPackageBytes);
        return;
    }
    const std::string zip = vx::prefixed_path("tmp.zip");
    {
        File out{std::fopen(zip.c_str(), "wb+")};
        if (!out) return;
        copy_bytes(in.get(), out.get(), ci.valid_size);  // a short package leaves a short archive
    }
    in.reset();

    int one = 1;
    if (zip_extract(zip, prefix_dir(), on_extract_to_folder_entry, &one) < 0) {
        vx::logf(vx::kErr, "[%s] %s zip failed\n", fn, zip.c_str());
        return;
    }
    vx::logf(vx::kDbg, "[%s] unzip %s OK\n", fn, zip.c_str());

    int chip_number = 0;
    if (dev) {
        vexel_param_item item{};
        item.param_id = VX_PARAM_CHIP_INFO;
        if (vexel_param_batch_get(dev, &item, 1)) chip_number = le16(item.param_val + 2);
    }
    char expected[32];
    std::snprintf(expected, sizeof expected, "calib_and_param_%03i.bin", chip_number);
    if (!parase_file(st, expected)) vx::logf(vx::kDbg, "[%s] _parase_file failed\n", fn);
    std::remove(zip.c_str());
}

bool load_calib_data(vexel_driver_entry* drv) {
    static const char* const fn = "_load_calib_data";
    State* st = state_of(drv);
    vexel_dev* dev = drv ? drv->dev : nullptr;
    if (!st || !dev) return false;
    vexel_cap_set_frame_buffer(dev, nullptr, kCalibFrameBuffer);
    vexel_cap_set_callback_on_error(dev, nullptr);
    vexel_cap_set_callback_on_frame_ready(dev, nullptr);
    if (!set_mode(dev, kModeDataUpload)) {
        vx::logf(vx::kErr, "[%s]  set mode to DATA_UP failed!\n", fn);
        return false;
    }
    const bool ok = fetch_package(dev, *st);
    set_mode(dev, kModeNormal);
    return ok;
}

}  // namespace vx::epc
