// Builders for calibration test data: zip archives (hostile ones too), calibration files, and a
// listing of what was written.
#pragma once

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.hpp"

namespace calibtest {

struct ZipEntry {
    std::string name;
    std::string data;
    bool symlink = false;  // a Unix symbolic link whose target is `data`
};

inline void write_zip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr) << err;
    for (const ZipEntry& e : entries) {
        zip_source_t* src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
        const zip_int64_t i = zip_file_add(z, e.name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_RAW);
        ASSERT_GE(i, 0) << e.name;
        if (e.symlink)
            zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX, (S_IFLNK | 0777u) << 16);
    }
    ASSERT_EQ(zip_close(z), 0);
}

// A calibration file: 24-byte parameter part (12 MHz) and nd images whose pixel values are the
// image number + 1000.
inline std::string calibration_file(int nd) {
    std::string f(24 + static_cast<size_t>(nd) * 153600, '\0');
    const uint32_t khz = 12000;
    std::memcpy(f.data(), &khz, 4);
    for (size_t i = 24; i < f.size(); i += 2) {
        const auto v = static_cast<uint16_t>(1000 + (i - 24) / 153600);
        std::memcpy(f.data() + i, &v, 2);
    }
    return f;
}

// Every regular file and link below `root`, relative to it.
inline std::vector<std::string> tree(const std::filesystem::path& root) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (!e.is_directory() || e.is_symlink()) out.push_back(e.path().lexically_relative(root).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace calibtest
