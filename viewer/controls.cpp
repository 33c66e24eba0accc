#include "viewer/controls.hpp"

#include <cstddef>

namespace vexel_view {

namespace {

// Plain decimal digits only: no sign, no spaces, no hex, at most 9 digits so nothing overflows.
bool number(std::string_view s, Range r, long long& v, std::string& why) {
    v = 0;
    bool ok = !s.empty() && s.size() <= 9;
    for (char c : s) {
        if (c < '0' || c > '9') ok = false;
        if (ok) v = v * 10 + (c - '0');
    }
    if (ok && v >= r.lo && v <= r.hi) return true;
    why = "'" + std::string(s.substr(0, 32)) + "' not in range " + std::to_string(r.lo) + " to " + std::to_string(r.hi);
    return false;
}

}  // namespace

std::optional<Control> parse_control(std::string_view text, const FilterCheck& check_filter, std::string& why) {
    constexpr std::size_t kLongest = 256;
    if (text.size() > kLongest) {
        why = "control message too long";
        return std::nullopt;
    }
    const std::size_t sp = text.find(' ');
    const std::string_view name = text.substr(0, sp);
    const std::string_view arg = sp == std::string_view::npos ? std::string_view{} : text.substr(sp + 1);
    Control c;
    if (name == "integration") {
        c.kind = Control::integration;
        if (!number(arg, kIntegrationUs, c.value, why)) {
            why = "integration time " + why + " us";
            return std::nullopt;
        }
        return c;
    }
    if (name == "fps") {
        c.kind = Control::frame_rate;
        if (!number(arg, kFrameRate, c.value, why)) {
            why = "frame rate " + why + " fps";
            return std::nullopt;
        }
        return c;
    }
    if (name == "pause" || name == "record") {
        c.kind = name == "pause" ? Control::pause : Control::record;
        if (!number(arg, {0, 1}, c.value, why)) {
            why = std::string(name) + " " + why;
            return std::nullopt;
        }
        return c;
    }
    if (name == "filter") {
        c.kind = Control::filter_setting;
        c.filter = std::string(arg);
        why = c.filter.empty() ? "filter needs NAME[=VALUE]" : check_filter(c.filter);
        if (!why.empty()) return std::nullopt;
        return c;
    }
    why = "unknown control '" + std::string(name.substr(0, 32)) + "'";
    return std::nullopt;
}

}  // namespace vexel_view
