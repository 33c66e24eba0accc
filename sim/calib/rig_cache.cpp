#include "sim/calib/rig_cache.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "sim/calib/calib_package.hpp"
#include "sim/firmware/firmware.hpp"  // debug_log
#include "sim/sensor/model.hpp"
#include "sim/sim.hpp"

namespace vxsim {

namespace {

constexpr char kMagic[8] = {'V', 'X', 'R', 'I', 'G', 'C', 'A', 'L'};
constexpr uint32_t kFormat = 1;
constexpr size_t kFileHeaderBytes = 28;  // magic, format, key length, payload length (8), checksum
constexpr size_t kMaxKey = 4096;
constexpr time_t kStaleTempS = 3600;  // a temporary file this old was left by a writer that died

std::mutex g_mu;
std::optional<std::string> g_dir;  // set_calib_cache's choice

uint32_t checksum(std::span<const uint8_t> b) {
    return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), b.data(), b.size()));
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Creates the directory and its missing parents (mode 0700, as the XDG base directory rules
// ask of cache directories); false when it is not a usable directory.
bool make_dirs(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_all(int fd, std::span<const uint8_t> b) {
    while (!b.empty()) {
        const ssize_t n = write(fd, b.data(), b.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        b = b.subspan(size_t(n));
    }
    return true;
}

bool is_ours(const char* name, const char* prefix, const char* suffix) {
    const size_t n = std::strlen(name), p = std::strlen(prefix), s = std::strlen(suffix);
    return n > p + s && std::strncmp(name, prefix, p) == 0 && std::strcmp(name + n - s, suffix) == 0;
}

// Keeps the newest kRigCacheFiles tables and removes what dead writers left.
void evict(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::pair<timespec, std::string>> files;
    const time_t now = std::time(nullptr);
    while (const dirent* e = readdir(d)) {
        const bool table = is_ours(e->d_name, "rig-", ".bin"), temp = is_ours(e->d_name, ".rig-", ".tmp");
        struct stat st;
        if ((!table && !temp) || fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        if (table)
            files.emplace_back(st.st_mtim, e->d_name);
        else if (now - st.st_mtim.tv_sec > kStaleTempS)
            unlinkat(dirfd(d), e->d_name, 0);
    }
    if (files.size() > kRigCacheFiles) {
        std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
            if (a.first.tv_sec != b.first.tv_sec) return a.first.tv_sec > b.first.tv_sec;
            if (a.first.tv_nsec != b.first.tv_nsec) return a.first.tv_nsec > b.first.tv_nsec;
            return a.second < b.second;
        });
        for (size_t i = kRigCacheFiles; i < files.size(); ++i) unlinkat(dirfd(d), files[i].second.c_str(), 0);
    }
    closedir(d);
}

}  // namespace

void set_calib_cache(const std::string& dir) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (dir.empty())
        g_dir.reset();
    else
        g_dir = dir;
}

std::string rig_cache_dir() {
    std::string chosen;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_dir) chosen = *g_dir;
    }
    if (chosen.empty()) chosen = env("VEXEL_SIM_CACHE");
    if (chosen == "off") return {};
    if (!chosen.empty()) return chosen;
    // A relative XDG base directory is invalid by the XDG rules: ignored, not resolved
    // against whatever the working directory happens to be.
    if (const std::string xdg = env("XDG_CACHE_HOME"); xdg.starts_with('/')) return xdg + "/vexel-sim";
    if (const std::string home = env("HOME"); home.starts_with('/')) return home + "/.cache/vexel-sim";
    return {};
}

std::string rig_cache_name(std::string_view key) {
    uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (const char c : key) h = (h ^ uint8_t(c)) * 0x100000001B3ull;
    char name[40];
    std::snprintf(name, sizeof name, "rig-%016llx.bin", static_cast<unsigned long long>(h));
    return name;
}

std::vector<uint8_t> rig_cache_encode(std::string_view key, std::span<const uint8_t> images) {
    std::vector<uint8_t> v(kMagic, kMagic + sizeof kMagic);
    v.reserve(kFileHeaderBytes + key.size() + images.size());
    put_le(v, kFormat, 4);
    put_le(v, key.size(), 4);
    put_le(v, images.size(), 8);
    put_le(v, checksum(images), 4);
    v.insert(v.end(), key.begin(), key.end());
    v.insert(v.end(), images.begin(), images.end());
    return v;
}

std::optional<std::vector<uint8_t>> rig_cache_decode(std::span<const uint8_t> b, std::string_view key,
                                                     size_t size) {
    if (b.size() < kFileHeaderBytes || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0 ||
        get_le(&b[8], 4) != kFormat)
        return std::nullopt;
    const uint64_t key_len = get_le(&b[12], 4), len = get_le(&b[16], 8);
    // Lengths compared before any arithmetic on them: they are the file's word, not ours.
    if (key_len != key.size() || len != size || size % 2 || b.size() != kFileHeaderBytes + key_len + len ||
        std::memcmp(&b[kFileHeaderBytes], key.data(), key.size()) != 0)
        return std::nullopt;
    const auto payload = b.subspan(kFileHeaderBytes + key.size());
    if (checksum(payload) != get_le(&b[24], 4)) return std::nullopt;
    for (size_t i = 0; i < payload.size(); i += 2)
        if (get_le(&payload[i], 2) >= uint64_t(kPhasePeriod)) return std::nullopt;
    return std::vector<uint8_t>(payload.begin(), payload.end());
}

std::optional<std::vector<uint8_t>> rig_cache_load(const std::string& dir, std::string_view key,
                                                   size_t size) {
    if (key.size() > kMaxKey) return std::nullopt;
    const std::string path = dir + "/" + rig_cache_name(key);
    // Not through a link, and never blocking on a FIFO someone left under our name.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) debug_log("calibration cache: %s: %s\n", path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    struct stat st;
    std::optional<std::vector<uint8_t>> out;
    const size_t want = kFileHeaderBytes + key.size() + size;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == want) {
        std::vector<uint8_t> bytes(want);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = read(fd, bytes.data() + got, want - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (got == want) out = rig_cache_decode(bytes, key, size);
    }
    if (out)
        futimens(fd, nullptr);  // last use, which eviction goes by
    else
        debug_log("calibration cache: %s is not intact, measuring again\n", path.c_str());
    close(fd);
    return out;
}

void rig_cache_store(const std::string& dir, std::string_view key, std::span<const uint8_t> images) {
    if (key.size() > kMaxKey) return;
    if (!make_dirs(dir)) {
        debug_log("calibration cache: %s is not a directory we can make, not caching\n", dir.c_str());
        return;
    }
    std::string tmp = dir + "/.rig-XXXXXX.tmp";
    const int fd = mkstemps(tmp.data(), 4);
    if (fd < 0) {
        debug_log("calibration cache: cannot write in %s: %s\n", dir.c_str(), std::strerror(errno));
        return;
    }
    const bool ok = write_all(fd, rig_cache_encode(key, images));
    const bool closed = close(fd) == 0;
    const std::string path = dir + "/" + rig_cache_name(key);
    if (!ok || !closed || rename(tmp.c_str(), path.c_str()) != 0) {
        debug_log("calibration cache: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        unlink(tmp.c_str());
        return;
    }
    evict(dir);
}

}  // namespace vxsim
