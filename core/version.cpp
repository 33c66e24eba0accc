#include <vexel/version.h>

// The build passes the project version in, so the library, the programs and the packages can
// never disagree about it.
extern "C" VX_API const char* vexel_get_version(void) { return VEXEL_VERSION_STRING; }
