// The library-wide colour map, owned by the library lifecycle.
#pragma once

#include <vexel/cmap.h>

namespace vx {

vx_cmap* library_cmap();
// Builds the library-wide map with `count` entries; false when its table is missing.
bool library_cmap_init(int count);
void library_cmap_uninit();

}  // namespace vx
