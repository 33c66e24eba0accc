// Multipath: the LED lights every surface the camera sees, and each of them relays part of that
// light to the others. A pixel then collects, besides the direct return, light that went
// camera -> S -> P -> camera, later and weaker, which pulls its phase long (concave corners read
// too far). First-order diffuse interreflection between Lambertian surfaces, without occlusion
// between the two surfaces (the relaying surfaces are the ones the camera sees, which are exactly
// the ones a LED beside the lens lights).
#pragma once

#include <cstdint>
#include <vector>

namespace vxsim {

// What a pixel's centre ray meets: point and unit normal (facing the camera) in camera
// coordinates, the solid angle the pixel covers and the surface's reflectivity; solid_angle 0
// where the ray meets nothing.
struct Surfel {
    float p[3], n[3];
    float solid_angle = 0, rho = 0;
};

// The indirect light of every pixel of `px` (image order, kWidth x kHeight), relative to its
// direct light, and the one-way length of the path it arrives by (half of camera -> S -> P ->
// camera). Relays are a patch per block of pixels, sampled at a pixel picked by `seed`;
// `strength` scales the whole (1: as Lambertian surfaces relay it).
void interreflection(const std::vector<Surfel>& px, double beam_exponent, double strength, uint64_t seed,
                     std::vector<float>& ratio, std::vector<float>& path_m);

}  // namespace vxsim
