// The sensor's read-out window: the region of interest (registers 150-155) and binning (156)
// decide which pixels a frame holds and how many sensor pixels each of them collects.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/sim.hpp"

namespace vxsim {

inline constexpr unsigned kRegRoi = 150;      // x0 (2 bytes), x1 (2 bytes), y0, y1
inline constexpr unsigned kRegBinning = 156;  // 0: none, 1: 2 x 2, 2: 4 x 4

// Sensor coordinates take the 8 border columns and the 6 border rows of each half in: the
// 320 x 240 image is x 4..323 and y 6..125 of the upper half (the lower half mirrored), y 125
// lying at the centre line.
struct Readout {
    unsigned x0 = 4, x1 = 323, y0 = 6, y1 = 125;
    unsigned bin_x = 1, bin_y = 1;
    unsigned cols() const { return (x1 - x0 + 1) / bin_x; }
    unsigned rows_per_half() const { return (y1 - y0 + 1) / bin_y; }
    unsigned rows() const { return 2 * rows_per_half(); }
    bool full() const { return *this == Readout{}; }
    bool operator==(const Readout&) const = default;
};

// The window sensor registers 150..156 describe (`regs` holds all 256), or nothing when the
// sensor would refuse it: the rectangle rules of the chip library's apiSetROI, with the binning
// factor as its column and row reduction, and binning 0..2.
std::optional<Readout> readout_of(const uint8_t* regs);

// The image pixel (row-major in the 320 x 240 image) that sensor pixel (x, y) of `lower` half
// is, or -1 for a border pixel.
int image_pixel(unsigned x, unsigned y, bool lower);

// Reads a window out of a full frame of raw-order planes (kWidth x kHeight samples each) into
// `dst` (4 planes of cols x rows, raw order: the halves alternately from the centre outwards).
// Without binning the samples are copied; binned pixels add their members' charge above the
// dark level in `charge` (the same frame before the 12-bit clip) and are clipped afterwards.
// Border pixels are shielded: dark. `flags`: put the DCS number and clip bit in the upper bits.
void read_window(const Readout& w, const uint16_t* full, const float* charge, bool flags, uint16_t* dst);

// The truth of a window: ray lengths, fixed pattern and amplitude of a binned pixel are its
// members' mean, mean and sum; flags are or-ed, and kTruthMixed where members see surfaces more
// than 5 cm apart or not all of them see one. Image order, cols x rows.
Truth window_truth(const Truth& full, const Readout& w);

}  // namespace vxsim
