/* Depth quality: a noise estimate per pixel (confidence), removal of flying pixels, temporal and
   edge-preserving spatial smoothing, and hole filling, on float distance images in metres as
   vexel_frame_get_distance gives them, guided by the amplitude of vexel_frame_get_gray.

   Images are row-major, w columns by h rows, w and h from 1 to 16384. A distance counts as a
   measurement when 0 < d < 60; 65.3 (rejected) and 65.5 (invalid) are the decode's marks, and a
   filter that removes a pixel writes 65.3. The calls chain on one image in place, usually in the
   order confidence, reject, flying, temporal, spatial, fill. Each may record why it changed a
   pixel in an optional flags image (one byte per pixel, VEXEL_DQ_* bits ORed in; the caller
   clears it before a chain).

   Every call works only on the caller's buffers (and, for the temporal filter, the caller's
   state object): calls on different buffers may run on several threads at once. Nothing is
   allocated per call once a thread has filtered an image of the size. The decode can run the
   same steps itself (VEXEL_FILTER_CONFIDENCE ... VEXEL_FILTER_FILL of <vexel/features.h>). */
#ifndef VEXEL_DEPTH_QUALITY_H
#define VEXEL_DEPTH_QUALITY_H

#include <stdint.h>

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Bits of the flags image. */
enum {
    VEXEL_DQ_LOW_CONFIDENCE = 1, /* removed: predicted noise above the threshold */
    VEXEL_DQ_FLYING = 2,         /* removed: lies between a near and a far neighbour */
    VEXEL_DQ_HELD = 4,           /* no measurement this frame; the temporal filter kept the last one */
    VEXEL_DQ_FILLED = 8          /* was a hole, filled from its neighbours */
};

/* The camera's noise, for the shot-noise relation
       sigma_mm = U / (2 pi) * sqrt(read_noise^2 + (B + A) / gain) / (sqrt(2) * A),
   U = c / 2f the unambiguous range in mm, A the amplitude, B the samples' offset (the pixel's
   background image, else background + ambient * integration_us). vexel_noise_model_init fills
   the values of the simulated camera's default noise (3 mm at amplitude 1000, 12 MHz). */
typedef struct vexel_noise_model {
    float freq_khz;       /* modulation frequency; 12000 at power-on */
    float gain;           /* electrons per sample unit */
    float read_noise;     /* sample units, rms, per sample */
    float background;     /* sample offset without background light */
    float ambient;        /* background light in sample units per microsecond of integration */
    float integration_us; /* the frame's integration time */
} vexel_noise_model;

/* Fills `m` with the defaults; nothing for a null `m`. */
VX_API void vexel_noise_model_init(vexel_noise_model* m);

/* Confidence: writes each pixel's predicted distance noise (one sigma, millimetres) into
   `sigma_mm` from its amplitude (sample units) and, when `background` is not null, its sample
   offset. Pixels without amplitude (A <= 0, or 60000 and above: saturated) get 65500. `m` null
   takes the defaults. Returns w * h, or -1 for a null image or a size out of range. */
VX_API int32_t vexel_depth_confidence(float* sigma_mm, const float* amplitude, const float* background, int32_t w,
                                      int32_t h, const vexel_noise_model* m);

/* Threshold on the confidence: measured pixels whose sigma exceeds `max_mm` become 65.3 and get
   VEXEL_DQ_LOW_CONFIDENCE. `max_mm` <= 0 removes nothing. Returns the pixels removed, or -1. */
VX_API int32_t vexel_depth_confidence_reject(float* dist, uint8_t* flags, const float* sigma_mm, int32_t w,
                                             int32_t h, float max_mm);

/* Flying pixels: a measured pixel that lies between a nearer and a farther neighbour along a row,
   a column or a diagonal becomes 65.3 and gets VEXEL_DQ_FLYING. Each of its two steps must exceed k * its distance / 200 per pixel of
   distance to that neighbour, plus 1.414 x (its sigma + the neighbour's sigma): for two equally
   noisy pixels twice the sigma of their difference, so a dim wall whose pixels are all noisy keeps
   them. So does a pixel whose footprint straddles a step and reads one of its surfaces: its
   neighbours along a row or a column lie more than k * its distance / 200 + 2 x its sigma apart,
   and its sigma lies between theirs by a factor of 1.1 x (1 + 3 x its sigma / 1405 mm) each way
   (its amplitude is a blend of both sides'; the second term is the amplitude's own noise at
   12 MHz). A plane whose distance changes by up to k * distance / 200 per pixel in any direction
   (tilted up to about atan(k) from facing the camera) keeps every pixel its noise lets be told
   apart from a step. `sigma_mm` may be null (distance terms only, no straddle test). k from 1 to
   100; 6 is a good start. Returns the pixels removed, or -1. */
VX_API int32_t vexel_depth_flying(float* dist, uint8_t* flags, const float* sigma_mm, int32_t w, int32_t h,
                                  float k);

/* Temporal filter state: one per image stream, owned by the caller. `persistence`: frames a
   pixel without a measurement keeps its last value (0 to 7). Null for a size out of range or
   no memory. */
typedef struct vexel_temporal vexel_temporal;
VX_API vexel_temporal* vexel_temporal_create(int32_t w, int32_t h, int32_t persistence);
VX_API void vexel_temporal_destroy(vexel_temporal* t);
/* Forgets the history (after a scene or setting change). */
VX_API void vexel_temporal_reset(vexel_temporal* t);

/* Temporal smoothing of one frame of the state's size, in place: the mean of a pixel's frames
   until it has 1/alpha of them, then an exponential average with weight `alpha` (0 < alpha <= 1;
   1 passes frames through; below 1/31 it acts as 1/31). A measurement more than 4 sigma (`sigma_mm`, else 5 mm + 0.5 % of
   the distance) away from the history restarts it, so moving things do not smear. A pixel
   without a measurement keeps its last value for `persistence` frames (VEXEL_DQ_HELD). One
   thread at a time per state. Returns the pixels restarted, or -1. */
VX_API int32_t vexel_depth_temporal(vexel_temporal* t, float* dist, uint8_t* flags, const float* sigma_mm,
                                    float alpha);

/* Edge-preserving smoothing: a 3 x 3 bilateral filter whose range kernel (a biweight, zero beyond
   3 range sigmas) takes sigma_range = max(`sigma_mm`, 2.5 x the pixel's own sigma from
   `sigma_mm_img`); with `sigma_mm_img` neighbours are also weighted by their inverse variance.
   Neighbours without a measurement take no part; pixels without one stay as they are.
   `sigma_mm` > 0. Returns w * h, or -1. */
VX_API int32_t vexel_depth_spatial(float* dist, const float* sigma_mm_img, int32_t w, int32_t h, float sigma_mm);

/* Hole filling: runs of at most `max_px` pixels without a measurement, between measured pixels
   on a row (then on a column), are filled: linearly when both ends lie within 2 % of each other,
   else with the farther end (holes next to an edge belong to the background). Filled pixels get
   VEXEL_DQ_FILLED. max_px from 1 to 64. Returns the pixels filled, or -1. */
VX_API int32_t vexel_depth_fill(float* dist, uint8_t* flags, int32_t w, int32_t h, int32_t max_px);

VX_EXTERN_C_END

#endif
