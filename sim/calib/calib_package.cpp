#include "sim/calib/calib_package.hpp"

#include <sys/stat.h>
#include <zip.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vxsim {

void put_le(std::vector<uint8_t>& v, uint64_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

uint64_t get_le(const uint8_t* p, int n) {
    uint64_t x = 0;
    for (int i = n; i-- > 0;) x = x << 8 | p[i];
    return x;
}

namespace {

constexpr time_t kEntryTime = 1577836800;  // 2020-01-01: the same camera gives the same bytes

struct SourceFree {
    void operator()(zip_source_t* s) const { zip_source_free(s); }
};

}  // namespace

std::vector<uint8_t> CalibRecord::bytes() const {
    std::vector<uint8_t> v{valid, 0, zip};
    put_le(v, version, 4);
    put_le(v, package_size, 4);
    put_le(v, data_size, 4);
    put_le(v, checksum, 2);
    return v;
}

CalibRecord CalibRecord::parse(const uint8_t* p) {
    CalibRecord r;
    r.valid = p[0];
    r.zip = p[2];
    r.version = static_cast<uint32_t>(get_le(p + 3, 4));
    r.package_size = static_cast<uint32_t>(get_le(p + 7, 4));
    r.data_size = static_cast<uint32_t>(get_le(p + 11, 4));
    r.checksum = static_cast<uint16_t>(get_le(p + 15, 2));
    return r;
}

std::vector<uint8_t> calib_param_file(int32_t phase_offset) {
    std::vector<uint8_t> v;
    put_le(v, kCalibFreqKhz, 4);
    put_le(v, static_cast<uint32_t>(calib_drnu_offset(phase_offset)), 4);
    put_le(v, static_cast<uint32_t>(int32_t{kCalibSensorTemp}), 4);
    uint64_t step;
    std::memcpy(&step, &kCalibStepMm, sizeof step);
    put_le(v, step, 8);
    put_le(v, static_cast<uint32_t>(int32_t{kCalibIllumTemp}), 4);
    return v;
}

std::vector<uint8_t> calib_distance_images(MeasurementModel& model) {
    if (model.measurement().effects.measured_calibration) return measure_distance_images(model);
    // Image k is the phase this pixel measures, at the calibration temperatures, where the
    // host's table lookup must answer D - g + k * sp: that is D + k * sp + its fixed pattern.
    const double d = calib_drnu_offset(model.measurement().phase_offset);
    const float sp = static_cast<float>(kCalibStepMm * kPhasePeriod / range_unit_mm(kCalibFreqKhz));
    const auto& fpn = model.fixed_pattern();
    std::vector<uint8_t> v(size_t(kCalibDistances) * kPixels * 2);
    uint8_t* out = v.data();
    for (int k = 0; k < kCalibDistances; ++k)
        for (unsigned q = 0; q < kPixels; ++q, out += 2) {
            // Wrapped as the pixel measured it.
            long p = std::lround(d + k * double(sp) + fpn[q]) % kPhasePeriod;
            if (p < 0) p += kPhasePeriod;
            out[0] = static_cast<uint8_t>(p);
            out[1] = static_cast<uint8_t>(p >> 8);
        }
    return v;
}

std::vector<uint8_t> zip_archive(const std::vector<ZipEntry>& entries, bool deflate) {
    zip_error_t err;
    zip_error_init(&err);
    std::unique_ptr<zip_source_t, SourceFree> mem{zip_source_buffer_create(nullptr, 0, 0, &err)};
    zip_error_fini(&err);
    if (!mem) return {};
    zip_source_keep(mem.get());  // outlives the archive: its bytes are the result
    zip_t* za = zip_open_from_source(mem.get(), ZIP_TRUNCATE, nullptr);
    if (!za) {
        zip_source_free(mem.get());  // the reference the failed open did not take
        return {};
    }
    bool ok = true;
    for (const auto& e : entries) {
        zip_source_t* s = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        const zip_int64_t idx = s ? zip_file_add(za, e.name.c_str(), s, ZIP_FL_ENC_UTF_8) : -1;
        if (idx < 0) {
            if (s) zip_source_free(s);
            ok = false;
            break;
        }
        const auto i = static_cast<zip_uint64_t>(idx);
        ok = zip_set_file_compression(za, i, deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) == 0 &&
             zip_file_set_mtime(za, i, kEntryTime, 0) == 0 &&
             (!e.symlink || zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX,
                                                             uint32_t{S_IFLNK | 0777} << 16) == 0);
        if (!ok) break;
    }
    if (!ok || zip_close(za) != 0) {
        zip_discard(za);
        return {};
    }
    std::vector<uint8_t> out;
    if (zip_source_open(mem.get()) != 0) return {};
    if (zip_source_seek(mem.get(), 0, SEEK_END) == 0) {
        const zip_int64_t n = zip_source_tell(mem.get());
        if (n > 0 && zip_source_seek(mem.get(), 0, SEEK_SET) == 0) {
            out.resize(static_cast<size_t>(n));
            if (zip_source_read(mem.get(), out.data(), out.size()) != n) out.clear();
        }
    }
    zip_source_close(mem.get());
    return out;
}

std::vector<uint8_t> calib_package_from_zip(const std::vector<uint8_t>& zip, uint32_t version) {
    CalibRecord r;
    r.valid = 1;
    r.zip = 1;
    r.version = version;
    r.package_size = static_cast<uint32_t>(kCalibRecordBytes + zip.size());
    r.data_size = static_cast<uint32_t>(zip.size());
    uint32_t sum = 0;
    for (uint8_t b : zip) sum += b;
    r.checksum = static_cast<uint16_t>(sum);
    std::vector<uint8_t> v = r.bytes();
    v.insert(v.end(), zip.begin(), zip.end());
    return v;
}

std::vector<uint8_t> generate_calib_package(MeasurementModel& model, uint16_t chip_number) {
    char name[32];
    std::snprintf(name, sizeof name, "calib_and_param_%03u.bin", unsigned{chip_number});
    ZipEntry e{name, calib_param_file(model.measurement().phase_offset), false};
    const auto images = calib_distance_images(model);
    e.data.insert(e.data.end(), images.begin(), images.end());
    // Stored, not deflated: the tables are noisy, and deflating 4.6 MB would hold up the
    // control transfer that first asks for the package by a quarter of a second.
    const auto zip = zip_archive({e}, false);
    return zip.empty() ? std::vector<uint8_t>{} : calib_package_from_zip(zip);
}

}  // namespace vxsim
