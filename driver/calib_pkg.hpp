// The calibration package: download from the camera, unpack, and split into the two files the
// chip library loads.
#pragma once

#include <cstdint>
#include <string>

#include <vexel/device.h>
#include <vexel/driver.h>

#include "driver/epc.hpp"

namespace vx::epc {

// Well above a real package (about 4.6 MB); bounds what the camera may make the host allocate
// and what an archive may unpack to.
inline constexpr uint32_t kMaxPackageBytes = 64u << 20;
inline constexpr int kMaxZipEntries = 1024;

// The 17-byte record of parameter 8, which also opens the package.
struct CalibInfo {
    uint8_t valid = 0;
    uint8_t zip = 0;
    uint32_t version = 0;
    uint32_t size = 0;        // package bytes, the length of the special frame
    uint32_t valid_size = 0;  // zip archive bytes after the header
    uint16_t checksum = 0;
};
inline constexpr size_t kCalibInfoBytes = 17;
CalibInfo parse_calib_info(const uint8_t* b);

struct ExtractLimits {
    int max_entries = kMaxZipEntries;
    uint64_t max_total = kMaxPackageBytes;  // uncompressed bytes over all entries
};

// Called once per entry written, with its path; the result is ignored.
using ExtractCallback = int (*)(const char* name, void* arg);

// Unpacks every entry of the archive below `dir`. Entries that would land outside it (absolute
// paths, drive letters, ".." with either separator, symlinks) are refused and skipped; an archive
// over the limits is refused before anything is written. Entries written, or -1 when the archive
// cannot be read or breaks the limits.
int zip_extract(const std::string& zip_path, const std::string& dir, ExtractCallback cb, void* arg,
                const ExtractLimits& limits = {});

// The per-entry callback the download uses: logs the extracted path with a running count.
int on_extract_to_folder_entry(const char* name, void* arg);

// Splits one calibration file into the parameter and image files named in the state (pair 1, or
// pair 0 under external modulation). The targets are replaced only by a complete split.
bool parse_file_ex(State& st, const std::string& path);

// Unpacks the package file prefix + "calibration.bin" and splits the calibration file in it;
// `dev` (may be null) tells the chip number the camera names its file with.
void calib_pk_parse(vexel_dev* dev, State& st);

// Fetches the package from the camera behind `drv` (mode 9, one frame of format 171) and unpacks
// it. True as soon as the camera reports a usable package.
bool load_calib_data(vexel_driver_entry* drv);

}  // namespace vx::epc
