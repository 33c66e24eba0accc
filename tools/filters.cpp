// Processing switches by name, onto the filter ids of <vexel/features.h>.
#include <cerrno>
#include <cstdio>
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
    bool on_at_open;  // the driver's switch and value after every open
    long long value_at_open;
    // The depth-quality steps read a float32: NAME alone means `real_fallback`, values lie in
    // (real_lo, real_hi] or [real_lo, real_hi] with `closed`.
    bool real = false;
    double real_fallback = 0, real_lo = 0, real_hi = 0;
    bool closed = false;
};

const FilterKind kFilters[] = {
    {"lens", VEXEL_FILTER_LENS_UNDISTORT, 0, 0, 0, 0, "lens undistortion", false, 0},
    {"drnu", VEXEL_FILTER_PIXEL_CALIB, 1, 0, 0, 1, "pixel calibration, calibration set 0 or 1", false, 0},
    {"median", VEXEL_FILTER_MEDIAN, 1, 3, 1, 255, "median filter, odd kernel size", true, 3},
    {"amp", VEXEL_FILTER_AMP_THRESHOLD, 4, -1, 0, 2147483647, "minimum amplitude", true, 0},
    {"auto-intg", VEXEL_FILTER_AUTO_INTG, 2, -1, 1, 1000,
     "automatic integration time, per mille of bad samples", false, 20},
    {"dcs-check", VEXEL_FILTER_DCS_CHECK, 2, 0, 0, 65535, "consistency check, correction value", false, 0},
    {"temp-monitor", VEXEL_FILTER_TEMP_MONITOR, 2, 75, 0, 65535, "temperature report in the log", true, 75},
    {"hdr", VEXEL_FILTER_HDR, 0, 0, 0, 0, "HDR", false, 0},
    {"confidence", VEXEL_FILTER_CONFIDENCE, 4, 0, 0, 0, "largest predicted noise kept, mm", false, 0, true, 30, 0, 1e6},
    {"flying", VEXEL_FILTER_FLYING, 4, 0, 0, 0, "flying-pixel removal, k", false, 0, true, 6, 1, 100, true},
    {"temporal", VEXEL_FILTER_TEMPORAL, 4, 0, 0, 0, "temporal smoothing, alpha", false, 0, true, 0.1, 0, 1},
    {"spatial", VEXEL_FILTER_SPATIAL, 4, 0, 0, 0, "edge-preserving smoothing, range sigma in mm", false, 0, true, 5, 0,
     1e6},
    {"fill", VEXEL_FILTER_FILL, 4, 0, 0, 0, "hole filling, largest hole in pixels", false, 0, true, 4, 1, 64, true},
};

const char* const kNames = "lens, drnu, median, amp, auto-intg, dcs-check, temp-monitor, hdr, confidence, flying, "
                           "temporal, spatial, fill";

struct Setting {
    const FilterKind* kind = nullptr;
    bool on = true;
    long long value = 0;
    float real = 0;
};

// Parses NAME[=VALUE]; on failure returns false with the reason in `why`.
bool parse(const std::string& text, Setting& s, std::string& why) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    for (const FilterKind& k : kFilters)
        if (name == k.name) s.kind = &k;
    if (!s.kind) {
        why = "unknown filter '" + name + "' (" + kNames + ")";
        return false;
    }
    const FilterKind& k = *s.kind;
    if (eq == std::string::npos && k.real) {
        s.real = float(k.real_fallback);
        return true;
    }
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
    if (k.real) {
        const double d = std::strtod(v.c_str(), &end);
        const bool low_ok = k.closed ? d >= k.real_lo : d > k.real_lo;
        if (v.empty() || *end != '\0' || errno == ERANGE || !low_ok || !(d <= k.real_hi)) {
            char range[96];
            std::snprintf(range, sizeof range, "%s %g to %g", k.closed ? "from" : "above", k.real_lo, k.real_hi);
            why = std::string(k.name) + " value '" + v + "' not in range: " + range + " (" + k.what + ")";
            return false;
        }
        s.real = float(d);
        return true;
    }
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
                     "processing switch NAME[=VALUE], repeatable or comma-separated: lens, drnu[=SET], "
                     "median[=K], amp=N, auto-intg=PERMILLE, dcs-check[=N], temp-monitor, hdr, "
                     "confidence[=MM], flying[=K], temporal[=ALPHA], spatial[=SIGMA], fill[=PX]; "
                     "NAME=off switches it off")
        ->delimiter(',')
        ->check(CLI::Validator(
            [](std::string& text) { return check_filter(text); },
            "NAME[=VALUE]"));
}

std::vector<FilterInfo> filter_list() {
    std::vector<FilterInfo> list;
    for (const FilterKind& k : kFilters) {
        if (k.real)
            list.push_back({k.name, k.what, true, true, k.real_lo, k.real_hi, k.closed, false, k.real_fallback});
        else
            list.push_back({k.name, k.what, k.bytes > 0, false, double(k.lo), double(k.hi), true, k.on_at_open,
                            double(k.value_at_open)});
    }
    return list;
}

std::string check_filter(const std::string& text) {
    Setting s;
    std::string why;
    return parse(text, s, why) ? std::string() : why;
}

std::string apply_filter(vexel_dev* dev, const std::string& text, FilterInfo* now) {
    Setting s;
    std::string why;
    if (!parse(text, s, why)) return why;
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(s.value >> (8 * i));  // little-endian value
    if (s.kind->real) std::memcpy(bytes, &s.real, sizeof s.real);
    const int r = s.on ? vexel_filter_enable(dev, s.kind->id, bytes, s.kind->bytes)
                       : vexel_filter_disable(dev, s.kind->id);
    if (r == 1) {
        if (now) {
            now->name = s.kind->name;
            now->on = s.on;
            if (s.on && s.kind->bytes > 0) now->value = s.kind->real ? double(s.real) : double(s.value);
        }
        return {};
    }
    if (r < 0) return "filter " + std::string(s.kind->name) + ": this camera has no driver for it";
    if (s.kind->id == VEXEL_FILTER_PIXEL_CALIB && s.on)
        return "filter drnu refused: the calibration files are missing (see `vexel calib status`)";
    return "filter " + text + " refused by the driver";
}

void apply_filters(vexel_dev* dev, const std::vector<std::string>& filters) {
    for (const std::string& text : filters) {
        const std::string why = apply_filter(dev, text, nullptr);
        if (!why.empty()) fail("%s", why.c_str());
    }
}

void print_filter_states(vexel_dev* dev) {
    std::string line;
    for (const FilterKind& k : kFilters) {
        uint8_t bytes[4] = {};
        const int on = vexel_filter_get(dev, k.id, bytes, sizeof bytes);
        if (on < 0) continue;
        line += line.empty() ? "" : " ";
        line += k.name;
        if (on == 0) {
            line += "=off";
            continue;
        }
        char v[32] = "";
        if (k.real) {
            float f;
            std::memcpy(&f, bytes, sizeof f);
            std::snprintf(v, sizeof v, "=%g", double(f));
        } else if (k.bytes > 0) {
            long long x = 0;
            for (int i = k.bytes - 1; i >= 0; --i) x = (x << 8) | bytes[i];
            if (k.bytes == 4) x = static_cast<int32_t>(x);
            std::snprintf(v, sizeof v, "=%lld", x);
        }
        line += v;
    }
    if (!line.empty()) std::fprintf(out(), "filters   %s\n", line.c_str());
}

}  // namespace vexel_cli
