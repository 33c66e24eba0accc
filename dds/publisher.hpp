// One camera's side of the DDS graph: its four writers and its settings topics, and the turning
// of a decoded frame into the ROS 2 messages. vexel-publish runs it per frame; the benchmark
// runs the same code to measure what publishing costs beyond capture and decode.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <vexel/vexel.hpp>

namespace vexel_dds {

class CameraPublisher {
  public:
    // Joins `domain` and creates the writers under namespace `ns` (already cleaned); throws
    // std::runtime_error with DDS's reason when it cannot.
    CameraPublisher(uint32_t domain, const std::string& ns, bool reliable, std::string frame_id, bool metres);
    ~CameraPublisher();
    CameraPublisher(const CameraPublisher&) = delete;
    CameraPublisher& operator=(const CameraPublisher&) = delete;

    // Writes depth, amplitude, points and camera info of one frame: `dist` and `amp` are the
    // decoded w x h images of `cam` (ray length in metres, amplitude), `stamp_ns` the header
    // stamp. A best-effort writer drops rather than fails; a failed write is said on stderr.
    void send(vexel::Device& cam, std::span<const float> dist, std::span<const float> amp, int w, int h,
              int64_t stamp_ns);
    // Settings requests that arrived since the last call, as text, and the reply to one.
    std::vector<std::string> requests();
    void reply(const std::string& text);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The reply to one settings request, after the camera has been asked (or the request refused).
std::string apply_setting(vexel_dev* dev, const std::string& text);

}  // namespace vexel_dds
