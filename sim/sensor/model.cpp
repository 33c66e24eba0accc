#include "sim/sensor/model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/scenes/scene.hpp"
#include "sim/sensor/lens.hpp"
#include "sim/sensor/multipath.hpp"
#include "sim/sensor/random.hpp"

namespace vxsim {

namespace {

constexpr double kRefAmplitude = 1000.0;  // noise_mm is the distance sigma at this amplitude
constexpr double kFpnSmoothShare = 0.9;   // of the fixed-pattern sigma; the rest is pixel noise
constexpr double kFullWell = 4094;        // tap capacity in sample counts
constexpr double kKnee = 0.8 * kFullWell; // where a tap starts to lose charge
constexpr double kHotSignal = 400;        // dark signal of a hot pixel, counts on every DCS
constexpr double kMixedSpreadM = 0.05;    // footprint depth spread that makes a pixel "mixed"
constexpr double kOnePlaneM = 0.001;      // footprint rays this close to one plane see one surface
constexpr double kSameSurfaceM = 0.01;    // below this the footprint is one ray
constexpr double kMultipathPullM = 0.005; // indirect light that moves the phase this far flags the pixel

// Whether the five rays of a footprint (centre first) hit one plane: on a plane n . p = c the
// inverse of the ray parameter, 1/t = (n . d) / c, is affine in the direction's x and y, so a least-
// squares affine fit leaves no residual; a step between two surfaces leaves at least a quarter of it.
// `range` scales the residual to metres.
bool one_plane(const double (&p)[5][3], double range) {
    double sxx = 0, sxy = 0, syy = 0, sxw = 0, syw = 0, sw = 0;
    double dx[5], dy[5];
    for (int j = 0; j < 5; ++j) {
        dx[j] = p[j][0] - p[0][0];
        dy[j] = p[j][1] - p[0][1];
    }
    double mx = 0, my = 0;
    for (int j = 0; j < 5; ++j) {
        mx += dx[j] / 5;
        my += dy[j] / 5;
        sw += p[j][2] / 5;
    }
    for (int j = 0; j < 5; ++j) {
        const double x = dx[j] - mx, y = dy[j] - my, w = p[j][2] - sw;
        sxx += x * x;
        sxy += x * y;
        syy += y * y;
        sxw += x * w;
        syw += y * w;
    }
    const double det = sxx * syy - sxy * sxy;
    if (!(det > 0)) return false;
    const double a = (sxw * syy - syw * sxy) / det, b = (syw * sxx - sxw * sxy) / det;
    double worst = 0;
    for (int j = 0; j < 5; ++j) {
        const double fit = sw + a * (dx[j] - mx) + b * (dy[j] - my);
        worst = std::max(worst, std::abs(p[j][2] - fit) / p[j][2]);
    }
    return worst * range <= kOnePlaneM;
}

// Where a footprint ray hit: its direction (x, y, 1) and the plane n . p = c it met there.
struct FootHit {
    double d[2];
    double n[3];
    double c;
    // 1/t of this plane along direction (x, y, 1): affine in x and y.
    double w(double x, double y) const { return (n[0] * x + n[1] * y + n[2]) / c; }
};

// Whether two footprint rays on different planes see one surface folded at a crease (a box's
// edge, the foot of a wall) rather than a near surface in front of a far one. On a crease the
// planes cross between the two directions and the crossing is what the scene shows there; the
// rays' lengths then run continuously from one to the other, and their blend lies on the surface.
// At a step the planes do not cross between them, or their crossing is hidden behind the nearer
// surface (a box's top plane meets the wall behind it out of sight).
template <class Trace>
bool crease(const FootHit& a, const FootHit& b, Trace&& trace_at) {
    const double f0 = a.w(a.d[0], a.d[1]) - b.w(a.d[0], a.d[1]);
    const double f1 = a.w(b.d[0], b.d[1]) - b.w(b.d[0], b.d[1]);
    if (f0 * f1 > 0 || f0 == f1) return false;
    const double s = f0 / (f0 - f1);
    const double x = a.d[0] + s * (b.d[0] - a.d[0]), y = a.d[1] + s * (b.d[1] - a.d[1]);
    const double t = 1 / a.w(x, y);
    return t > 0 && std::abs(trace_at(x, y) - t) <= kOnePlaneM;
}

// Whether a footprint whose rays all hit the scene mixes surfaces at different depths: some two of
// its rays lie on different planes (more than 1 mm apart along either ray) not joined by a crease.
template <class Trace>
bool steps(const FootHit (&h)[5], unsigned n, Trace&& trace_at) {
    for (unsigned i = 0; i < n; ++i)
        for (unsigned j = i + 1; j < n; ++j) {
            const double ti = 1 / h[i].w(h[i].d[0], h[i].d[1]), tj = 1 / h[j].w(h[j].d[0], h[j].d[1]);
            const bool same = std::abs(1 / h[j].w(h[i].d[0], h[i].d[1]) - ti) <= kOnePlaneM &&
                              std::abs(1 / h[i].w(h[j].d[0], h[j].d[1]) - tj) <= kOnePlaneM;
            if (!same && !crease(h[i], h[j], trace_at)) return true;
        }
    return false;
}

}  // namespace

uint16_t range_unit_mm(uint32_t freq_khz) {
    return static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / std::max<uint32_t>(freq_khz, 1)));
}

double phase_per_mm(uint32_t freq_khz) {
    return double(kPhasePeriod) / std::max<uint16_t>(range_unit_mm(freq_khz), 1);
}

double drift_phase(const SensorSettings& s, const DriftCoefficients& d) {
    return d.mm(s.sensor_temp - kCalibSensorTemp, s.illum_temp - kCalibIllumTemp) * phase_per_mm(s.freq_khz);
}

double dcs_interval_s(const SensorSettings& s) {
    return (s.integration_us + kDcsReadoutUs) * 1e-6;
}

int32_t calib_drnu_offset(int32_t phase_offset) {
    // The host sets its offset phase to trunc(885000 / U10 - D); pick the D that makes it -g.
    const auto u10 = static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / (kCalibFreqKhz * 10.0)));
    const double a = 885000.0 / u10;
    for (double base : {std::floor(a), std::ceil(a)}) {
        const auto d = static_cast<int32_t>(phase_offset + base);
        if (static_cast<int32_t>(a - d) == -phase_offset) return d;
    }
    return static_cast<int32_t>(phase_offset + std::ceil(a));
}

MeasurementModel::MeasurementModel(const Measurement& m) : m_(m) {}

void MeasurementModel::set(const Measurement& m) {
    const bool same_fpn = m.fpn_mm == m_.fpn_mm && m.seed == m_.seed;
    const bool same_maps = m.seed == m_.seed && m.effects.dcs_offset == m_.effects.dcs_offset &&
                           m.effects.dcs_gain == m_.effects.dcs_gain && m.effects.bad_pixels == m_.effects.bad_pixels;
    m_ = m;
    geo_time_ = 0;
    have_geometry_ = false;
    have_prepared_ = false;
    have_fpn_ = have_fpn_ && same_fpn;
    have_maps_ = have_maps_ && same_maps;
}

const std::vector<float>& MeasurementModel::fixed_pattern() {
    if (have_fpn_) return fpn_;
    fpn_.assign(kPixels, 0.0f);
    have_fpn_ = true;
    if (m_.fpn_mm == 0) return fpn_;
    // A smooth field of a few low spatial frequencies, scaled to unit sigma, plus pixel noise.
    uint64_t rng = m_.seed ^ 0xD1B54A32D192ED03ull;
    struct Wave {
        double fu, fv, ph;
    } waves[6];
    for (auto& w : waves)
        w = {uniform(rng) * 5 - 2.5, uniform(rng) * 5 - 2.5, uniform(rng) * 2 * std::numbers::pi};
    std::vector<double> smooth(kPixels);
    double sum = 0, sum2 = 0;
    for (unsigned v = 0; v < kHeight; ++v)
        for (unsigned u = 0; u < kWidth; ++u) {
            double s = 0;
            for (const auto& w : waves)
                s += std::cos(2 * std::numbers::pi * (w.fu * u / kWidth + w.fv * v / kHeight) + w.ph);
            smooth[v * kWidth + u] = s;
            sum += s;
            sum2 += s * s;
        }
    const double mean = sum / kPixels, sd = std::sqrt(std::max(sum2 / kPixels - mean * mean, 1e-12));
    const double scale = m_.fpn_mm * phase_per_mm(kCalibFreqKhz);
    const double noise_share = std::sqrt(1 - kFpnSmoothShare * kFpnSmoothShare);
    for (unsigned q = 0; q < kPixels; ++q)
        fpn_[q] = static_cast<float>(
            scale * (kFpnSmoothShare * (smooth[q] - mean) / sd + noise_share * gaussian(rng)));
    return fpn_;
}

const PixelMaps& MeasurementModel::pixel_maps() {
    if (have_maps_) return maps_;
    have_maps_ = true;
    const Effects& e = m_.effects;
    uint64_t rng = m_.seed ^ 0x8CB92BA72F3D8DD7ull;
    for (unsigned k = 0; k < 4; ++k) {
        maps_.offset[k].assign(kPixels, 0.0f);
        maps_.gain[k].assign(kPixels, 1.0f);
        if (e.dcs_offset > 0)
            for (auto& o : maps_.offset[k]) o = static_cast<float>(e.dcs_offset * gaussian(rng));
        if (e.dcs_gain > 0)
            for (auto& g : maps_.gain[k]) g = static_cast<float>(1 + e.dcs_gain * gaussian(rng));
    }
    maps_.bad.assign(kPixels, PixelMaps::good);
    maps_.stuck_value.assign(kPixels, 0);
    for (unsigned n = 0; n < std::min(e.bad_pixels, kPixels / 4); ++n) {
        unsigned q;
        do q = static_cast<unsigned>(splitmix64(rng) % kPixels);
        while (maps_.bad[q] != PixelMaps::good);
        maps_.bad[q] = static_cast<uint8_t>(PixelMaps::hot + n % 3);
        maps_.stuck_value[q] = static_cast<uint16_t>(100 + splitmix64(rng) % 3896);
    }
    return maps_;
}

void MeasurementModel::build_geometry() {
    ray_m_.assign(kPixels, 0.0);
    rho_.assign(kPixels, 0.0f);
    geo_flags_.assign(kPixels, 0);
    rays_.clear();
    first_.assign(kPixels + 1, 0);
    have_geometry_ = true;
    if (m_.scene.kind == Scene::Kind::pattern) return;
    const Effects& e = m_.effects;
    const double falloff = e.beam_exponent + e.vignetting_exponent;
    // The footprint: the pixel centre alone, or four rays a quarter pixel off it.
    static constexpr double kQuad[4][2] = {{-0.25, -0.25}, {0.25, -0.25}, {-0.25, 0.25}, {0.25, 0.25}};
    const bool quad = e.subrays >= 4;
    const unsigned n = quad ? 4 : 1;
    // The lens's rays do not change with the scene: undistorted once per process. Slot 0 is the
    // pixel centre, 1..4 the quarter-pixel offsets.
    static const std::vector<float> lens_rays = [] {
        std::vector<float> v(size_t(5) * kPixels * 2);
        for (unsigned q = 0; q < kPixels; ++q)
            for (unsigned j = 0; j < 5; ++j) {
                const double du = j ? kQuad[j - 1][0] : 0, dv = j ? kQuad[j - 1][1] : 0;
                double x, y;
                undistort(q % kWidth + du, q / kWidth + dv, x, y);
                v[(size_t(q) * 5 + j) * 2] = static_cast<float>(x);
                v[(size_t(q) * 5 + j) * 2 + 1] = static_cast<float>(y);
            }
        return v;
    }();
    // Where each ray of the footprint hit, for the one-plane test: x, y of its direction, 1/t.
    double hit_xyw[5][3];
    FootHit foot_hit[5];
    auto cast = [&](unsigned q, unsigned slot, double& r, double& irr, double& rho) {
        double d[3] = {lens_rays[(size_t(q) * 5 + slot) * 2], lens_rays[(size_t(q) * 5 + slot) * 2 + 1], 1};
        const Hit h = trace(m_.scene, d, geo_time_);
        if (!std::isfinite(h.t)) return false;
        hit_xyw[slot][0] = d[0];
        hit_xyw[slot][1] = d[1];
        hit_xyw[slot][2] = 1 / h.t;
        FootHit& fh = foot_hit[slot];
        fh.d[0] = d[0];
        fh.d[1] = d[1];
        std::copy(h.n, h.n + 3, fh.n);
        fh.c = h.t * (h.n[0] * d[0] + h.n[1] * d[1] + h.n[2]);
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + 1);
        r = h.t * len;
        // The LED's beam and the lens's vignetting both fall off with the angle off the axis.
        irr = m_.reflectivity * h.rho * (h.cos_dn / len) / (r * r) * std::pow(1 / len, falloff);
        rho = m_.reflectivity * h.rho;
        return true;
    };
    mp_ratio_.clear();
    mp_path_.clear();
    if (e.multipath > 0) {
        // What each pixel's centre ray meets, for the light the surfaces relay to one another.
        std::vector<Surfel> px(kPixels);
        auto ray = [&](unsigned u, unsigned v, unsigned i) { return lens_rays[(size_t(v * kWidth + u) * 5) * 2 + i]; };
        for (unsigned v = 0; v < kHeight; ++v)
            for (unsigned u = 0; u < kWidth; ++u) {
                const unsigned q = v * kWidth + u;
                double d[3] = {ray(u, v, 0), ray(u, v, 1), 1};
                const Hit h = trace(m_.scene, d, geo_time_);
                if (!std::isfinite(h.t)) continue;
                Surfel& s = px[q];
                for (int i = 0; i < 3; ++i) {
                    s.p[i] = static_cast<float>(h.t * d[i]);
                    s.n[i] = static_cast<float>(h.n[i]);
                }
                // The pixel's patch of the normalised image plane, seen from the centre of projection.
                const unsigned u0 = u ? u - 1 : u, u1 = u + 1 < kWidth ? u + 1 : u;
                const unsigned v0 = v ? v - 1 : v, v1 = v + 1 < kHeight ? v + 1 : v;
                const double area = (ray(u1, v, 0) - ray(u0, v, 0)) / (u1 - u0) * (ray(u, v1, 1) - ray(u, v0, 1)) / (v1 - v0);
                const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + 1);
                s.solid_angle = static_cast<float>(std::abs(area) / (len * len * len));
                s.rho = static_cast<float>(m_.reflectivity * h.rho);
            }
        interreflection(px, e.beam_exponent, e.multipath, m_.seed, mp_ratio_, mp_path_);
    }
    std::vector<SubRay> foot;
    for (unsigned v = 0; v < kHeight; ++v)
        for (unsigned u = 0; u < kWidth; ++u) {
            const unsigned q = v * kWidth + u;
            first_[q] = static_cast<uint32_t>(rays_.size());
            double r, irr, rho;
            if (cast(q, 0, r, irr, rho)) {
                ray_m_[q] = r;
                rho_[q] = static_cast<float>(rho);
            }
            foot.clear();
            double lo = 1e300, hi = -1e300, sum_irr = 0, sum_r = 0;
            for (unsigned j = 0; j < n; ++j) {
                if (!cast(q, quad ? j + 1 : 0, r, irr, rho)) continue;
                foot.push_back({static_cast<float>(r), static_cast<float>(irr / n)});
                lo = std::min(lo, r);
                hi = std::max(hi, r);
                sum_irr += irr / n;
                sum_r += r * irr / n;
            }
            if (foot.empty()) continue;
            // A spread a slope explains (a floor seen at a grazing angle) is one surface, not a mix.
            // A crease inside the footprint (two faces of a box, a floor meeting a wall) is one
            // surface too: its depth is continuous, the blend lies on it.
            auto trace_at = [&](double x, double y) {
                const double d[3] = {x, y, 1};
                return trace(m_.scene, d, geo_time_).t;
            };
            if (foot.size() < n || (hi - lo > kMixedSpreadM && !(ray_m_[q] > 0 && one_plane(hit_xyw, hi)) &&
                                    (!(ray_m_[q] > 0) || steps(foot_hit, 5, trace_at))))
                geo_flags_[q] |= kTruthMixed;
            if (foot.size() == n && hi - lo < kSameSurfaceM)
                rays_.push_back({static_cast<float>(sum_r / sum_irr), static_cast<float>(sum_irr)});
            else
                rays_.insert(rays_.end(), foot.begin(), foot.end());
            // The light relayed by the rest of the scene, as one more, longer ray.
            if (!mp_ratio_.empty() && mp_ratio_[q] > 0)
                rays_.push_back({mp_path_[q], static_cast<float>(mp_ratio_[q] * sum_irr)});
        }
    first_[kPixels] = static_cast<uint32_t>(rays_.size());
}

bool MeasurementModel::samples(unsigned q, const SubRay* rays, unsigned n, double gain, double ambient,
                               double offset_units, uint32_t freq_khz, float out[4]) {
    const auto& fpn = fixed_pattern();
    const PixelMaps& maps = pixel_maps();
    const double range_m = kSpeedOfLightDiv2 / (double(std::max<uint32_t>(freq_khz, 1)) * 1000.0);
    // Harmonics of the correlation, weaker at higher frequencies: the four samples alias the
    // 3rd and 5th onto the fundamental, a phase error (a5 - a3) sin 4 phi.
    const double e = m_.effects.wiggle_mm / range_unit_mm(kCalibFreqKhz) * 2 * std::numbers::pi * kCalibFreqKhz /
                     double(std::max<uint32_t>(freq_khz, 1));
    const double a3 = 25.0 / 16 * e, a5 = 9.0 / 16 * e;
    double s0 = 0, s1 = 0, total = 0;
    for (unsigned j = 0; j < n; ++j) {
        const double a = gain * rays[j].irradiance;
        const double units = rays[j].r_m / range_m * kPhasePeriod + offset_units + fpn[q];
        const double phi = 2 * std::numbers::pi * (units / kPhasePeriod - std::floor(units / kPhasePeriod));
        const double c = std::cos(phi), sn = std::sin(phi);
        double c3 = c, s3 = sn, c5 = c, s5 = sn;
        if (e != 0) {
            const double c2 = c * c, sn2 = sn * sn;
            c3 = c * (4 * c2 - 3);
            s3 = sn * (3 - 4 * sn2);
            c5 = c * ((16 * c2 - 20) * c2 + 5);
            s5 = sn * ((16 * sn2 - 20) * sn2 + 5);
        }
        // C(phi - k pi/2) with C(x) = cos x + a3 cos 3x + a5 cos 5x, for k = 0 and 1; k = 2, 3
        // are their negatives.
        s0 += a * (c + a3 * c3 + a5 * c5);
        s1 += a * (sn - a3 * s3 + a5 * s5);
        total += a;
    }
    const double s[4] = {s0, s1, -s0, -s1};
    bool clipped = false;
    const uint8_t bad = maps.bad[q];
    for (unsigned k = 0; k < 4; ++k) {
        if (bad == PixelMaps::stuck) {
            out[k] = maps.stuck_value[q];
            continue;
        }
        double dev = bad == PixelMaps::dead ? 0.0 : maps.gain[k][q] * s[k];
        if (m_.effects.compression) {
            // The tap that collects the larger share holds the ambient and unmodulated light as
            // well; near full well it loses charge, at full well the sample clips.
            const double tap = ambient + total + std::abs(dev);
            if (tap >= kFullWell) {
                out[k] = 4095;
                clipped = true;
                continue;
            }
            if (tap > kKnee) {
                clipped = true;  // no longer linear: the pixel reads as saturated
                const double kept = kKnee + (kFullWell - kKnee) * std::tanh((tap - kKnee) / (kFullWell - kKnee));
                dev = std::copysign(std::max(0.0, std::abs(dev) - (tap - kept)), dev);
            }
        }
        double v = kBackground + maps.offset[k][q] + dev + (bad == PixelMaps::hot ? kHotSignal : 0.0);
        if (v >= 4094.5 || v < 0.5) clipped = true;
        out[k] = static_cast<float>(v);
    }
    return clipped && bad == PixelMaps::good;
}

void MeasurementModel::expose_at(double t_s) {
    if (!m_.scene.moving() || t_s == geo_time_) return;
    geo_time_ = t_s;
    have_geometry_ = false;
    have_prepared_ = false;
}

Truth MeasurementModel::truth(const SensorSettings& s, double t_s) {
    // Where the scene moves, the later DCS may see another surface than the first.
    std::vector<uint8_t> moved(kPixels, 0);
    if (m_.scene.moving()) {
        std::vector<double> first;
        for (int k = 0; k < 4; ++k) {
            expose_at(t_s + k * dcs_interval_s(s));
            build_geometry();
            if (k == 0) first = ray_m_;
            for (unsigned q = 0; q < kPixels; ++q)
                if ((first[q] == 0) != (ray_m_[q] == 0) || std::abs(first[q] - ray_m_[q]) > kMixedSpreadM)
                    moved[q] = kTruthMoving;
        }
        expose_at(t_s);
    }
    if (!have_prepared_ || !(prepared_for_ == s)) prepare(s);
    const auto& fpn = fixed_pattern();
    const auto& maps = pixel_maps();
    Truth t;
    t.distance.resize(kPixels);
    t.amplitude.resize(kPixels);
    t.fixed_pattern.resize(kPixels);
    t.flags.assign(kPixels, 0);
    const double m_per_unit = 1.0 / phase_per_mm(kCalibFreqKhz) / 1000.0;
    const double range_m = kSpeedOfLightDiv2 / (double(std::max<uint32_t>(s.freq_khz, 1)) * 1000.0);
    // How far the indirect light pulls the phase of a pixel: its phasor summed to the direct one.
    auto pulled = [&](unsigned q) {
        if (mp_ratio_.empty() || mp_ratio_[q] <= 0) return false;
        const double a = mp_ratio_[q], delta = 2 * std::numbers::pi * (mp_path_[q] - ray_m_[q]) / range_m;
        return std::abs(std::atan2(a * std::sin(delta), 1 + a * std::cos(delta))) * range_m / (2 * std::numbers::pi) >
               kMultipathPullM;
    };
    for (unsigned q = 0; q < kPixels; ++q) {
        const unsigned row = q / kWidth;
        const double tint = s.hdr && row % 2 == 0 ? s.hdr_short_us : s.integration_us;
        double irr = 0;
        for (uint32_t j = first_[q]; j < first_[q + 1]; ++j) irr += rays_[j].irradiance;
        t.distance[q] = static_cast<float>(ray_m_[q]);
        t.amplitude[q] = static_cast<float>(kAmplitudeGain * tint * irr);
        t.fixed_pattern[q] = static_cast<float>(fpn[q] * m_per_unit);
        t.flags[q] = static_cast<uint8_t>(geo_flags_[q] | sat_flags_[q] | moved[q] | (pulled(q) ? kTruthMultipath : 0) |
                                          (maps.bad[q] != PixelMaps::good ? kTruthBadPixel : 0));
    }
    return t;
}

void MeasurementModel::prepare(const SensorSettings& s) {
    if (!have_geometry_) build_geometry();
    const DriftCoefficients drift = DriftCoefficients::of(m_.effects, m_.seed);
    const double offset = m_.phase_offset + (m_.temperature_drift ? drift_phase(s, drift) : 0.0);
    // Sample noise that gives noise_mm of distance sigma at the reference amplitude:
    // sigma_phase = sigma_sample / (sqrt 2 * A). Its variance grows with the light the pixel
    // collects (shot noise) over the dark and read noise the background term stands for.
    const double sigma_ref =
        m_.noise_mm * std::numbers::sqrt2 * kRefAmplitude * 2 * std::numbers::pi / range_unit_mm(s.freq_khz);
    const PixelMaps& maps = pixel_maps();
    for (auto& c : clean_) c.resize(kPixels);
    sigma_.resize(kPixels);
    sat_flags_.assign(kPixels, 0);
    for (unsigned i = 0; i < kHeight; ++i) {
        const unsigned row = image_row(i);
        const double tint = s.hdr && row % 2 == 0 ? s.hdr_short_us : s.integration_us;
        const double gain = kAmplitudeGain * tint;
        for (unsigned u = 0; u < kWidth; ++u) {
            const unsigned q = row * kWidth + u, r = i * kWidth + u;
            const uint32_t n = first_[q + 1] - first_[q];
            const double ambient = m_.effects.ambient * rho_[q] * tint / 1000.0;
            float out[4];
            if (samples(q, rays_.data() + first_[q], n, gain, ambient, offset, s.freq_khz, out))
                sat_flags_[q] = kTruthSaturated;
            for (unsigned k = 0; k < 4; ++k) clean_[k][r] = out[k];
            double light = ambient;
            for (uint32_t j = first_[q]; j < first_[q + 1]; ++j) light += gain * rays_[j].irradiance;
            const uint8_t bad = maps.bad[q];
            const double hot = bad == PixelMaps::hot ? 3.0 : 1.0;
            sigma_[r] = bad == PixelMaps::stuck ? 0.0f
                                                : static_cast<float>(hot * sigma_ref *
                                                                     std::sqrt((kBackground + light) /
                                                                               (kBackground + kRefAmplitude)));
        }
    }
    quiet_.clear();
    if (m_.noise_mm == 0) {
        quiet_.resize(size_t(4) * kPixels);
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned r = 0; r < kPixels; ++r) {
                const auto v = static_cast<uint16_t>(std::clamp(std::lround(clean_[k][r]), 0l, 4095l));
                quiet_[k * kPixels + r] = m_.effects.flag_bits ? with_flags(v, k) : v;
            }
    }
    prepared_for_ = s;
    have_prepared_ = true;
}

namespace {

// Samples clip at the ends of the 12-bit range, which the decode reads as invalid. With flags,
// the upper bits carry the DCS number (bits 12-13) and a saturation bit (15).
template <bool kFlags>
VXSIM_HOT void noisy_plane(uint16_t* out, const float* clean, const float* sigma,
                                                 const float* draws, unsigned n, unsigned k) {
    for (unsigned r = 0; r < n; ++r) {
        const float v = clean[r] + sigma[r] * draws[r] + 0.5f;
        const auto s = static_cast<uint16_t>(std::clamp(static_cast<int>(v), 0, 4095));
        if constexpr (kFlags)
            out[r] = static_cast<uint16_t>(s | k << 12 | (s == 4095 ? 0x8000 : 0));
        else
            out[r] = s;
    }
}

}  // namespace

uint16_t with_flags(uint16_t sample, unsigned k) {
    return static_cast<uint16_t>(sample | k << 12 | (sample == 4095 ? 0x8000 : 0));
}

namespace {

// The noise draws of plane k of a frame: xorshift64 from the frame's seed, five 12-bit table
// indices per step, the planes one after another.
void next_draws(uint64_t& x, float* out, unsigned n) {
    const auto& g = gauss_table();
    for (unsigned r = 0; r < n;) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        uint64_t bits = x;
        for (unsigned j = 0; j < 5 && r < n; ++j, ++r, bits >>= 12) out[r] = g[bits & 4095];
    }
}

uint64_t noise_seed(uint64_t seed, uint64_t frame) {
    uint64_t s = seed * 0x9E3779B97F4A7C15ull + frame;
    return splitmix64(s) | 1;
}

}  // namespace

bool MeasurementModel::planes(const SensorSettings& s, double t_s, const float* (&clean)[4],
                              const float* (&sigma)[4]) {
    if (m_.scene.moving()) {
        // Each DCS sees the scene at its own time: four exposures of four geometries.
        for (unsigned k = 0; k < 4; ++k) {
            expose_at(t_s + k * dcs_interval_s(s));
            prepare(s);
            moving_clean_[k] = clean_[k];
            moving_sigma_[k] = sigma_;
            clean[k] = moving_clean_[k].data();
            sigma[k] = moving_sigma_[k].data();
        }
        return true;
    }
    if (!have_prepared_ || !(prepared_for_ == s)) prepare(s);
    for (unsigned k = 0; k < 4; ++k) {
        clean[k] = clean_[k].data();
        sigma[k] = sigma_.data();
    }
    return quiet_.empty();
}

void MeasurementModel::render(const SensorSettings& s, uint64_t frame, uint16_t* dst, double t_s) {
    const float* clean[4];
    const float* sigma[4];
    if (!planes(s, t_s, clean, sigma)) {
        std::copy(quiet_.begin(), quiet_.end(), dst);
        return;
    }
    if (m_.noise_mm == 0) {
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned r = 0; r < kPixels; ++r) {
                const auto v = static_cast<uint16_t>(std::clamp(std::lround(clean[k][r]), 0l, 4095l));
                dst[k * kPixels + r] = m_.effects.flag_bits ? with_flags(v, k) : v;
            }
        return;
    }
    uint64_t x = noise_seed(m_.seed, frame);
    draws_.resize(kPixels);
    for (unsigned k = 0; k < 4; ++k) {
        next_draws(x, draws_.data(), kPixels);
        uint16_t* out = dst + size_t(k) * kPixels;
        if (m_.effects.flag_bits)
            noisy_plane<true>(out, clean[k], sigma[k], draws_.data(), kPixels, k);
        else
            noisy_plane<false>(out, clean[k], sigma[k], draws_.data(), kPixels, k);
    }
}

void MeasurementModel::render_charges(const SensorSettings& s, uint64_t frame, float* dst, double t_s) {
    const float* clean[4];
    const float* sigma[4];
    planes(s, t_s, clean, sigma);
    uint64_t x = noise_seed(m_.seed, frame);
    draws_.resize(kPixels);
    for (unsigned k = 0; k < 4; ++k) {
        float* out = dst + size_t(k) * kPixels;
        if (m_.noise_mm == 0) {
            std::copy(clean[k], clean[k] + kPixels, out);
            continue;
        }
        next_draws(x, draws_.data(), kPixels);
        for (unsigned r = 0; r < kPixels; ++r) out[r] = clean[k][r] + sigma[k][r] * draws_[r];
    }
}

}  // namespace vxsim
