// The calibration package the camera uploads in mode 9: a 17-byte record (also parameter 8)
// and a zip archive holding calib_and_param_NNN.bin, which is the 24-byte parameter file
// followed by the distance images of this camera's own fixed-pattern model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sensor/model.hpp"

namespace vxsim {

inline constexpr size_t kCalibRecordBytes = 17;

// Little-endian fields of n bytes, as the camera's records and the rig's cache files hold them.
void put_le(std::vector<uint8_t>& v, uint64_t x, int n);
uint64_t get_le(const uint8_t* p, int n);
inline constexpr size_t kCalibParamBytes = 24;

struct CalibRecord {
    uint8_t valid = 0;
    uint8_t zip = 0;
    uint32_t version = 0;
    uint32_t package_size = 0;  // record + archive: the length of the format-171 frame
    uint32_t data_size = 0;     // archive length
    uint16_t checksum = 0;      // 16-bit sum of the archive bytes
    std::vector<uint8_t> bytes() const;
    static CalibRecord parse(const uint8_t* p);  // kCalibRecordBytes bytes
};

// The calibration parameter file: frequency (kHz), DRNU offset, sensor calibration temperature,
// step in mm (double), illumination-board calibration temperature; little-endian.
std::vector<uint8_t> calib_param_file(int32_t phase_offset);

// kCalibDistances images of 320 x 240 16-bit phases, image k recorded where the host's
// calibrated distance is 885000/U10 phase units plus k steps (see sim/README.md): measured by
// the rig (Effects::measured_calibration), or else computed from the clean model.
std::vector<uint8_t> calib_distance_images(MeasurementModel& model);
// What the rig measures (sim/calib/rig.cpp); cached per seed and set of errors, in the process
// and in the cache directory (rig_cache.hpp).
std::vector<uint8_t> measure_distance_images(MeasurementModel& model);
// Everything the measured tables depend on, as text: each parameter the rig or the pixel model
// reads, the tables' geometry and kRigModelVersion. Equal keys, equal tables.
std::string rig_key(MeasurementModel& model);
// Drops what this process holds in memory; the next camera reads the cache directory, or
// measures, as a new process would.
void forget_measured_calibrations();

// A zip archive in memory, entries deflated or stored; empty when libzip refuses an entry.
// Symlink entries hold their target as data. Names are stored as given, so tests can build
// hostile ones.
struct ZipEntry {
    std::string name;
    std::vector<uint8_t> data;
    bool symlink = false;
};
std::vector<uint8_t> zip_archive(const std::vector<ZipEntry>& entries, bool deflate = true);

// Record (valid, zip flag set) followed by the archive.
std::vector<uint8_t> calib_package_from_zip(const std::vector<uint8_t>& zip, uint32_t version = 1);

// The package of this camera: "calib_and_param_%03u.bin" with its chip number.
std::vector<uint8_t> generate_calib_package(MeasurementModel& model, uint16_t chip_number);

}  // namespace vxsim
