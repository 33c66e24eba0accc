// A complete client in C++: capture a frame, turn it into a point cloud and write it as a PLY
// file that point-cloud viewers open.
//
//     vexel-sim -- ./point_cloud cloud.ply     # without a camera
#include <exception>
#include <fstream>
#include <iostream>

#include <vexel/vexel.hpp>

int main(int argc, char** argv) try {
    const char* path = argc > 1 ? argv[1] : "cloud.ply";
    vexel::Library lib;
    vexel::Device cam = vexel::Device::open();
    std::cout << "camera " << cam.product() << ", serial " << cam.serial() << '\n';

    vexel::Frame frame;
    {
        vexel::Capture running(cam);
        frame = cam.next_frame();
    }
    const std::vector<vexel::Point> points = cam.point_cloud(frame);  // metres, camera coordinates

    std::ofstream out(path);
    out << "ply\nformat ascii 1.0\nelement vertex " << points.size()
        << "\nproperty float x\nproperty float y\nproperty float z\nend_header\n";
    for (const vexel::Point& p : points) out << p.x << ' ' << p.y << ' ' << p.z << '\n';
    out.close();
    if (!out) throw std::runtime_error(std::string("cannot write ") + path);
    std::cout << points.size() << " points written to " << path << '\n';
    return 0;
} catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
}
