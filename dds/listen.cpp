// --listen: what a ROS 2 subscriber of the four topics would get, with rate, latency (receipt
// against the header stamp; both hosts' clocks must agree for a remote publisher) and gaps.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ros.hpp"

namespace vexel_dds {

namespace {

struct Stats {
    long count = 0;
    int64_t first_rx = 0, last_rx = 0, last_stamp = 0;
    std::vector<double> latency_ms, interval_ms;
};

std::string describe_image(const sensor_msgs_msg_dds__Image_& m) {
    char s[160];
    std::snprintf(s, sizeof s, "%ux%u %s step %u, %u bytes", m.width_, m.height_, m.encoding_, m.step_,
                  m.data_._length);
    std::string r = s;
    const size_t centre = size_t{m.height_ / 2} * m.step_ + size_t{m.width_ / 2} * (m.step_ / std::max(1u, m.width_));
    if (std::strcmp(m.encoding_, "16UC1") == 0 && centre + 2 <= m.data_._length) {
        uint16_t v;
        std::memcpy(&v, m.data_._buffer + centre, 2);
        r += ", centre " + std::to_string(v) + " mm";
    } else if (std::strcmp(m.encoding_, "32FC1") == 0 && centre + 4 <= m.data_._length) {
        float v;
        std::memcpy(&v, m.data_._buffer + centre, 4);
        std::snprintf(s, sizeof s, ", centre %.3f m", static_cast<double>(v));
        r += s;
    }
    return r;
}

std::string describe_cloud(const sensor_msgs_msg_dds__PointCloud2_& m) {
    std::string r = std::to_string(m.width_) + "x" + std::to_string(m.height_) + " fields";
    for (uint32_t i = 0; i < m.fields_._length; ++i) {
        const auto& f = m.fields_._buffer[i];
        r += " " + std::string(f.name_) + ":" + std::to_string(f.offset_) + ":" + std::to_string(f.datatype_);
    }
    return r + " point_step " + std::to_string(m.point_step_) + " row_step " + std::to_string(m.row_step_) +
           (m.is_dense_ ? " dense" : " not dense");
}

std::string describe_info(const sensor_msgs_msg_dds__CameraInfo_& m) {
    char s[200];
    std::snprintf(s, sizeof s, "%ux%u %s, %u coefficients, fx %.3f fy %.3f cx %.3f cy %.3f", m.width_, m.height_,
                  m.distortion_model_, m.d_._length, m.k_[0], m.k_[4], m.k_[2], m.k_[5]);
    return s;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

}  // namespace

int listen(const ListenOptions& o) {
    keep_receive_memory();
    const dds_entity_t pp = dds_create_participant(o.domain, nullptr, nullptr);
    if (pp < 0) {
        std::cerr << "vexel-publish: DDS participant: " << dds_strretcode(pp) << '\n';
        return 1;
    }
    dds_qos_t* q = make_qos(false, 4);  // best effort takes both best-effort and reliable writers
    const dds_entity_t ws = dds_create_waitset(pp);
    dds_entity_t readers[kTopics];
    for (int t = 0; t < kTopics; ++t) {
        const std::string name = topic_name(o.ns, Topic(t));
        const dds_entity_t topic = dds_create_topic(pp, topic_type(Topic(t)), name.c_str(), nullptr, nullptr);
        readers[t] = topic < 0 ? topic : dds_create_reader(pp, topic, q, nullptr);
        if (readers[t] < 0) {
            std::cerr << "vexel-publish: DDS reader for " << name << ": " << dds_strretcode(readers[t]) << '\n';
            dds_delete_qos(q);
            dds_delete(pp);
            return 1;
        }
        dds_set_status_mask(readers[t], DDS_DATA_AVAILABLE_STATUS | DDS_SUBSCRIPTION_MATCHED_STATUS);
        dds_waitset_attach(ws, readers[t], t);
    }
    dds_delete_qos(q);
    std::cerr << "listening on domain " << o.domain << " to " << topic_name(o.ns, kDepth) << " ...\n";

    Stats st[kTopics];
    uint32_t writers[kTopics] = {};
    const int64_t start = now_ns();
    while (!interrupted() && (o.frames == 0 || st[kDepth].count < o.frames) &&
           (o.timeout <= 0 || static_cast<double>(now_ns() - start) / 1e9 < o.timeout)) {
        dds_waitset_wait(ws, nullptr, 0, DDS_MSECS(100));
        for (int t = 0; t < kTopics; ++t) {
            // Writers coming and going: a publisher that ends or dies is seen to leave.
            dds_subscription_matched_status_t m{};
            if (dds_get_subscription_matched_status(readers[t], &m) == DDS_RETCODE_OK && m.current_count != writers[t]) {
                std::printf("%s: publisher %s (%u now)\n", topic_suffix(Topic(t)),
                            m.current_count > writers[t] ? "joined" : "left", m.current_count);
                writers[t] = m.current_count;
            }
            void* samples[8] = {};
            dds_sample_info_t info[8];
            const int n = dds_take(readers[t], samples, info, 8, 8);
            const int64_t rx = now_ns();
            for (int i = 0; i < n; ++i) {
                if (!info[i].valid_data) continue;
                // Every type starts with its header, and every header with its stamp.
                const auto* hd = static_cast<const std_msgs_msg_dds__Header_*>(samples[i]);
                Stats& s = st[t];
                const int64_t stamp = from_stamp(hd->stamp_);
                if (s.count == 0) {
                    s.first_rx = rx;
                    std::string what = t == kPoints ? describe_cloud(*static_cast<sensor_msgs_msg_dds__PointCloud2_*>(samples[i]))
                                       : t == kCameraInfo
                                           ? describe_info(*static_cast<sensor_msgs_msg_dds__CameraInfo_*>(samples[i]))
                                           : describe_image(*static_cast<sensor_msgs_msg_dds__Image_*>(samples[i]));
                    std::printf("%s: %s, frame id %s\n", topic_suffix(Topic(t)), what.c_str(), hd->frame_id_);
                } else {
                    s.interval_ms.push_back(static_cast<double>(stamp - s.last_stamp) / 1e6);
                }
                s.latency_ms.push_back(static_cast<double>(rx - stamp) / 1e6);
                s.last_rx = rx;
                s.last_stamp = stamp;
                ++s.count;
            }
            if (n > 0) dds_return_loan(readers[t], samples, n);
        }
        std::fflush(stdout);
    }
    long total = 0;
    for (int t = 0; t < kTopics; ++t) {
        const Stats& s = st[t];
        total += s.count;
        const double span = static_cast<double>(s.last_rx - s.first_rx) / 1e9;
        // A gap: a stamp more than one and a half typical frame times after the one before.
        const double typical = median(s.interval_ms);
        const long gaps = std::count_if(s.interval_ms.begin(), s.interval_ms.end(),
                                        [&](double d) { return d > 1.5 * typical; });
        std::printf("%s: %ld messages, %.1f Hz, latency median %.2f ms max %.2f ms, %ld gaps\n",
                    topic_suffix(Topic(t)), s.count, s.count > 1 && span > 0 ? static_cast<double>(s.count - 1) / span : 0.0,
                    median(s.latency_ms),
                    s.latency_ms.empty() ? 0.0 : *std::max_element(s.latency_ms.begin(), s.latency_ms.end()), gaps);
    }
    dds_delete(pp);
    if (interrupted()) return 130;
    return total > 0 ? 0 : 1;
}

}  // namespace vexel_dds
