// A DDS subscriber of vexel-publish's depth images in C++, as any ROS 2-free program on another
// host would write it: Cyclone DDS and the ROS 2 message types from dds/idl, nothing of libvexel.
//
//     vexel-sim -- vexel-publish &            # or a real camera on another host
//     ./depth_subscriber [NAMESPACE] [DOMAIN]  # prints the centre depth of ten images
#include <dds/dds.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sensor_msgs/msg/Image.h"

int main(int argc, char** argv) {
    const std::string topic = std::string("rt/") + (argc > 1 ? argv[1] : "vexel") + "/depth/image_raw";
    const dds_domainid_t domain = argc > 2 ? static_cast<dds_domainid_t>(std::atoi(argv[2])) : 0;
    const dds_entity_t pp = dds_create_participant(domain, nullptr, nullptr);
    if (pp < 0) {
        std::fprintf(stderr, "participant: %s\n", dds_strretcode(pp));
        return 1;
    }
    // Best effort matches the publisher's default and its --reliable alike.
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 2);
    const dds_entity_t t = dds_create_topic(pp, &sensor_msgs_msg_dds__Image__desc, topic.c_str(), nullptr, nullptr);
    const dds_entity_t reader = dds_create_reader(pp, t, qos, nullptr);
    dds_delete_qos(qos);
    const dds_entity_t ws = dds_create_waitset(pp);
    const dds_entity_t rc = dds_create_readcondition(reader, DDS_ANY_STATE);
    dds_waitset_attach(ws, rc, 0);

    int images = 0;
    std::printf("waiting on %s, domain %u\n", topic.c_str(), static_cast<unsigned>(domain));
    while (images < 10 && dds_waitset_wait(ws, nullptr, 0, DDS_SECS(10)) > 0) {
        void* samples[1] = {};
        dds_sample_info_t info[1];
        while (dds_take(reader, samples, info, 1, 1) > 0) {  // the sample is lent, then returned
            const auto* img = static_cast<const sensor_msgs_msg_dds__Image_*>(samples[0]);
            if (info[0].valid_data && std::strcmp(img->encoding_, "16UC1") == 0 &&
                img->data_._length >= img->height_ * img->step_) {
                uint16_t mm;  // 0: no measurement at that pixel
                std::memcpy(&mm, img->data_._buffer + (img->height_ / 2) * img->step_ + img->width_ / 2 * 2, 2);
                std::printf("%ux%u at %d.%09u s: centre %u mm\n", img->width_, img->height_,
                            img->header_.stamp_.sec_, img->header_.stamp_.nanosec_, mm);
                ++images;
            }
            dds_return_loan(reader, samples, 1);
        }
    }
    dds_delete(pp);
    return images > 0 ? 0 : 1;
}
