// Processing switches by name, onto the filter ids of <vexel/features.h>.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli.hpp"

namespace vexel_cli {

namespace {

struct FilterKind {
    const char* name;
    int32_t id;
    int bytes;           // value size the id reads; 0: takes no value
    long long fallback;  // value of NAME alone; -1: a value is required
    long long lo, hi;
    const char* what;
};

const FilterKind kFilters[] = {
    {"lens", VEXEL_FILTER_LENS_UNDISTORT, 0, 0, 0, 0, "lens undistortion"},
    {"drnu", VEXEL_FILTER_PIXEL_CALIB, 1, 0, 0, 1, "pixel calibration, calibration set 0 or 1"},
    {"median", VEXEL_FILTER_MEDIAN, 1, 3, 1, 255, "median filter, odd kernel size"},
    {"amp", VEXEL_FILTER_AMP_THRESHOLD, 4, -1, 0, 2147483647, "minimum amplitude"},
    {"auto-intg", VEXEL_FILTER_AUTO_INTG, 2, -1, 1, 1000,
     "automatic integration time, per mille of bad samples"},
    {"dcs-check", VEXEL_FILTER_DCS_CHECK, 2, 0, 0, 65535, "consistency check, correction value"},
    {"temp-monitor", VEXEL_FILTER_TEMP_MONITOR, 2, 75, 0, 65535, "temperature report in the log"},
    {"hdr", VEXEL_FILTER_HDR, 0, 0, 0, 0, "HDR"},
};

struct Setting {
    const FilterKind* kind = nullptr;
    bool on = true;
    long long value = 0;
};

// Parses NAME[=VALUE]; on failure returns false with the reason in `why`.
bool parse(const std::string& text, Setting& s, std::string& why) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    for (const FilterKind& k : kFilters)
        if (name == k.name) s.kind = &k;
    if (!s.kind) {
        why = "unknown filter '" + name +
              "' (lens, drnu, median, amp, auto-intg, dcs-check, temp-monitor, hdr)";
        return false;
    }
    const FilterKind& k = *s.kind;
    if (eq == std::string::npos) {
        if (k.fallback < 0) {
            why = std::string(k.name) + " needs a value: " + k.name + "=N (" + k.what + ")";
            return false;
        }
        s.value = k.fallback;
        return true;
    }
    const std::string v = text.substr(eq + 1);
    if (v == "off") {
        s.on = false;
        return true;
    }
    if (k.bytes == 0) {
        why = std::string(k.name) + " takes no value (" + k.name + " or " + k.name + "=off)";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    s.value = std::strtoll(v.c_str(), &end, 0);
    if (v.empty() || *end != '\0' || errno == ERANGE || s.value < k.lo || s.value > k.hi) {
        why = std::string(k.name) + " value '" + v + "' not in range " + std::to_string(k.lo) + " to " +
              std::to_string(k.hi) + " (" + k.what + ")";
        return false;
    }
    if (k.id == VEXEL_FILTER_MEDIAN && s.value % 2 == 0) {
        why = "median kernel must be odd";
        return false;
    }
    return true;
}

}  // namespace

CLI::Option* add_filter_option(CLI::App* app, std::vector<std::string>& filters) {
    return app
        ->add_option("--filter", filters,
                     "processing switch NAME[=VALUE], repeatable: lens, drnu[=SET], median[=K], amp=N, "
                     "auto-intg=PERMILLE, dcs-check[=N], temp-monitor, hdr; NAME=off switches it off")
        ->check(CLI::Validator(
            [](std::string& text) {
                Setting s;
                std::string why;
                return parse(text, s, why) ? std::string() : why;
            },
            "NAME[=VALUE]"));
}

void apply_filters(vexel_dev* dev, const std::vector<std::string>& filters) {
    for (const std::string& text : filters) {
        Setting s;
        std::string why;
        if (!parse(text, s, why)) fail("%s", why.c_str());
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(s.value >> (8 * i));  // little-endian value
        const int r = s.on ? vexel_filter_enable(dev, s.kind->id, bytes, s.kind->bytes)
                           : vexel_filter_disable(dev, s.kind->id);
        if (r == 1) continue;
        if (r < 0) fail("filter %s: this camera has no driver for it", s.kind->name);
        if (s.kind->id == VEXEL_FILTER_PIXEL_CALIB && s.on)
            fail("filter drnu refused: the calibration files are missing (see `vexel calib status`)");
        fail("filter %s refused by the driver", text.c_str());
    }
}

}  // namespace vexel_cli
