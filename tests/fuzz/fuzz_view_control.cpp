// Feeds arbitrary text to the viewer's control parser as a page (or anything that opened a
// socket) may send it; a control that passes is within the ranges the command line uses.
//
// Input: one control message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "viewer/controls.hpp"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

bool within(long long v, vexel_view::Range r) {
    return v >= r.lo && v <= r.hi;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexel_view;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string why;
    const auto c = parse_control(text, [](const std::string& f) { return f == "median=3" ? "" : std::string("no"); },
                                 why);
    if (!c) {
        check(!why.empty(), "refusal says why");
        return 0;
    }
    switch (c->kind) {
        case Control::integration: check(within(c->value, kIntegrationUs), "integration time out of range"); break;
        case Control::frame_rate: check(within(c->value, kFrameRate), "frame rate out of range"); break;
        case Control::pause: check(c->value == 0 || c->value == 1, "pause neither 0 nor 1"); break;
        case Control::record: check(c->value == 0 || c->value == 1, "record neither 0 nor 1"); break;
        case Control::filter_setting: check(c->filter == "median=3", "filter the check refused"); break;
    }
    return 0;
}
