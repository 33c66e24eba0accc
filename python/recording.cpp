// Recordings from Python: a recorder on an open Device, and a recording opened as a Device.
#include "common.hpp"

namespace vxpy {

namespace {

py::dict rec_stats(const vexel_rec_stats& s) {
    py::dict d;
    d["frames"] = s.frames;
    d["frames_lost"] = s.frames_lost;
    d["events"] = s.events;
    d["settings"] = s.settings;
    d["raw_bytes"] = s.raw_bytes;
    d["file_bytes"] = s.file_bytes;
    d["chunks"] = s.chunks;
    return d;
}

}  // namespace

void bind_recording(py::module_& m) {
    auto cls = py::reinterpret_borrow<py::class_<DeviceCore, std::shared_ptr<DeviceCore>>>(m.attr("Device"));
    cls.def(
           "record",
           [](DeviceCore& c, const py::object& path, int level) {
               const std::string p = fs_path(path);
               vexel_rec_options opt{};
               opt.zstd_level = level;
               int ok;
               vexel_dev* d = c.live("vexel_rec_start");
               {
                   py::gil_scoped_release nogil;
                   ok = vexel_rec_start(d, p.c_str(), &opt);
               }
               if (!ok) raise_error("vexel_rec_start", 0, "cannot record into " + p + " (the library's log says why)");
           },
           py::arg("path"), py::arg("level") = 1,
           "Starts recording this device into `path` (replaced if it exists): identity, settings,\n"
           "calibration, then every frame it receives until stop_recording() or close().\n"
           "vexel.open_recording(path) plays it back.")
        .def(
            "stop_recording",
            [](DeviceCore& c) {
                vexel_rec_stats st{};
                int ok;
                vexel_dev* d = c.live("vexel_rec_stop");
                {
                    py::gil_scoped_release nogil;
                    ok = vexel_rec_stop(d, &st);
                }
                if (!ok) raise_error("vexel_rec_stop", 0, st.message[0] ? st.message : "the device is not recording");
                return rec_stats(st);
            },
            "Ends the recording and completes the file; returns its figures (frames, frames_lost,\n"
            "events, settings, raw_bytes, file_bytes, chunks).")
        .def(
            "play",
            [](DeviceCore& c, bool realtime, bool loop) {
                if (!vexel_play_set(c.live("vexel_play_set"), realtime ? VEXEL_PLAY_CAMERA_RATE : VEXEL_PLAY_AS_PULLED,
                                    loop ? 1 : 0))
                    raise_error("vexel_play_set", 0, "the device is not a recording");
            },
            py::arg("realtime") = false, py::arg("loop") = false,
            "For a recording: frames at the camera's rate or as fast as they are taken, and whether\n"
            "playback starts over at the end.")
        .def(
            "seek",
            [](DeviceCore& c, uint32_t frame) {
                int ok;
                vexel_dev* d = c.live("vexel_play_seek");
                {
                    py::gil_scoped_release nogil;
                    ok = vexel_play_seek(d, frame);
                }
                if (!ok) raise_error("vexel_play_seek", 0, "no frame " + std::to_string(frame) + " in the recording");
            },
            py::arg("frame"), "For a recording: continue at frame number `frame` (from 0).")
        .def_property_readonly(
            "playback",
            [](DeviceCore& c) -> py::object {
                vexel_play_info i{};
                if (!vexel_play_get_info(c.live("vexel_play_get_info"), &i)) return py::none();
                py::dict d;
                d["version"] = i.version;
                d["frames"] = i.frames;
                d["position"] = i.position;
                d["loops"] = i.loops;
                d["duration"] = static_cast<double>(i.duration_us) / 1e6;
                d["ended"] = i.ended != 0;
                d["damaged"] = i.damaged != 0;
                d["message"] = std::string(i.message);
                return d;
            },
            "For a recording: frames, position, loops, duration (s), ended, damaged and why; None\n"
            "for a camera.");

    m.def(
        "open_recording",
        [](const py::object& path, bool realtime, bool loop) {
            auto core = std::make_shared<DeviceCore>(vexel_dev{});
            core->set_recording(fs_path(path));
            core->open();
            track(core);
            vexel_play_set(core->live("vexel_play_set"), realtime ? VEXEL_PLAY_CAMERA_RATE : VEXEL_PLAY_AS_PULLED,
                           loop ? 1 : 0);
            return core;
        },
        py::arg("path"), py::arg("realtime") = false, py::arg("loop") = false,
        "Opens a recording made by Device.record() or `vexel record` as a Device: the same calls\n"
        "work, settings writes that would change the recording raise vexel.Error. Frames come as\n"
        "fast as they are taken, or at the camera's rate with `realtime`.");
}

}  // namespace vxpy
