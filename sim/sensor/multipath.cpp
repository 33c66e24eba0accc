#include "sim/sensor/multipath.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/sensor/model.hpp"
#include "sim/sensor/random.hpp"

namespace vxsim {

namespace {

constexpr unsigned kBlock = 16;     // pixels a side of one relaying patch: 20 x 15 patches
constexpr float kMaxRatio = 10.0f;  // grazing receivers: their direct light tends to nothing

// The relaying patches as arrays, so the receivers' loop runs over them in vector registers.
struct Relays {
    std::vector<float> x, y, z, nx, ny, nz, power, spread, r;
};

// Irradiance a patch of power Phi sends to P: Phi/pi cos_S cos_P / d^2. Its own area A keeps
// the near field finite (a disc's form factor on its axis is A / (pi d^2 + A)). This file is
// built to vectorise the loop (sim/CMakeLists.txt).
void receive(const Relays& s, const float p[3], const float n[3], float& irr, float& path) {
    const unsigned m = static_cast<unsigned>(s.x.size());
    const float *__restrict x = s.x.data(), *__restrict y = s.y.data(), *__restrict z = s.z.data();
    const float *__restrict nx = s.nx.data(), *__restrict ny = s.ny.data(), *__restrict nz = s.nz.data();
    const float *__restrict power = s.power.data(), *__restrict spread = s.spread.data(), *__restrict r = s.r.data();
    const float px = p[0], py = p[1], pz = p[2], qx = n[0], qy = n[1], qz = n[2];
    float e = 0, l = 0;
    for (unsigned j = 0; j < m; ++j) {
        const float dx = x[j] - px, dy = y[j] - py, dz = z[j] - pz;
        const float d2 = dx * dx + dy * dy + dz * dz + 1e-9f;
        float out = -(nx[j] * dx + ny[j] * dy + nz[j] * dz);
        float in = qx * dx + qy * dy + qz * dz;
        out = out > 0 ? out : 0;
        in = in > 0 ? in : 0;
        const float w = power[j] * out * in / (d2 * (d2 + spread[j]));
        e += w;
        l += w * (r[j] + std::sqrt(d2));
    }
    irr = e;
    path = l;
}

}  // namespace

void interreflection(const std::vector<Surfel>& px, double beam_exponent, double strength, uint64_t seed,
                     std::vector<float>& ratio, std::vector<float>& path_m) {
    ratio.assign(kPixels, 0.0f);
    path_m.assign(kPixels, 0.0f);
    if (strength <= 0) return;
    auto range = [](const Surfel& s) { return std::sqrt(s.p[0] * s.p[0] + s.p[1] * s.p[1] + s.p[2] * s.p[2]); };
    // The LED's light on a surface at angle alpha off the axis, per unit solid angle.
    auto beam = [&](const Surfel& s) { return std::pow(s.p[2] / range(s), beam_exponent); };
    Relays rel;
    uint64_t rng = seed ^ 0x5851F42D4C957F2Dull;
    for (unsigned bv = 0; bv < kHeight; bv += kBlock)
        for (unsigned bu = 0; bu < kWidth; bu += kBlock) {
            // The block's light is what its pixels' solid angles catch of the beam; it leaves
            // from a pixel of the block picked at random.
            double power = 0, omega = 0;
            for (unsigned v = bv; v < bv + kBlock; ++v)
                for (unsigned u = bu; u < bu + kBlock; ++u) {
                    const Surfel& s = px[v * kWidth + u];
                    if (s.solid_angle <= 0) continue;
                    power += std::min(1.0f, s.rho) * beam(s) * s.solid_angle;
                    omega += s.solid_angle;
                }
            const unsigned pick = static_cast<unsigned>(splitmix64(rng) % (kBlock * kBlock));
            if (power <= 0) continue;
            const Surfel* src = nullptr;
            for (unsigned i = 0; i < kBlock * kBlock && !src; ++i) {
                const unsigned k = (pick + i) % (kBlock * kBlock);
                const Surfel& s = px[(bv + k / kBlock) * kWidth + bu + k % kBlock];
                if (s.solid_angle > 0) src = &s;
            }
            const double r = range(*src);
            const double cos_view = std::abs(src->n[0] * src->p[0] + src->n[1] * src->p[1] + src->n[2] * src->p[2]) / r;
            const double area = omega * r * r / std::max(cos_view, 1e-3);
            rel.x.push_back(src->p[0]);
            rel.y.push_back(src->p[1]);
            rel.z.push_back(src->p[2]);
            rel.nx.push_back(src->n[0]);
            rel.ny.push_back(src->n[1]);
            rel.nz.push_back(src->n[2]);
            rel.power.push_back(static_cast<float>(power / std::numbers::pi));
            rel.spread.push_back(static_cast<float>(area / std::numbers::pi));
            rel.r.push_back(static_cast<float>(r));
        }
    // The relayed light varies slowly over a surface: received at every kStep-th pixel and
    // interpolated between the nodes that lie on the pixel's own surface; a pixel without such a
    // node (a small or thin surface) receives for itself.
    constexpr unsigned kStep = 4;
    const unsigned nu = (kWidth - 1) / kStep + 2, nv = (kHeight - 1) / kStep + 2;
    auto node_u = [&](unsigned i) { return std::min(i * kStep, kWidth - 1); };
    auto node_v = [&](unsigned j) { return std::min(j * kStep, kHeight - 1); };
    std::vector<float> node_e(size_t(nu) * nv, 0.0f), node_l(size_t(nu) * nv, 0.0f);
    for (unsigned j = 0; j < nv; ++j)
        for (unsigned i = 0; i < nu; ++i) {
            const Surfel& s = px[node_v(j) * kWidth + node_u(i)];
            if (s.solid_angle > 0) receive(rel, s.p, s.n, node_e[j * nu + i], node_l[j * nu + i]);
        }
    for (unsigned v = 0; v < kHeight; ++v)
        for (unsigned u = 0; u < kWidth; ++u) {
            const unsigned q = v * kWidth + u;
            const Surfel& s = px[q];
            if (s.solid_angle <= 0) continue;
            float irr = 0, path = 0, weight = 0;
            const unsigned i0 = std::min(u / kStep, nu - 2), j0 = std::min(v / kStep, nv - 2);
            for (unsigned j = j0; j <= j0 + 1; ++j)
                for (unsigned i = i0; i <= i0 + 1; ++i) {
                    const Surfel& c = px[node_v(j) * kWidth + node_u(i)];
                    if (c.solid_angle <= 0) continue;
                    const float same = c.n[0] * s.n[0] + c.n[1] * s.n[1] + c.n[2] * s.n[2];
                    const float off = c.n[0] * (c.p[0] - s.p[0]) + c.n[1] * (c.p[1] - s.p[1]) + c.n[2] * (c.p[2] - s.p[2]);
                    if (same < 0.999f || std::abs(off) > 0.01f) continue;
                    const float span_u = float(std::max(1u, node_u(i0 + 1) - node_u(i0)));
                    const float span_v = float(std::max(1u, node_v(j0 + 1) - node_v(j0)));
                    const float wu = 1 - std::abs(float(u) - float(node_u(i))) / span_u;
                    const float wv = 1 - std::abs(float(v) - float(node_v(j))) / span_v;
                    const float w = std::max(0.0f, wu) * std::max(0.0f, wv) + 1e-6f;
                    irr += w * node_e[j * nu + i];
                    path += w * node_l[j * nu + i];
                    weight += w;
                }
            if (weight > 0) {
                irr /= weight;
                path /= weight;
            } else {
                receive(rel, s.p, s.n, irr, path);
            }
            if (irr <= 0) continue;
            const double r = range(s);
            // The direct light on P, in the same units: the beam over r^2, at P's angle of incidence.
            const double cos_in = std::abs(s.n[0] * s.p[0] + s.n[1] * s.p[1] + s.n[2] * s.p[2]) / r;
            const double direct = beam(s) * cos_in / (r * r);
            ratio[q] = static_cast<float>(std::min<double>(kMaxRatio, strength * irr / std::max(direct, 1e-12)));
            // The mean path over the surface's nodes, plus this pixel's own way back.
            path_m[q] = static_cast<float>((path / irr + r) / 2);
        }
}

}  // namespace vxsim
