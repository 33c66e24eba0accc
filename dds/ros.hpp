// What the publisher and the listener share: the ROS 2 topic names under a namespace, the
// quality of service, and the conversion between a host clock reading and a message stamp.
#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <string>

#include "builtin_interfaces/msg/Time.h"
#include "sensor_msgs/msg/CameraInfo.h"
#include "sensor_msgs/msg/Image.h"
#include "sensor_msgs/msg/PointCloud2.h"
#include "std_msgs/msg/String.h"

namespace vexel_dds {

// Returns the namespace without leading or trailing slashes when every part between slashes is
// a ROS 2 name token (a letter or underscore, then letters, digits, underscores), else nothing.
std::string clean_namespace(const std::string& ns, bool* ok);

// The four topics, in the order the program handles them.
enum Topic { kDepth, kAmplitude, kPoints, kCameraInfo, kTopics };
// "rt/NS/depth/image_raw" and so on: ROS 2 prefixes the DDS topic of a ROS topic with "rt".
std::string topic_name(const std::string& ns, Topic t);
const char* topic_suffix(Topic t);
const dds_topic_descriptor_t* topic_type(Topic t);
// Settings: requests on rt/NS/set, one reply each on rt/NS/set_result (std_msgs/String both).
std::string settings_topic(const std::string& ns, bool reply);

// Keep the last `depth` samples, best effort unless `reliable`; the caller deletes the result.
dds_qos_t* make_qos(bool reliable, int32_t depth);

// Nanoseconds since 1970 on the host's real-time clock, the clock ROS 2 stamps with.
int64_t now_ns();
inline builtin_interfaces_msg_dds__Time_ to_stamp(int64_t ns) {
    return {static_cast<int32_t>(ns / 1000000000), static_cast<uint32_t>(ns % 1000000000)};
}
inline int64_t from_stamp(const builtin_interfaces_msg_dds__Time_& t) {
    return int64_t{t.sec_} * 1000000000 + t.nanosec_;
}

struct PublishOptions {
    int device = 0;
    bool all = false;  // every attached camera, each under NS/SERIAL
    std::string ns = "vexel";
    uint32_t domain = 0;
    std::string frame_id = "vexel_optical_frame";
    bool reliable = false;
    std::string depth_format = "16UC1";
    long frames = 0;  // 0: until interrupted
    std::string replay;  // a recording of `vexel record` instead of a camera
    bool realtime = false;  // replay at the recorded rate rather than as fast as published
};
int publish(const PublishOptions& o);

struct ListenOptions {
    std::string ns = "vexel";
    uint32_t domain = 0;
    long frames = 0;       // depth images to wait for; 0: until interrupted
    double timeout = 0.0;  // seconds; 0: none
};
int listen(const ListenOptions& o);

// For a process that receives clouds: keeps freed blocks of up to 16 MiB on the heaps and gives
// memory back to the kernel only beyond 64 MiB free. Each 1.2 MB cloud passes through Cyclone's
// receive buffers and the taken sample; by glibc's default a heap's free top goes back as soon
// as it exceeds twice the largest block freed so far, which at every cloud is the case, so each
// one arrived in pages faulted in anew (some 800 faults a cloud, several milliseconds on a
// virtual machine). Call it before receiving; a no-op off glibc.
void keep_receive_memory();

// Set by SIGINT/SIGTERM; both loops end at their next turn.
bool interrupted();
void catch_interrupts();

}  // namespace vexel_dds
