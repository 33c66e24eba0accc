// Feeds arbitrary calibration parameter and distance-image files to the loaders configInit runs,
// at an arbitrary calibration image size, then decodes a frame with what they loaded.
//
// Checks: the number of distances follows the image file's size, the loaded tables are the
// file's images with their true per-pixel extremes, and every decoded pixel is a phase within
// one period, a distance within the unambiguous range, or one of the two marks.
//
// Input: [flags, param length, width, height] then the parameter file (param length bytes) and
// the distance-image file (the rest). Flags: bits 0-1 modulation mode, bit 2 an epc635 part,
// bit 3 external modulation (table set 0), bit 4 no parameter file, bit 5 no image file,
// bit 6 temperature correction, bit 7 a width and height the tables cannot hold.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vexel/chip.h>
#include <vexel/log.h>
#include <vexel/path.h>

#include "chip/chip.hpp"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

std::string g_dir;

std::string path_of(int (*name)(char*)) {
    char buf[VX_CHIP_NAME_MAX];
    name(buf);
    return g_dir + "/" + buf;
}

void put(const std::string& path, const uint8_t* p, size_t n, bool present) {
    std::remove(path.c_str());
    if (!present) return;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr, "create a file");
    check(n == 0 || std::fwrite(p, 1, n, f) == n, "write a file");
    std::fclose(f);
}

// A frame of four phase planes whose pixels walk through phases and amplitudes.
std::vector<uint16_t> raw_frame(int64_t plane) {
    std::vector<uint16_t> raw(static_cast<size_t>(4 * plane));
    for (int64_t i = 0; i < plane; ++i) {
        const double ph = static_cast<double>(i * 2654435761u % 30000) / 30000.0 * 2 * M_PI;
        const double amp = static_cast<double>(i * 40503u % 2000);
        for (int k = 0; k < 4; ++k)
            raw[static_cast<size_t>(k * plane + i)] =
                static_cast<uint16_t>(std::clamp(2048.0 + amp * std::cos(ph - k * M_PI / 2), 0.0, 4095.0));
    }
    return raw;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vx_log_disable();
    // The register shim prints its failures (there is no camera behind it).
    check(std::freopen("/dev/null", "w", stdout) != nullptr, "quiet standard output");
    char dir[] = "/tmp/vx_fuzz_calfile_XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_dir = dir;
    check(vexel_path_cfg((g_dir + "/").c_str()) == 0, "path prefix");
    std::atexit([] {
        std::remove(path_of(calibrationGetParamName).c_str());
        std::remove(path_of(calibrationGetDistanceImagesName).c_str());
        std::remove(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t flags = data[0];
    const size_t plen = std::min<size_t>(data[1], size - 4);
    const uint8_t* param = data + 4;
    const uint8_t* images = param + plen;
    const size_t ilen = size - 4 - plen;

    vx::chip::reset_all();
    configSetWaferID(3);
    configSetChipID(9);
    configSetDeviceAddress(32);
    vx::chip::config().freqs = vx::chip::freq_table(23, 0);
    configSetPartType(flags & 4 ? 4 : 2);
    epcSetExtModEnable(flags & 8 ? 1 : 0);
    configSetModulationFrequency(flags & 3, 32);
    const int w = flags & 0x80 ? (data[2] & 1 ? -data[2] : 329 + data[2]) : data[2] % 24 + 1;
    const int h = flags & 0x80 ? 253 + data[3] : data[3] % 24 + 1;
    calibrateSetWidth(w);
    calibrateSetHeight(h);
    put(path_of(calibrationGetParamName), param, plen, !(flags & 0x10));
    put(path_of(calibrationGetDistanceImagesName), images, ilen, !(flags & 0x20));

    check(calibrationLoadDRNU_LUT() == 0, "parameter load");
    const int set = flags & 8 ? 0 : 1;
    const int r = calibrationLoadDistanceImages(set);
    const int nd = calibrateGetNumDistances();
    check(nd >= 0 && nd <= VX_CHIP_MAX_DISTANCES, "distances within the tables");
    if (r == 0) {
        check(!(flags & 0x20) && !(flags & 0x80) && nd >= 1, "loaded from a file of a size the tables hold");
        const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
        check(ilen >= nd * pixels * 2, "enough bytes for every distance");
        check(nd == VX_CHIP_MAX_DISTANCES || configGetModulationFrequency() == 36000 ||
                  ilen / (pixels * 2) == static_cast<size_t>(nd),
              "distances from the file's size");
        for (size_t p = 0; p < pixels; ++p) {
            uint16_t lo = 65535, hi = 0;
            for (int k = 0; k < nd; ++k) {
                const size_t at = 2 * (static_cast<size_t>(k) * pixels + p);
                const auto v = static_cast<uint16_t>(images[at] | images[at + 1] << 8);
                check(distImagesDRNU[set][p * static_cast<size_t>(nd) + static_cast<size_t>(k)] == v, "table entry");
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            check(distImagesDRNUMin[set][p] == lo && distImagesDRNUMax[set][p] == hi, "per-pixel extremes");
        }
        calculationSetEnableDRNU(2);
    }
    calculationSetEnableTemperature(flags & 0x40 ? 1 : 0);
    const int16_t temps[2] = {static_cast<int16_t>(data[2] * 7 - 500), static_cast<int16_t>(data[3] * 5 - 300)};
    temperatureSetTemperatureByFrameHeader(temps);

    // A small decode geometry keeps the frame cheap; its pixels index the calibration image.
    pruSetSize(16, 6);
    const int64_t plane = int64_t{pruGetNCols()} * pruGetNRowsPerHalf() * pruGetNumberOfHalves();
    const std::vector<uint16_t> raw = raw_frame(plane);
    std::vector<uint16_t> phase(static_cast<size_t>(plane));
    std::vector<float> metres(static_cast<size_t>(plane));
    calcDefPiDelayGetDataSorted_opt(nullptr, 0, phase.data(), raw.data(), static_cast<int>(4 * plane));
    calcDefPiDelayGetDataSorted_opt(nullptr, 2, metres.data(), raw.data(), static_cast<int>(4 * plane));
    const float range = 149896229.0f / (static_cast<float>(configGetModulationFrequency()) * 1000.0f);
    for (uint16_t v : phase) check(v <= 30000 || v == 65300 || v == 65500, "phase within a period or a mark");
    for (float m : metres)
        check((m >= 0.0f && m <= range * 1.0001f) || m == 65.3f || m == 65.5f, "distance within the range or a mark");
    return 0;
}
