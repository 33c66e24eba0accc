// vexel-publish: a camera (or every attached camera) on DDS as ROS 2 sees a camera driver (depth, amplitude, organised
// point cloud, camera info), or with --listen what arrives on those topics. Exit status: 0 done,
// 1 the operation failed, 2 bad usage, 130 interrupted.
//
// Without a camera: vexel-sim -- vexel-publish -n 300
// Two at once:      vexel-sim --camera -- vexel-publish -d all -n 300
#include <CLI/CLI.hpp>

#include <iostream>

#include "ros.hpp"

#ifndef VEXEL_VERSION
#define VEXEL_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace vexel_dds;
    CLI::App app{"Publishes a camera's depth, amplitude, point cloud and camera info on DDS under ROS 2's "
                 "topic and type names (rt/NS/depth/image_raw, rt/NS/amplitude/image_raw, rt/NS/points, "
                 "rt/NS/depth/camera_info), or with --listen prints what arrives on them.",
                 "vexel-publish"};
    app.set_version_flag("--version", VEXEL_VERSION);
    PublishOptions p;
    bool listening = false;
    double timeout = 0.0;
    std::string device = "0";
    app.add_option("-d,--device", device,
                   "camera index, or `all`: every attached camera, each under NS/SERIAL with frame id "
                   "SERIAL_FRAMEID")
        ->check([](const std::string& v) -> std::string {
            if (v == "all") return {};
            if (v.empty() || v.size() > 2 || v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) > 63)
                return "want a camera index from 0 to 63, or all";
            return {};
        });
    app.add_option("--replay", p.replay, "publish a recording made by `vexel record` instead of a camera")
        ->check(CLI::ExistingFile);
    app.add_flag("--realtime", p.realtime, "with --replay: frames at the camera's rate, not as fast as published");
    app.add_option("--namespace", p.ns, "ROS 2 namespace of the topics (empty: none)")->capture_default_str();
    app.add_option("--domain", p.domain, "DDS domain id (ROS_DOMAIN_ID)")
        ->check(CLI::Range(0, 232))
        ->capture_default_str();
    app.add_option("--frame-id", p.frame_id, "frame id in every header (rviz2's fixed frame)")
        ->capture_default_str();
    app.add_flag("--reliable", p.reliable, "reliable delivery (default best effort, as ROS 2 sensor data)");
    app.add_option("--depth-format", p.depth_format, "depth image: 16UC1 millimetres or 32FC1 metres")
        ->check(CLI::IsMember({"16UC1", "32FC1"}))
        ->capture_default_str();
    app.add_option("-n,--frames", p.frames, "frames to publish (listen: depth images to wait for); 0 = until Ctrl-C")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--listen", listening, "subscribe instead and print rate, latency and gaps per topic");
    app.add_option("--timeout", timeout, "listen: give up after this many seconds (0 = never)")
        ->check(CLI::NonNegativeNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    p.all = device == "all";
    if (!p.all) p.device = std::stoi(device);
    if (p.all && !p.replay.empty()) {
        std::cerr << "-d all publishes the attached cameras; --replay publishes one recording\n";
        return 2;
    }
    bool ok = false;
    p.ns = clean_namespace(p.ns, &ok);
    if (!ok) {
        std::cerr << "--namespace: each part must start with a letter or '_' and hold only letters, digits and '_'\n";
        return 2;
    }
    if (p.frame_id.empty()) {
        std::cerr << "--frame-id must not be empty\n";
        return 2;
    }
    catch_interrupts();
    if (listening) return listen({p.ns, p.domain, p.frames, timeout});
    return publish(p);
}
