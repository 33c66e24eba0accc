// What the factory rig measured, kept on disk: measuring takes about a second, and every
// process that adds a camera of the same seed and errors would otherwise measure it again.
// Files are named after a hash of their key and echo the whole key, so a file only ever answers
// for the key it was written for; anything else found there is measured and written again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vxsim {

// Bump whenever what the rig stores for a key changes: the rig's procedure (rig.cpp) or the
// pixel model it samples (MeasurementModel::samples, fixed_pattern, pixel_maps, the random
// numbers of sim/sensor/random.hpp). Files of another version are never read. The key also
// carries a fingerprint of that model's output, a second line of defence, not a substitute.
inline constexpr uint32_t kRigModelVersion = 1;

// Files kept in the directory: the newest by last use, the older ones removed (each is 4.6 MB).
inline constexpr size_t kRigCacheFiles = 12;

// The directory in use, or empty for none: set_calib_cache()'s choice, else $VEXEL_SIM_CACHE
// ("off": none), else $XDG_CACHE_HOME/vexel-sim, else $HOME/.cache/vexel-sim.
std::string rig_cache_dir();

// The file name within the directory that holds `key`'s tables.
std::string rig_cache_name(std::string_view key);

// A file's bytes: magic, format, key length, payload length, payload checksum, key, payload.
std::vector<uint8_t> rig_cache_encode(std::string_view key, std::span<const uint8_t> images);
// The payload of a file's bytes when they are exactly such a file for `key` with `size` bytes of
// 16-bit phases, each below one period, intact; nothing otherwise. The bytes may be anything.
std::optional<std::vector<uint8_t>> rig_cache_decode(std::span<const uint8_t> bytes, std::string_view key,
                                                     size_t size);

// Reads `key`'s tables from `dir` (nothing when absent, unreadable or not intact) and marks the
// file used.
std::optional<std::vector<uint8_t>> rig_cache_load(const std::string& dir, std::string_view key, size_t size);
// Writes them under a temporary name and renames it into place, so a reader in another process
// sees the old file or the whole new one; then keeps the newest kRigCacheFiles. Creates the
// directory; any failure leaves no file behind and is not an error.
void rig_cache_store(const std::string& dir, std::string_view key, std::span<const uint8_t> images);

}  // namespace vxsim
