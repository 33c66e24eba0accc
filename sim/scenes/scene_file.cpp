// Scene files: planes, boxes and spheres in JSON. The text may come from anywhere, so every field is
// checked and named when it is wrong, and counts and sizes are bounded.
#include <cmath>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/sim.hpp"

namespace vxsim {

namespace {

using nlohmann::json;

constexpr double kMaxCoordinate = 1000;  // metres
constexpr double kMaxReflectivity = 10;  // beyond 1 stands for a retro-reflector

struct Bad {
    std::string what;
};

const json& member(const json& obj, const std::string& at, const char* key) {
    const auto it = obj.find(key);
    if (it == obj.end()) throw Bad{at + "." + key + ": missing"};
    return *it;
}

double number(const json& v, const std::string& at, double lo, double hi, bool lo_open = false) {
    if (!v.is_number()) throw Bad{at + ": want a number"};
    const double x = v.get<double>();
    if (!std::isfinite(x) || x > hi || x < lo || (lo_open && x == lo))
        throw Bad{at + ": want a number " + (lo_open ? "above " : "from ") + std::to_string(lo) + " to " +
                  std::to_string(hi)};
    return x;
}

void vec3(const json& v, const std::string& at, double lo, double hi, bool lo_open, double (&out)[3]) {
    if (!v.is_array() || v.size() != 3) throw Bad{at + ": want [x, y, z]"};
    for (int i = 0; i < 3; ++i) out[i] = number(v[size_t(i)], at + "[" + std::to_string(i) + "]", lo, hi, lo_open);
}

void only(const json& obj, const std::string& at, std::initializer_list<const char*> keys) {
    if (!obj.is_object()) throw Bad{at + ": want an object"};
    for (const auto& [k, v] : obj.items()) {
        bool known = false;
        for (const char* key : keys) known = known || k == key;
        if (!known) throw Bad{at + "." + k + ": unknown field"};
    }
}

const json& list(const json& doc, const char* key) {
    static const json empty = json::array();
    const auto it = doc.find(key);
    if (it == doc.end()) return empty;
    if (!it->is_array()) throw Bad{std::string(key) + ": want a list"};
    if (it->size() > kSceneFileMaxObjects)
        throw Bad{std::string(key) + ": at most " + std::to_string(kSceneFileMaxObjects)};
    return *it;
}

}  // namespace

std::optional<Scene> Scene::from_json(const std::string& text, std::string& error) {
    if (text.size() > kSceneFileMaxBytes) {
        error = "larger than " + std::to_string(kSceneFileMaxBytes) + " bytes";
        return std::nullopt;
    }
    // Nesting beyond what the format has is refused before it costs the parser anything.
    int depth = 0;
    for (char ch : text) {
        depth += ch == '[' || ch == '{';
        depth -= ch == ']' || ch == '}';
        if (depth > 8) {
            error = "nested deeper than the format goes";
            return std::nullopt;
        }
    }
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        error = "not JSON";
        return std::nullopt;
    }
    try {
        only(doc, "scene", {"planes", "boxes", "spheres"});
        auto objs = std::make_shared<SceneObjects>();
        const json& planes = list(doc, "planes");
        for (size_t i = 0; i < planes.size(); ++i) {
            const std::string at = "planes[" + std::to_string(i) + "]";
            only(planes[i], at, {"point", "normal", "reflectivity"});
            ScenePlane p;
            double point[3];
            vec3(member(planes[i], at, "point"), at + ".point", -kMaxCoordinate, kMaxCoordinate, false, point);
            vec3(member(planes[i], at, "normal"), at + ".normal", -kMaxCoordinate, kMaxCoordinate, false, p.n);
            const double len = std::sqrt(p.n[0] * p.n[0] + p.n[1] * p.n[1] + p.n[2] * p.n[2]);
            if (len < 1e-6) throw Bad{at + ".normal: want a direction, not [0, 0, 0]"};
            for (double& v : p.n) v /= len;
            p.c = p.n[0] * point[0] + p.n[1] * point[1] + p.n[2] * point[2];
            p.rho = number(member(planes[i], at, "reflectivity"), at + ".reflectivity", 0, kMaxReflectivity);
            objs->planes.push_back(p);
        }
        const json& boxes = list(doc, "boxes");
        for (size_t i = 0; i < boxes.size(); ++i) {
            const std::string at = "boxes[" + std::to_string(i) + "]";
            only(boxes[i], at, {"center", "size", "reflectivity"});
            SceneBox b;
            double centre[3], size[3];
            vec3(member(boxes[i], at, "center"), at + ".center", -kMaxCoordinate, kMaxCoordinate, false, centre);
            vec3(member(boxes[i], at, "size"), at + ".size", 0, kMaxCoordinate, true, size);
            for (int k = 0; k < 3; ++k) {
                b.lo[k] = centre[k] - size[k] / 2;
                b.hi[k] = centre[k] + size[k] / 2;
            }
            b.rho = number(member(boxes[i], at, "reflectivity"), at + ".reflectivity", 0, kMaxReflectivity);
            objs->boxes.push_back(b);
        }
        const json& spheres = list(doc, "spheres");
        for (size_t i = 0; i < spheres.size(); ++i) {
            const std::string at = "spheres[" + std::to_string(i) + "]";
            only(spheres[i], at, {"center", "radius", "reflectivity"});
            SceneSphere b;
            vec3(member(spheres[i], at, "center"), at + ".center", -kMaxCoordinate, kMaxCoordinate, false, b.c);
            b.r = number(member(spheres[i], at, "radius"), at + ".radius", 0, kMaxCoordinate, true);
            b.rho = number(member(spheres[i], at, "reflectivity"), at + ".reflectivity", 0, kMaxReflectivity);
            objs->spheres.push_back(b);
        }
        if (objs->planes.empty() && objs->boxes.empty() && objs->spheres.empty())
            throw Bad{"scene: no planes, boxes or spheres"};
        Scene s;
        s.kind = Kind::file;
        s.objects = std::move(objs);
        return s;
    } catch (const Bad& b) {
        error = b.what;
    } catch (const json::exception& e) {
        error = e.what();
    }
    return std::nullopt;
}

}  // namespace vxsim
