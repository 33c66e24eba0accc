// Feeds arbitrary text to the simulated camera's scene-file reader (vexel-sim --scene FILE.json)
// and looks at whatever scene it accepts, ray by ray, as the camera would.
//
// Input: the file's bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/scenes/scene.hpp"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string why;
    const auto sc = vxsim::Scene::from_json(std::string(reinterpret_cast<const char*>(data), size), why);
    check(sc.has_value() == why.empty(), "a refusal says why, an accepted scene has no complaint");
    if (!sc) return 0;
    check(sc->objects && sc->objects->planes.size() + sc->objects->boxes.size() > 0, "an accepted scene has objects");
    check(sc->objects->planes.size() <= vxsim::kSceneFileMaxObjects &&
              sc->objects->boxes.size() <= vxsim::kSceneFileMaxObjects,
          "counts bounded");
    for (int i = -3; i <= 3; ++i)
        for (int j = -3; j <= 3; ++j) {
            const double d[3] = {i * 0.25, j * 0.25, 1};
            const vxsim::Hit h = vxsim::trace(*sc, d);
            if (!std::isfinite(h.t)) continue;
            check(h.t > 0 && std::isfinite(h.cos_dn) && std::isfinite(h.rho) && h.rho >= 0, "a hit is in front");
            check(std::abs(std::hypot(h.n[0], h.n[1], h.n[2]) - 1) < 1e-6, "a unit normal");
        }
    return 0;
}
