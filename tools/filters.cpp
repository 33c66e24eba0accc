// Processing switches by name, onto the filter ids of <vexel/features.h>.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.hpp"

namespace vexel_cli {

namespace {

// The library's table of switches; the names, bounds and defaults live there alone.
std::string known_names() {
    std::string names;
    for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i)
        names += std::string(i ? ", " : "") + k->name;
    return names;
}

std::string number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

struct Setting {
    const vexel_filter_info* kind = nullptr;
    bool on = true;
    double value = 0;
};

// Parses NAME[=VALUE]; on failure returns false with the reason in `why`.
bool parse(const std::string& text, Setting& s, std::string& why) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    s.kind = vexel_filter_find(name.c_str());
    if (!s.kind) {
        why = "unknown filter '" + name + "' (" + known_names() + ")";
        return false;
    }
    const vexel_filter_info& k = *s.kind;
    const std::string n = k.name;
    if (eq == std::string::npos) {
        if (k.kind != VEXEL_FILTER_VALUE_NONE && !k.has_default) {
            why = n + " needs a value: " + n + "=N (" + k.what + ")";
            return false;
        }
        s.value = k.default_value;
        return true;
    }
    const std::string v = text.substr(eq + 1);
    if (v == "off") {
        s.on = false;
        return true;
    }
    if (k.kind == VEXEL_FILTER_VALUE_NONE) {
        why = n + " takes no value (" + n + " or " + n + "=off)";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const bool real = k.kind == VEXEL_FILTER_VALUE_FLOAT;
    s.value = real ? std::strtod(v.c_str(), &end) : double(std::strtoll(v.c_str(), &end, 0));
    const bool low_ok = k.lo_open ? s.value > k.lo : s.value >= k.lo;
    if (v.empty() || *end != '\0' || errno == ERANGE || !low_ok || !(s.value <= k.hi)) {
        why = n + " value '" + v + "' not in range" + (real ? ": " : " ") + (real ? (k.lo_open ? "above " : "from ") : "") +
              number(k.lo) + " to " + number(k.hi) + " (" + k.what + ")";
        return false;
    }
    if (k.odd && std::fmod(s.value, 2.0) == 0.0) {
        why = n + " kernel must be odd";
        return false;
    }
    return true;
}

}  // namespace

CLI::Option* add_filter_option(CLI::App* app, std::vector<std::string>& filters) {
    std::string help = "processing switch NAME[=VALUE], repeatable or comma-separated:";
    for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i) {
        help += std::string(i ? ", " : " ") + k->name;
        if (k->kind != VEXEL_FILTER_VALUE_NONE) help += k->has_default ? "[=N]" : "=N";
    }
    return app->add_option("--filter", filters, help + "; NAME=off switches it off")
        ->delimiter(',')
        ->check(CLI::Validator([](std::string& text) { return check_filter(text); }, "NAME[=VALUE]"));
}

std::vector<FilterInfo> filter_list(vexel_dev* dev) {
    std::vector<FilterInfo> list;
    for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i) {
        FilterInfo f{k->name, k->what, k->kind != VEXEL_FILTER_VALUE_NONE, k->kind == VEXEL_FILTER_VALUE_FLOAT,
                     k->lo, k->hi, !k->lo_open, k->on_at_open != 0, k->value_at_open};
        double now = 0;
        const int32_t on = dev ? vexel_filter_value(dev, k->id, &now) : -1;
        if (on >= 0) f.on = on == 1, f.value = now;
        list.push_back(f);
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
    const int r = vexel_filter_set(dev, s.kind->id, s.on ? 1 : 0, s.value);
    const std::string name = s.kind->name;
    if (r == 1) {
        if (now) {
            now->name = name;
            now->on = s.on;
            if (s.on && s.kind->kind != VEXEL_FILTER_VALUE_NONE) now->value = s.value;
        }
        return {};
    }
    if (r == -1) return "filter " + name + ": this camera has no driver for it";
    if (s.kind->id == VEXEL_FILTER_PIXEL_CALIB && s.on)
        return "filter drnu refused: the calibration files are missing (see `vexel calib status`)";
    return "filter " + name + (s.on ? "" : "=off") + " refused by the driver";
}

void apply_filters(vexel_dev* dev, const std::vector<std::string>& filters) {
    for (const std::string& text : filters) {
        const std::string why = apply_filter(dev, text, nullptr);
        if (!why.empty()) fail("%s", why.c_str());
    }
}

void prefer_tool_defaults(vexel_dev* dev) {
    if (vexel_filter_get(dev, VEXEL_FILTER_TEMP_TWO_SIDED, nullptr, 0) >= 0)
        vexel_filter_set(dev, VEXEL_FILTER_TEMP_TWO_SIDED, 1, 0);
}

void print_filter_states(vexel_dev* dev) {
    std::string line;
    for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i) {
        double v = 0;
        const int on = vexel_filter_value(dev, k->id, &v);
        if (on < 0) continue;
        line += std::string(line.empty() ? "" : " ") + k->name;
        if (on == 0)
            line += "=off";
        else if (k->kind != VEXEL_FILTER_VALUE_NONE)
            line += "=" + number(v);
    }
    if (!line.empty()) std::fprintf(out(), "filters   %s\n", line.c_str());
}

}  // namespace vexel_cli
