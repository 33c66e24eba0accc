#include "sim/scenes/scene.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>

namespace vxsim {

namespace {

// Plane n . p = c with unit normal n.
void plane(const double (&d)[3], const double (&n)[3], double c, double rho, Hit& h) {
    const double dn = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
    if (std::abs(dn) < 1e-12) return;
    const double t = c / dn;
    if (t > 0 && t < h.t) {
        const double side = dn > 0 ? -1 : 1;
        h = {t, std::abs(dn), rho, {side * n[0], side * n[1], side * n[2]}};
    }
}

struct Box {
    double lo[3], hi[3], rho;
};

// Slab test; the face entered last is the one hit.
void box(const double (&d)[3], const Box& b, Hit& h) {
    double tn = 0, tf = std::numeric_limits<double>::infinity();
    int axis = -1;
    for (int i = 0; i < 3; ++i) {
        if (std::abs(d[i]) < 1e-12) {
            if (0 < b.lo[i] || 0 > b.hi[i]) return;
            continue;
        }
        double t0 = b.lo[i] / d[i], t1 = b.hi[i] / d[i];
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > tn) {
            tn = t0;
            axis = i;
        }
        tf = std::min(tf, t1);
    }
    if (axis < 0 || tn > tf || tn >= h.t) return;
    h = {tn, std::abs(d[axis]), b.rho, {}};
    h.n[axis] = d[axis] > 0 ? -1 : 1;
}

// The near side of the sphere; a camera inside it sees nothing of it, as inside a box.
void sphere(const double (&d)[3], const double (&c)[3], double r, double rho, Hit& h) {
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double dc = d[0] * c[0] + d[1] * c[1] + d[2] * c[2];
    const double cc = c[0] * c[0] + c[1] * c[1] + c[2] * c[2] - r * r;
    const double disc = dc * dc - dd * cc;
    if (cc <= 0 || dc <= 0 || disc < 0) return;
    const double t = cc / (dc + std::sqrt(disc));  // the nearer root, without cancellation
    if (t >= h.t) return;
    // Normalised by its own length: far from a small sphere, t d - c is mostly rounding.
    double n[3] = {t * d[0] - c[0], t * d[1] - c[1], t * d[2] - c[2]};
    const double len = std::hypot(n[0], n[1], n[2]);
    if (!(len > 0)) return;
    double dn = 0;
    for (int i = 0; i < 3; ++i) {
        n[i] /= len;
        dn += n[i] * d[i];
    }
    h = {t, std::abs(dn), rho, {n[0], n[1], n[2]}};
}

// A scene file's objects, the one that moves (counted over planes, boxes, spheres) displaced by v.
void file_objects(const SceneObjects& o, const double (&d)[3], int moving, const double (&v)[3], Hit& h) {
    int k = 0;
    for (const ScenePlane& p : o.planes) {
        const double c = k++ == moving ? p.c + p.n[0] * v[0] + p.n[1] * v[1] + p.n[2] * v[2] : p.c;
        plane(d, p.n, c, p.rho, h);
    }
    for (const SceneBox& b : o.boxes) {
        const double s = k++ == moving ? 1 : 0;
        box(d, {{b.lo[0] + s * v[0], b.lo[1] + s * v[1], b.lo[2] + s * v[2]},
                {b.hi[0] + s * v[0], b.hi[1] + s * v[1], b.hi[2] + s * v[2]}, b.rho}, h);
    }
    for (const SceneSphere& b : o.spheres) {
        const double s = k++ == moving ? 1 : 0;
        sphere(d, {b.c[0] + s * v[0], b.c[1] + s * v[1], b.c[2] + s * v[2]}, b.r, b.rho, h);
    }
}

}  // namespace

Hit trace(const Scene& sc, const double (&d)[3], double t_s) {
    Hit h;
    // Where the moving object has got to; a plane moves along its normal only.
    double shift[4][3] = {};
    if (sc.moving() && sc.motion.object < 4 && sc.kind != Scene::Kind::file)
        for (int i = 0; i < 3; ++i) shift[sc.motion.object][i] = sc.motion.velocity[i] * t_s;
    auto along = [&](const double (&n)[3]) { return n[0] * shift[0][0] + n[1] * shift[0][1] + n[2] * shift[0][2]; };
    switch (sc.kind) {
        case Scene::Kind::pattern:
            break;
        case Scene::Kind::wall:
            plane(d, {0, 0, 1}, sc.distance_m + shift[0][2], 1.0, h);
            break;
        case Scene::Kind::tilt: {
            const double a = sc.tilt_deg * std::numbers::pi / 180;
            const double n[3] = {0, std::sin(a), std::cos(a)};
            plane(d, n, sc.distance_m * std::cos(a) + along(n), 1.0, h);
            break;
        }
        case Scene::Kind::corner: {
            // Two walls at right angles meeting straight ahead at distance_m, and the floor;
            // nearest-hit on whole planes leaves exactly the concave corner.
            const double r = std::numbers::sqrt2 / 2;
            const double left[3] = {-r, 0, r}, right[3] = {r, 0, r};
            plane(d, left, sc.distance_m * r + along(left), 0.9, h);
            plane(d, right, sc.distance_m * r + along(right), 0.9, h);
            plane(d, {0, 1, 0}, 1.0 + shift[0][1], 0.6, h);
            break;
        }
        case Scene::Kind::file:
            if (!sc.objects) break;
            if (sc.moving()) {
                const double v[3] = {sc.motion.velocity[0] * t_s, sc.motion.velocity[1] * t_s, sc.motion.velocity[2] * t_s};
                file_objects(*sc.objects, d, sc.motion.object, v, h);
            } else {
                file_objects(*sc.objects, d, -1, {0, 0, 0}, h);
            }
            break;
        case Scene::Kind::boxes: {
            static constexpr Box kBoxes[] = {
                {{-1.3, 0.2, 1.6}, {-0.6, 1.0, 2.2}, 1.2},
                {{-0.3, -0.3, 2.4}, {0.5, 1.0, 3.0}, 0.8},
                {{0.8, 0.5, 3.0}, {1.4, 1.0, 3.5}, 1.6},
            };
            plane(d, {0, 0, 1}, 4.0 + shift[0][2], 1.0, h);
            plane(d, {0, 1, 0}, 1.0, 0.6, h);
            for (int i = 0; i < 3; ++i) {
                Box b = kBoxes[i];
                for (int j = 0; j < 3; ++j) {
                    b.lo[j] += shift[i + 1][j];
                    b.hi[j] += shift[i + 1][j];
                }
                box(d, b, h);
            }
            break;
        }
    }
    return h;
}

namespace {

bool number(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end;
    v = std::strtod(s.c_str(), &end);
    return *end == 0 && std::isfinite(v);
}

}  // namespace

bool Scene::set_motion(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string obj = text.substr(0, colon);
    int index = -1;
    if (kind == Kind::file) {
        // planeN, boxN, sphereN: the file's own, counted from 1.
        if (!objects) return false;
        const size_t counts[3] = {objects->planes.size(), objects->boxes.size(), objects->spheres.size()};
        const char* const names[3] = {"plane", "box", "sphere"};
        size_t before = 0;
        for (int i = 0; i < 3; before += counts[i++]) {
            const size_t len = std::strlen(names[i]);
            if (obj.compare(0, len, names[i]) != 0 || obj.size() == len || obj.size() > len + 2) continue;
            const std::string digits = obj.substr(len);
            if (!std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) continue;
            const size_t n = std::stoul(digits);
            if (n >= 1 && n <= counts[i]) index = static_cast<int>(before + n - 1);
        }
    } else if (obj == "wall") {
        index = 0;
    } else if (obj.size() == 4 && obj.rfind("box", 0) == 0 && obj[3] >= '1' && obj[3] <= '3') {
        index = obj[3] - '0';
    }
    if (index < 0 || kind == Kind::pattern || (kind != Kind::file && index > 0 && kind != Kind::boxes)) return false;
    double v[3];
    std::string rest = text.substr(colon + 1);
    for (int i = 0; i < 3; ++i) {
        const auto comma = rest.find(',');
        if ((i < 2) == (comma == std::string::npos)) return false;
        if (!number(rest.substr(0, comma), v[i]) || std::abs(v[i]) > 100) return false;
        rest = i < 2 ? rest.substr(comma + 1) : "";
    }
    motion.object = index;
    std::copy(v, v + 3, motion.velocity);
    return true;
}

std::optional<Scene> Scene::parse(const std::string& text) {
    Scene s;
    const auto c1 = text.find(':');
    const std::string kind = text.substr(0, c1);
    const std::string rest = c1 == std::string::npos ? "" : text.substr(c1 + 1);
    if (kind == "pattern" || kind == "boxes" || (kind == "corner" && c1 == std::string::npos)) {
        if (c1 != std::string::npos) return std::nullopt;
        s.kind = kind == "pattern" ? Kind::pattern : kind == "boxes" ? Kind::boxes : Kind::corner;
        if (s.kind == Kind::corner) s.distance_m = 3.0;
        return s;
    }
    const auto c2 = rest.find(':');
    if (kind == "wall" || kind == "corner") {
        s.kind = kind == "wall" ? Kind::wall : Kind::corner;
        if (c2 != std::string::npos || !number(rest, s.distance_m)) return std::nullopt;
    } else if (kind == "tilt") {
        s.kind = Kind::tilt;
        if (c2 == std::string::npos || !number(rest.substr(0, c2), s.distance_m) ||
            !number(rest.substr(c2 + 1), s.tilt_deg) || std::abs(s.tilt_deg) >= 89)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (s.distance_m <= 0 || s.distance_m > 1000) return std::nullopt;
    return s;
}

}  // namespace vxsim
