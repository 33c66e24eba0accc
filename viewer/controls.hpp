// Control messages from the page. Every one is checked here, with the ranges the command line
// uses, before it reaches the camera.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vexel_view {

struct Range {
    long long lo, hi;
};
// Integration time in microseconds (the sensor's 3-D limit) and frame rate in frames per second.
constexpr Range kIntegrationUs{1, 4000};
constexpr Range kFrameRate{1, 100};

struct Control {
    enum Kind { integration, frame_rate, filter_setting, pause, record } kind = pause;
    long long value = 0;  // integration, frame_rate; pause: 1 paused, 0 running; record: 1 start, 0 stop
    std::string filter;   // filter_setting: NAME[=VALUE] as --filter takes it
};

// The command line's own check of NAME[=VALUE]: empty when valid, otherwise why not.
using FilterCheck = std::function<std::string(const std::string&)>;

// One message: "integration US", "fps N", "filter NAME[=VALUE]", "pause 0|1" or "record 0|1".
// Returns the control, or nothing with the reason in `why`.
std::optional<Control> parse_control(std::string_view text, const FilterCheck& check_filter, std::string& why);

}  // namespace vexel_view
