#include "ros.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <atomic>
#include <csignal>
#include <ctime>

namespace vexel_dds {

std::string clean_namespace(const std::string& ns, bool* ok) {
    size_t b = ns.find_first_not_of('/'), e = ns.find_last_not_of('/');
    const std::string s = b == std::string::npos ? std::string() : ns.substr(b, e - b + 1);
    bool good = true, start = true;
    for (char c : s) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (c == '/') {
            good = good && !start;  // no empty part ("a//b")
            start = true;
        } else {
            good = good && (letter || (digit && !start));
            start = false;
        }
    }
    *ok = good;
    return s;
}

const char* topic_suffix(Topic t) {
    switch (t) {
        case kDepth: return "depth/image_raw";
        case kAmplitude: return "amplitude/image_raw";
        case kPoints: return "points";
        default: return "depth/camera_info";
    }
}

std::string topic_name(const std::string& ns, Topic t) {
    return "rt/" + (ns.empty() ? std::string() : ns + "/") + topic_suffix(t);
}

std::string settings_topic(const std::string& ns, bool reply) {
    return "rt/" + (ns.empty() ? std::string() : ns + "/") + (reply ? "set_result" : "set");
}

const dds_topic_descriptor_t* topic_type(Topic t) {
    switch (t) {
        case kDepth:
        case kAmplitude: return &sensor_msgs_msg_dds__Image__desc;
        case kPoints: return &sensor_msgs_msg_dds__PointCloud2__desc;
        default: return &sensor_msgs_msg_dds__CameraInfo__desc;
    }
}

dds_qos_t* make_qos(bool reliable, int32_t depth) {
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, DDS_MSECS(100));
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, depth);
    dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
    return q;
}

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void keep_receive_memory() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void on_signal(int) { g_interrupted.store(true); }
}  // namespace

bool interrupted() { return g_interrupted.load(); }

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace vexel_dds
