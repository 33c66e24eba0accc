// Library-wide path prefix and the one place file paths under it are built.
#pragma once

#include <string>

namespace vx {

// Prefix followed by `name`. A backslash in the prefix is read as "/": the default prefix
// ".\" must name the working directory on this platform, not a file name containing "\".
std::string prefixed_path(const char* name);

// Restores the default prefix "." plus backslash (library start).
void reset_path_prefix();

// The prefix buffer itself (256 characters, always terminated); records point at it.
char* path_prefix_buffer();

}  // namespace vx
