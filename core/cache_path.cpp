// The calibration cache: a directory per user and camera, for programs that should not depend on
// the working directory for the camera's calibration.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vexel/device.h>
#include <vexel/path.h>
#include <vexel/transport.h>

#include "core/log.hpp"

namespace {

// The device list copies this run of the record into the transport's record and back.
constexpr size_t kIdentityBytes = offsetof(vexel_dev, reserved) + 36 - offsetof(vexel_dev, fd);
static_assert(kIdentityBytes == offsetof(vexel_ll_dev, reserved) + 36 - offsetof(vexel_ll_dev, fd));

std::string cache_root() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/vexel";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.cache/vexel";
    return {};
}

// A serial as one safe path component.
std::string component(const uint8_t* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i]; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += std::isalnum(c) || c == '-' || c == '_' || c == '.' ? static_cast<char>(c) : '_';
    }
    return out.empty() || out == "." || out == ".." ? "unknown" : out;
}

}  // namespace

extern "C" VX_API int vexel_path_cfg_cache(vexel_dev* dev) {
    if (!dev || dev->handle) {
        vx::logf(vx::kErr, "[%s] wrong params: dev=%p (a listed camera, not open)\n", __func__,
                 static_cast<void*>(dev));
        return -1;
    }
    const std::string root = cache_root();
    if (root.empty()) {
        vx::logf(vx::kErr, "[%s] neither XDG_CACHE_HOME nor HOME names a directory\n", __func__);
        return -1;
    }
    vexel_ll_dev ll{};
    std::memcpy(&ll.fd, &dev->fd, kIdentityBytes);
    ll.valid = dev->valid;
    if (!vexel_ll_dev_open(&ll)) {
        vx::logf(vx::kErr, "[%s] cannot open the camera at bus %u port %u\n", __func__, dev->bus, dev->port);
        return -1;
    }
    vexel_ll_param_rec recs[3] = {};
    recs[0].id = VX_PARAM_DEV_ID;
    recs[1].id = VX_PARAM_PRODUCT;
    recs[2].id = VX_PARAM_CHIP_INFO;
    const int ok = vexel_ll_param_get(&ll, recs, 3);
    vexel_ll_dev_close(&ll);
    if (!ok) {
        vx::logf(vx::kErr, "[%s] the camera at bus %u port %u does not answer\n", __func__, dev->bus, dev->port);
        return -1;
    }
    std::memset(dev->dev_id, 0, sizeof dev->dev_id);
    std::memset(dev->product, 0, sizeof dev->product);
    std::memcpy(dev->dev_id, recs[0].val, std::min<size_t>(recs[0].len, sizeof recs[0].val));
    std::memcpy(dev->product, recs[1].val, std::min<size_t>(recs[1].len, sizeof recs[1].val));
    const unsigned chip = recs[2].val[2] | recs[2].val[3] << 8;
    const std::string dir = root + "/" + component(reinterpret_cast<const uint8_t*>(dev->dev_id), sizeof recs[0].val) +
                            "-" + std::to_string(chip) + "/";
    if (dir.size() > 255) {
        vx::logf(vx::kErr, "[%s] %s: longer than the 255 characters of the prefix\n", __func__, dir.c_str());
        return -1;
    }
    return vexel_path_cfg(dir.c_str()) == 0 ? 0 : 1;
}
