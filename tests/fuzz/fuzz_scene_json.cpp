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
    const auto& o = *sc->objects;
    check(o.planes.size() + o.boxes.size() + o.spheres.size() > 0, "an accepted scene has objects");
    check(o.planes.size() <= vxsim::kSceneFileMaxObjects && o.boxes.size() <= vxsim::kSceneFileMaxObjects &&
              o.spheres.size() <= vxsim::kSceneFileMaxObjects,
          "counts bounded");
    // The last object of the file moving, as --motion would have it, half a second on.
    vxsim::Scene moving = *sc;
    const char* kind = !o.spheres.empty() ? "sphere" : !o.boxes.empty() ? "box" : "plane";
    const size_t n = !o.spheres.empty() ? o.spheres.size() : !o.boxes.empty() ? o.boxes.size() : o.planes.size();
    check(moving.set_motion(kind + std::to_string(n) + ":1,-2,3"), "every object of the file can move");
    for (int i = -3; i <= 3; ++i)
        for (int j = -3; j <= 3; ++j)
            for (const vxsim::Scene* s : {&sc.value(), static_cast<const vxsim::Scene*>(&moving)}) {
                const double d[3] = {i * 0.25, j * 0.25, 1};
                const vxsim::Hit h = vxsim::trace(*s, d, 0.5);
                if (!std::isfinite(h.t)) continue;
                check(h.t > 0 && std::isfinite(h.cos_dn) && std::isfinite(h.rho) && h.rho >= 0, "a hit is in front");
                check(std::abs(std::hypot(h.n[0], h.n[1], h.n[2]) - 1) < 1e-6, "a unit normal");
            }
    return 0;
}
