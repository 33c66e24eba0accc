/* libvexel: host SDK of the USB time-of-flight camera. Include this one header. */
#ifndef VEXEL_VEXEL_H
#define VEXEL_VEXEL_H

#include <vexel/export.h>

#include <vexel/capture.h>
#include <vexel/chip.h>
#include <vexel/cmap.h>
#include <vexel/datax.h>
#include <vexel/device.h>
#include <vexel/driver.h>
#include <vexel/features.h>
#include <vexel/filter.h>
#include <vexel/frame.h>
#include <vexel/frame_file.h>
#include <vexel/lens.h>
#include <vexel/log.h>
#include <vexel/path.h>
#include <vexel/pcl.h>
#include <vexel/stream.h>
#include <vexel/transport.h>
#include <vexel/vmath.h>

#endif
