/* libvexel: host SDK of the USB time-of-flight camera. The application interface in one header:
   library start and log, devices, capture and frames, processing switches, point cloud, frame
   files, colour map, lens undistortion and 16-bit filters, depth-quality filters, data transfer.

   The protocol layers stay out of it, so their names cannot clash with an application's own
   (the chip library, for one, exports a function called i2c). Include them by name when needed:
   <vexel/chip.h> (chip configuration library), <vexel/driver.h> (sensor driver tables),
   <vexel/transport.h> (transport table and vexel_ll_ calls), <vexel/datax_protocol.h> (data
   protocol steps), <vexel/stream.h> (frame stream parser), <vexel/vmath.h> (vectors, matrices). */
#ifndef VEXEL_VEXEL_H
#define VEXEL_VEXEL_H

#include <vexel/export.h>

#include <vexel/capture.h>
#include <vexel/cmap.h>
#include <vexel/datax.h>
#include <vexel/depth_quality.h>
#include <vexel/device.h>
#include <vexel/features.h>
#include <vexel/filter.h>
#include <vexel/frame.h>
#include <vexel/frame_file.h>
#include <vexel/hotplug.h>
#include <vexel/lens.h>
#include <vexel/log.h>
#include <vexel/path.h>
#include <vexel/pcl.h>
#include <vexel/record.h>
#include <vexel/version.h>

#endif
