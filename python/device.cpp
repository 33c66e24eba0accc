// Devices, capture and frames. Every call that waits for the camera (open, control commands,
// frame waits, decode) runs with the GIL released, so other Python threads keep going.
#include <cstdio>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <pybind11/stl.h>
#include <vexel/driver.h>
#include <vexel/vexel.hpp>

#include "common.hpp"

namespace vxpy {

namespace {

constexpr int kMaxCameras = 16;
// Four phase planes of 16-bit samples at full resolution: the largest frame the cameras stream.
constexpr uint32_t kMaxFrameBytes = 320 * 240 * 2 * 4;
// Less than any wait of vexel_cap_get_frames that ends without a frame while capture goes on.
constexpr std::chrono::milliseconds kShortestWait{1000};

std::string text(const char* s, size_t n) {
    return std::string(s, strnlen(s, n));
}

const char* speed_name(uint8_t s) {
    switch (s) {
        case 1:
            return "low";
        case 2:
            return "full";
        case 3:
            return "high";
        case 4:
            return "super";
        case 5:
            return "super+";
        default:
            return "unknown";
    }
}

std::vector<vexel_dev> list_devices() {
    std::vector<vexel_dev> list(kMaxCameras);
    int n;
    {
        py::gil_scoped_release nogil;
        n = vexel_dev_list(list.data(), kMaxCameras);
    }
    list.resize(static_cast<size_t>(std::max(n, 0)));
    return list;
}

// A camera on the bus, as listed; open it with vexel.open(info).
struct DeviceInfo {
    vexel_dev rec;
    std::string product, serial;  // empty when it did not answer
};

std::vector<DeviceInfo> identified_devices() {
    std::vector<DeviceInfo> out;
    for (const auto& r : list_devices()) {
        std::optional<vexel::Identity> id;
        {
            py::gil_scoped_release nogil;
            id = vexel::identify(r);
        }
        out.push_back({r, id ? id->product : "", id ? id->serial : ""});
    }
    return out;
}

// A frame's information as Python sees it: the driver's record and what the pull added beside it.
struct FrameInfo {
    vexel_frame_info info;
    vexel_frame_meta meta;
};

struct Frame {
    std::shared_ptr<DeviceCore> dev;
    vexel_frame_info info{};
    vexel_frame_meta meta{};
    std::unique_ptr<uint8_t[]> bytes;

    size_t pixels() const { return size_t{info.frame_width} * info.frame_height; }
};

// Waits for the next frame of a running capture. The library's own wait for a frame lasts up
// to 2 s plus 1.1 frame periods (3.1 s at 1 fps); while at least that much of the time-out is
// left it waits there, the rest is spent polling, so the time-out holds to a few milliseconds.
// Ctrl-C is honoured between waits.
std::unique_ptr<Frame> next_frame(const std::shared_ptr<DeviceCore>& core, std::optional<double> timeout_ms) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kLibraryWait{3100}, kPoll{2};
    const auto deadline = Clock::now() + std::chrono::duration<double, std::milli>(timeout_ms.value_or(0));
    auto f = std::make_unique<Frame>();
    f->dev = core;
    f->bytes.reset(new uint8_t[kMaxFrameBytes]);
    for (;;) {
        vexel_dev* d = core->live("vexel_cap_get_frames");
        const auto called = Clock::now();
        const bool wait = !timeout_ms || deadline - called >= kLibraryWait;
        int r;
        {
            py::gil_scoped_release nogil;
            r = wait ? vexel_cap_get_frames(d, 1, f->bytes.get(), kMaxFrameBytes, &f->info)
                     : vexel_cap_get_frame(d, f->bytes.get(), kMaxFrameBytes, &f->info);
            if (r > 0) vexel_cap_get_frame_meta(d, &f->meta);
            if (r == 0 && !wait && Clock::now() < deadline) std::this_thread::sleep_for(kPoll);
        }
        if (r > 0) break;
        if (r == -2) raise_error("vexel_cap_get_frames", r, "capture is not running");
        if (r < 0)
            raise_error("vexel_cap_get_frames", r, std::string("capture failed: ") + vexel_error_name(r));
        // The library waits at least two seconds for a frame unless the capture has ended (a
        // stop, an error already reported, or the error callback): asking again would spin.
        if (wait && Clock::now() - called < kShortestWait)
            raise_error("vexel_cap_get_frames", 0, "capture has ended");
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (timeout_ms && Clock::now() >= deadline)
            raise_timeout("vexel_cap_get_frames",
                          "no frame within " + std::to_string(int64_t(*timeout_ms)) + " ms");
    }
    if (f->info.frame_size > kMaxFrameBytes)
        raise_error(
            "vexel_cap_get_frames", 0,
            "frame of " + std::to_string(f->info.frame_size) + " bytes does not fit the frame buffer");
    return f;
}

void check_timeout(std::optional<double> timeout_ms) {
    if (timeout_ms && !(*timeout_ms >= 0)) throw py::value_error("timeout_ms must be at least 0 (None: no limit)");
}

bool capturing(DeviceCore& core) {
    vexel_dev* d = core.live("vexel_cap_is_ongoing");
    py::gil_scoped_release nogil;  // it may wait its turn behind another thread's call
    return vexel_cap_is_ongoing(d) > 0;
}

void start(DeviceCore& core) {
    vexel_dev* d = core.live("vexel_cap_start");
    int ok;
    {
        py::gil_scoped_release nogil;
        ok = vexel_cap_start(d);
    }
    if (!ok) raise_error("vexel_cap_start", 0, "capture did not start");
}

void stop(DeviceCore& core) {
    vexel_dev* d = core.live("vexel_cap_stop");
    int ok;
    {
        py::gil_scoped_release nogil;
        ok = vexel_cap_stop(d);
    }
    if (!ok) raise_error("vexel_cap_stop", 0, "the camera did not acknowledge the stop; capture is still on");
}

// Iterates over frames; stops the capture at the end only if it started it.
struct FrameIterator {
    std::shared_ptr<DeviceCore> core;
    std::optional<long> remaining;
    std::optional<double> timeout_ms;
    bool started = false;

    ~FrameIterator() {
        if (library_up()) finish_quietly();
    }
    void finish() {
        remaining = 0;
        if (!started) return;
        started = false;
        if (core->is_open()) stop(*core);
    }
    void finish_quietly() {
        try {
            finish();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("vexel frame iterator");
        }
    }
    std::unique_ptr<Frame> next() {
        if (remaining && *remaining <= 0) {
            finish();
            throw py::stop_iteration();
        }
        std::unique_ptr<Frame> f;
        try {
            f = next_frame(core, timeout_ms);
        } catch (...) {
            finish_quietly();
            throw;
        }
        if (remaining) --*remaining;
        return f;
    }
};

// Decodes into a freshly allocated (height, width) array that the library fills in place.
template <class Fn>
py::array_t<float> decode(Frame& f, Fn fn, const char* call) {
    const auto h = static_cast<py::ssize_t>(f.info.frame_height),
               w = static_cast<py::ssize_t>(f.info.frame_width);
    if (f.pixels() == 0) raise_error(call, 0, "the frame has no image size");
    py::array_t<float> out({h, w});
    float* dst = out.mutable_data();
    vexel_dev* d = f.dev->live(call);
    int n;
    {
        py::gil_scoped_release nogil;
        n = fn(d, dst, static_cast<uint32_t>(f.pixels()), f.bytes.get(), f.info.frame_size, &f.info);
    }
    if (n <= 0) raise_error(call, 0, "frame " + std::to_string(f.info.frame_idx) + " was not decoded");
    return out;
}

using FloatImage = py::array_t<float, py::array::c_style | py::array::forcecast>;

// RGB bytes of the library colour map for each distance, as vexel.colour_map colours them
// (no range: the distances' own 1st to 99th percentile).
py::array_t<uint8_t> rgb_of(const float* metres, py::ssize_t n, std::vector<py::ssize_t> shape,
                            std::optional<std::pair<float, float>> range) {
    py::array_t<float> dist(shape);
    std::copy_n(metres, n, dist.mutable_data());
    return colour_map(dist, range, "rgb");
}

// Points of the valid pixels (0 < d < 60 m), each along its pixel's ray through the driver's
// lens model: (N, 3) x, y, z in metres, or (N, 4) with the colour word of the library colour
// map as the fourth value; organised (h, w, 3) with NaN; with the pixel index and RGB bytes.
py::object point_cloud(Frame& f, bool colour, std::optional<FloatImage> given, bool organised, bool pixels,
                       const py::object& rgb_arg) {
    // rgb: None or False none, True the automatic range, (near, far) a fixed one.
    const bool want_rgb = !rgb_arg.is_none() && !(py::isinstance<py::bool_>(rgb_arg) && !rgb_arg.cast<bool>());
    std::optional<std::pair<float, float>> rgb_range;
    if (want_rgb && !py::isinstance<py::bool_>(rgb_arg)) rgb_range = rgb_arg.cast<std::pair<float, float>>();

    constexpr const char* call = "vexel_frame_get_pcl_ex";
    FloatImage dist;
    if (given) {
        dist = *given;
        if (dist.ndim() != 2 || size_t(dist.shape(0)) != f.info.frame_height ||
            size_t(dist.shape(1)) != f.info.frame_width)
            throw py::value_error("distance must have the frame's shape (height, width)");
    } else {
        dist = decode(f, vexel_frame_get_distance, "vexel_frame_get_distance");
    }
    if (colour && (organised || pixels || want_rgb))
        throw py::value_error("colour (the colour word) goes with none of organised, pixels, rgb");
    if (organised && pixels) throw py::value_error("an organised cloud is indexed by its pixels already");
    const float* src = dist.data();
    const auto total = static_cast<py::ssize_t>(dist.size());
    const auto w = static_cast<int32_t>(f.info.frame_width), h = static_cast<int32_t>(f.info.frame_height);
    const bool undistorted = f.dev->lens_undistort.load() && w == 320 && h == 240;  // the decoder's rule
    uint32_t flags = undistorted ? VEXEL_PCL_UNDISTORTED : VEXEL_PCL_DISTORTED;
    py::ssize_t valid = 0;
    for (py::ssize_t i = 0; i < total; ++i) valid += src[i] > 0.0f && src[i] < 60.0f;
    const py::ssize_t rows = organised ? total : valid, cols = colour ? 4 : 3;
    py::array_t<float> pcl({rows, cols});
    py::array_t<int32_t> index({rows});
    vexel_dev* d = f.dev->live(call);
    int32_t n = 0;
    if (rows > 0) {
        float* dst = pcl.mutable_data();
        const auto len = static_cast<int32_t>(rows * cols);
        int32_t* idx = pixels || want_rgb ? index.mutable_data() : nullptr;
        py::gil_scoped_release nogil;
        if (colour) {
            std::lock_guard steady(colour_range_mutex());
            n = vexel_frame_get_pcl_xyzd(d, dst, len, src, static_cast<int32_t>(total), w, h, 1, nullptr);
        } else {
            if (organised) flags |= VEXEL_PCL_ORGANISED;
            n = vexel_frame_get_pcl_ex(d, dst, len, src, static_cast<int32_t>(total), w, h, nullptr, flags, idx,
                                       static_cast<int32_t>(rows));
        }
    }
    if (n <= 0 && valid > 0)
        raise_error(call, 0, "no point cloud (the driver has no lens parameters for this size)");
    py::object points = pcl;
    if (organised) {
        points = pcl.reshape({py::ssize_t{h}, py::ssize_t{w}, py::ssize_t{3}});
    } else if (n < rows) {  // pixels without a ray give no point: a view of the rows written
        points = pcl[py::slice(0, n, 1)];
        index = py::object(index[py::slice(0, n, 1)]).cast<py::array_t<int32_t>>();
    }
    if (!pixels && !want_rgb) return points;
    py::list out;
    out.append(points);
    if (pixels) out.append(index);
    if (want_rgb) {
        if (organised) {
            out.append(rgb_of(src, total, {py::ssize_t{h}, py::ssize_t{w}}, rgb_range));
        } else {
            // The distances of the points, in their order.
            std::vector<float> at(static_cast<size_t>(n));
            const int32_t* ix = index.data();
            for (int32_t k = 0; k < n; ++k) at[size_t(k)] = src[ix[k]];
            out.append(rgb_of(at.data(), n, {py::ssize_t{n}}, rgb_range));
        }
    }
    return py::tuple(out);
}

std::vector<vexel_param_item> get_params(DeviceCore& core, const std::vector<uint32_t>& ids) {
    std::vector<vexel_param_item> items(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] > 255) throw py::value_error("parameter ids are 0 to 255");
        items[i].param_id = ids[i];
    }
    vexel_dev* d = core.live("vexel_param_batch_get");
    int ok;
    {
        py::gil_scoped_release nogil;
        ok = vexel_param_batch_get(d, items.data(), static_cast<int>(items.size()));
    }
    if (!ok) raise_error("vexel_param_batch_get", 0, "parameter read failed");
    return items;
}

py::bytes param_value(const vexel_param_item& it) {
    const size_t n = std::min<size_t>(it.param_len, sizeof it.param_val);
    return py::bytes(reinterpret_cast<const char*>(it.param_val), n);
}

void set_params(DeviceCore& core, const py::dict& values) {
    std::vector<vexel_param_item> items;
    for (auto [k, v] : values) {
        const auto id = k.cast<uint32_t>();
        const auto bytes = v.cast<std::string>();
        if (id > 255) throw py::value_error("parameter ids are 0 to 255");
        if (bytes.size() > sizeof(vexel_param_item::param_val))
            throw py::value_error("a parameter holds at most 18 bytes");
        vexel_param_item it{};
        it.param_id = id;
        it.param_len = static_cast<uint8_t>(bytes.size());
        std::memcpy(it.param_val, bytes.data(), bytes.size());
        items.push_back(it);
    }
    vexel_dev* d = core.live("vexel_param_batch_set");
    int ok;
    {
        py::gil_scoped_release nogil;
        ok = vexel_param_batch_set(d, items.data(), static_cast<int>(items.size()));
    }
    if (!ok) raise_error("vexel_param_batch_set", 0, "parameter write failed");
}

uint32_t le(const py::bytes& b, size_t n) {
    const std::string s = b;
    uint32_t v = 0;
    for (size_t i = 0; i < n && i < s.size(); ++i) v |= uint32_t(uint8_t(s[i])) << (8 * i);
    return v;
}

// Processing switches by name, from the library's one table (vexel_filter_at): the names the
// vexel program, the C++ layer and the viewer use, and the ids' own names ("lens_undistort")
// this module took before. Unknown names raise ValueError, or KeyError for a mapping look-up.
const vexel_filter_info& filter_spec(const std::string& name, bool as_key = false) {
    if (const vexel_filter_info* f = vexel_filter_find(name.c_str())) return *f;
    std::string known;
    for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i) known += std::string(i ? ", " : "") + f->name;
    const std::string why = "unknown filter \"" + name + "\" (filters: " + known + ")";
    if (as_key) throw py::key_error(why);
    throw py::value_error(why);
}

py::list program_names() {
    py::list l;
    for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i) l.append(f->name);
    return l;
}

std::string bounds(const vexel_filter_info& f) {
    char b[96];
    std::snprintf(b, sizeof b, "%s%.10g, %.10g]%s", f.lo_open ? "(" : "[", f.lo, f.hi, f.odd ? " (odd)" : "");
    return b;
}

struct Filters {
    std::shared_ptr<DeviceCore> core;

    void enable(const std::string& name, const py::object& value) {
        const vexel_filter_info& f = filter_spec(name);
        const std::string n = std::string("filter \"") + f.name + "\"";
        double v = f.default_value;
        if (f.kind == VEXEL_FILTER_VALUE_NONE) {
            if (!value.is_none()) throw py::value_error(n + " takes no value");
        } else if (value.is_none()) {
            if (!f.has_default) throw py::value_error(n + " needs a value");
        } else if (py::isinstance<py::bool_>(value) || !PyNumber_Check(value.ptr())) {
            throw py::value_error(n + " takes a number in " + bounds(f));
        } else if (f.kind == VEXEL_FILTER_VALUE_FLOAT) {
            v = value.cast<double>();
        } else {
            // Any integer (numpy's too), but no fraction.
            const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
            int overflow = 0;
            const long long i = index ? PyLong_AsLongLongAndOverflow(index.ptr(), &overflow) : 0;
            if (!index || overflow) {
                PyErr_Clear();
                throw py::value_error(n + " takes an integer in " + bounds(f));
            }
            v = double(i);
        }
        vexel_dev* d = core->live("vexel_filter_set");
        int32_t r;
        {
            py::gil_scoped_release nogil;
            r = vexel_filter_set(d, f.id, 1, v);
        }
        if (r == -2) throw py::value_error(n + ": " + py::str(value).cast<std::string>() + " is out of " + bounds(f));
        if (r != 1) raise_error("vexel_filter_set", r, "the driver refused " + n);
        if (f.id == VEXEL_FILTER_LENS_UNDISTORT) core->lens_undistort = true;
    }

    void disable(const std::string& name) {
        const vexel_filter_info& f = filter_spec(name);
        vexel_dev* d = core->live("vexel_filter_set");
        int32_t r;
        {
            py::gil_scoped_release nogil;
            r = vexel_filter_set(d, f.id, 0, 0);
        }
        if (r != 1) raise_error("vexel_filter_set", r, std::string("the driver refused to switch filter \"") + f.name + "\" off");
        if (f.id == VEXEL_FILTER_LENS_UNDISTORT) core->lens_undistort = false;
    }

    // A switch's state: None when off, else its value (True for the switches without one).
    py::object get(const std::string& name) {
        const vexel_filter_info& f = filter_spec(name, true);
        vexel_dev* d = core->live("vexel_filter_value");
        double v = 0;
        const int32_t r = vexel_filter_value(d, f.id, &v);
        if (r < 0) raise_error("vexel_filter_value", r, std::string("no state for filter \"") + f.name + "\"");
        if (r == 0) return py::none();
        if (f.kind == VEXEL_FILTER_VALUE_FLOAT) return py::float_(v);
        if (f.kind == VEXEL_FILTER_VALUE_NONE) return py::bool_(true);
        return py::int_(static_cast<long long>(v));
    }

    py::dict states() {
        py::dict out;
        for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i) out[f->name] = get(f->name);
        return out;
    }

    void set(const std::string& name, const py::object& value) {
        if (value.is_none() || (py::isinstance<py::bool_>(value) && !value.cast<bool>()))
            disable(name);
        else if (py::isinstance<py::bool_>(value))
            enable(name, py::none());
        else
            enable(name, value);
    }
};

// Calls a Python progress function from the transferring thread; an exception it raises
// cancels the transfer and is raised again once the transfer has returned.
struct Progress {
    py::object fn;
    std::exception_ptr error;
    bool cancelled = false;

    static int call(uint32_t done, uint32_t total, int stage, void* user) {
        auto* p = static_cast<Progress*>(user);
        static const char* const kStages[] = {"?", "erase", "write", "restart", "read"};
        py::gil_scoped_acquire gil;
        try {
            const py::object r = p->fn(done, total, kStages[stage >= 1 && stage <= 4 ? stage : 0]);
            p->cancelled = PyObject_IsTrue(r.ptr()) == 1;
        } catch (...) {
            p->error = std::current_exception();
            p->cancelled = true;
        }
        return p->cancelled ? 1 : 0;
    }
};

// Runs a transfer with the GIL released; true when complete, false when the progress function
// cancelled it.
template <class Fn>
bool transfer(const char* call, const py::object& progress, Fn fn) {
    Progress p{progress};
    const bool with = !progress.is_none();
    int r;
    {
        py::gil_scoped_release nogil;
        r = fn(with ? &Progress::call : nullptr, with ? &p : nullptr);
    }
    if (p.error) std::rethrow_exception(p.error);
    if (r == 1) return true;
    if (p.cancelled) return false;
    raise_error(call, r, "the transfer failed");
}

std::shared_ptr<DeviceCore> open_record(const vexel_dev& rec) {
    auto core = std::make_shared<DeviceCore>(rec);
    core->open();
    track(core);
    return core;
}

std::shared_ptr<DeviceCore> open_by_serial(const std::string& serial) {
    auto core = std::make_shared<DeviceCore>(vexel_dev{});
    core->open_serial(serial);
    track(core);
    return core;
}

}  // namespace

void bind_device(py::module_& m) {
    py::class_<DeviceInfo>(m, "DeviceInfo", "A camera on the USB bus, as vexel.devices() lists it.")
        .def_readonly("product", &DeviceInfo::product, "Product string, e.g. \"A-E2-2.0\" (empty: did not answer).")
        .def_readonly("serial", &DeviceInfo::serial, "Serial (empty: did not answer).")
        .def_property_readonly(
            "bus", [](const DeviceInfo& i) { return i.rec.bus; }, "USB bus number.")
        .def_property_readonly(
            "port", [](const DeviceInfo& i) { return i.rec.port; }, "USB port number.")
        .def_property_readonly(
            "address", [](const DeviceInfo& i) { return i.rec.addr; }, "USB device address.")
        .def_property_readonly(
            "speed", [](const DeviceInfo& i) { return speed_name(i.rec.speed); },
            "USB speed: \"high\", \"super\", ...")
        .def("__repr__", [](const DeviceInfo& i) {
            return "<vexel.DeviceInfo " + (i.product.empty() ? std::string("?") : i.product) + " serial " +
                   (i.serial.empty() ? std::string("?") : i.serial) + ", bus " + std::to_string(i.rec.bus) +
                   " port " + std::to_string(i.rec.port) + " address " + std::to_string(i.rec.addr) + ", " +
                   speed_name(i.rec.speed) + " speed>";
        });

    m.def(
        "devices", [] { return identified_devices(); },
        "The cameras attached to the USB buses (at most 16), as a list of DeviceInfo with product and\n"
        "serial (read without starting the camera's driver).");

    py::class_<FrameInfo>(m, "FrameInfo", "What the driver says about a frame, and when and how warm it came.")
        .def_property_readonly("size", [](const FrameInfo& i) { return i.info.frame_size; }, "bytes")
        .def_property_readonly("format", [](const FrameInfo& i) { return i.info.frame_format; }, "frame format code")
        .def_property_readonly("index", [](const FrameInfo& i) { return i.info.frame_idx; },
                               "the camera's frame counter, wrapping at 65536")
        .def_property_readonly("width", [](const FrameInfo& i) { return i.info.frame_width; }, "pixels")
        .def_property_readonly("height", [](const FrameInfo& i) { return i.info.frame_height; }, "pixels")
        .def_property_readonly("depth", [](const FrameInfo& i) { return i.info.frame_depth; }, "bytes per pixel")
        .def_property_readonly("host_time_ns", [](const FrameInfo& i) { return i.meta.host_time_ns; },
                               "host wall clock when the library took the frame, ns since 1970 (0: unknown)")
        .def_property_readonly(
            "host_time", [](const FrameInfo& i) { return static_cast<double>(i.meta.host_time_ns) / 1e9; },
            "host_time_ns in seconds, as time.time() counts them")
        .def_property_readonly(
            "sensor_temperature", [](const FrameInfo& i) { return i.meta.sensor_temp / 10.0; },
            "sensor temperature from the frame's header, degrees Celsius")
        .def_property_readonly(
            "illumination_temperature", [](const FrameInfo& i) { return i.meta.illum_temp / 10.0; },
            "illumination board temperature from the frame's header, degrees Celsius")
        .def("__repr__", [](const FrameInfo& f) {
            const vexel_frame_info& i = f.info;
            char temps[64];
            std::snprintf(temps, sizeof temps, ", sensor %.1f C, illumination %.1f C", f.meta.sensor_temp / 10.0,
                          f.meta.illum_temp / 10.0);
            return "<vexel.FrameInfo index " + std::to_string(i.frame_idx) + ", " +
                   std::to_string(i.frame_width) + "x" + std::to_string(i.frame_height) + ", format " +
                   std::to_string(i.frame_format) + ", " + std::to_string(i.frame_size) + " bytes" + temps + ">";
        });

    py::class_<Frame>(m, "Frame",
                      "A captured raw frame. It keeps its device's core alive for decoding; decoding\n"
                      "needs the device open. Decoding may run on any thread, also while capturing.")
        .def_property_readonly(
            "info", [](const Frame& f) { return FrameInfo{f.info, f.meta}; },
            "FrameInfo: size, format, index, width, height, depth, host time and temperatures.")
        .def_property_readonly(
            "raw",
            [](py::object self) {
                Frame& f = self.cast<Frame&>();
                py::array_t<uint8_t> a({static_cast<py::ssize_t>(f.info.frame_size)}, {py::ssize_t{1}},
                                       f.bytes.get(), self);
                a.attr("setflags")(py::arg("write") = false);
                return a;
            },
            "The frame's bytes as a read-only uint8 array: a view, no copy; it keeps the frame alive.")
        .def(
            "distance",
            [](Frame& f) { return decode(f, vexel_frame_get_distance, "vexel_frame_get_distance"); },
            "Decodes the distance image: float32 metres, shape (height, width); 65.3 marks weak and\n"
            "65.5 invalid pixels. Raises vexel.Error when the frame cannot be decoded.")
        .def(
            "amplitude", [](Frame& f) { return decode(f, vexel_frame_get_gray, "vexel_frame_get_gray"); },
            "Decodes the amplitude (gray) image: float32 sample units, shape (height, width);\n"
            "65500 marks saturated pixels.")
        .def("point_cloud", &point_cloud, py::arg("colour") = false, py::arg("distance") = py::none(),
             py::arg("organised") = false, py::arg("pixels") = false, py::arg("rgb") = py::none(),
             "Points of the valid pixels, each at its distance along the pixel's ray through the\n"
             "driver's lens model (of the undistorted image when the lens_undistort filter is on), in\n"
             "scan order: float32, shape (N, 3) x, y, z in metres. `organised`: shape (height, width, 3)\n"
             "with NaN where a pixel gives no point. `pixels`: also the int32 pixel index\n"
             "(row * width + column) of each point. `rgb` = (near, far) in metres, or True for the\n"
             "automatic range of vexel.colour_map: also uint8 colours of the library colour map, (N, 3)\n"
             "or (height, width, 3), black where there is no measurement. With `pixels` or `rgb` the result is\n"
             "a tuple (points, [pixels], [rgb]). `colour` alone gives (N, 4) whose fourth value is the\n"
             "colour word 0x00BBGGRR (range as vexel.colour_map last set it). `distance` reuses an\n"
             "image from distance() instead of decoding again.")
        .def("__repr__", [](const Frame& f) {
            return "<vexel.Frame index " + std::to_string(f.info.frame_idx) + ", " +
                   std::to_string(f.info.frame_width) + "x" + std::to_string(f.info.frame_height) + ">";
        });

    py::class_<FrameIterator>(m, "FrameIterator", "Frames as they arrive; see Device.frames().")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameIterator::next)
        .def("close", &FrameIterator::finish, "Ends the iteration (stopping a capture it started).");

    py::class_<Filters>(
        m, "Filters",
        "The device's processing switches by name. They start at the driver's defaults at\n"
        "every open, but for temp-two-sided, which the module switches on (the sensor's\n"
        "temperature compensation below its calibration temperature too); a change applies from\n"
        "the next decoded frame. Bad names or values raise ValueError, a refusal of the driver\n"
        "vexel.Error.")
        .def("enable", &Filters::enable, py::arg("name"), py::arg("value") = py::none(),
             "Switches a filter on with its value: median (odd kernel 1..255, default 3), amp\n"
             "(minimum amplitude, default 0), auto-intg (bad samples per mille 1..1000, required),\n"
             "dcs-check (correction value 0..65535, default 0), temp-monitor (0..65535, default 75),\n"
             "drnu (calibration set 0 or 1, default 0); lens, hdr and temp-two-sided take none.\n"
             "Depth quality (floats): confidence (largest predicted noise kept, mm, default 30), flying\n"
             "(k 1..100, default 6), temporal (alpha in (0, 1], default 0.1), spatial (range sigma in mm,\n"
             "default 5), fill (largest hole 1..64 px, default 4).")
        .def("disable", &Filters::disable, py::arg("name"))
        .def("__getitem__", &Filters::get, "filters[name]: None when off, else its value (True without one).")
        .def("states", &Filters::states, "Every switch's state as a dict, as filters[name] gives it.")
        .def("__setitem__", &Filters::set,
             "filters[name] = value enables with that value, True with the default, False or None disables.")
        .def("__contains__",
             [](const Filters&, const py::object& name) {
                 if (!py::isinstance<py::str>(name)) return false;
                 try {
                     filter_spec(name.cast<std::string>());
                     return true;
                 } catch (py::value_error&) {
                     return false;
                 }
             })
        .def("__len__", [](const Filters&) { return vexel_filter_count(); })
        .def("__iter__", [](const Filters&) { return py::iter(program_names()); })
        .def(
            "keys", [](const Filters&) { return program_names(); },
            "The filter names, as the vexel program's --filter takes them (lens, drnu, amp, ...).")
        .def(
            "items",
            [](Filters& f) {
                py::list out;
                for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i)
                    out.append(py::make_tuple(k->name, f.get(k->name)));
                return out;
            },
            "(name, state) pairs, the state as filters[name] gives it.")
        .def("__repr__",
             [](Filters& f) {
                 std::string out = "<vexel.Filters";
                 for (int32_t i = 0; const vexel_filter_info* k = vexel_filter_at(i); ++i) {
                     const py::object v = f.get(k->name);
                     out += std::string(" ") + k->name + "=" +
                            (v.is_none() ? std::string("off") : py::str(v).cast<std::string>());
                 }
                 return out + ">";
             })
        .def_property_readonly_static(
            "names",
            [](const py::object&) { return py::tuple(program_names()); },
            "The filter names (lens, drnu, median, amp, ...), as every layer of the library takes them;\n"
            "this module's earlier names (lens_undistort, pixel_calib, amp_threshold, ...) are accepted too.");

    py::class_<DeviceCore, std::shared_ptr<DeviceCore>>(
        m, "Device",
        "An open camera. Use it as a context manager, or close() it: `with vexel.open() as cam:`.\n"
        "Methods may be called from several threads; blocking calls release the GIL.")
        .def("close", &DeviceCore::close, "Stops a running capture and closes the device. Idempotent.")
        .def_property_readonly("closed", [](const DeviceCore& c) { return !c.is_open(); })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](DeviceCore& c, const py::args&) { c.close(); })
        .def_property_readonly(
            "product", [](const DeviceCore& c) { return text(c.record().product, 32); },
            "Product string, e.g. \"A-E2-2.0\".")
        .def_property_readonly("serial", [](const DeviceCore& c) { return text(c.record().dev_id, 32); })
        .def_property_readonly(
            "firmware",
            [](const DeviceCore& c) { return unsigned(c.record().version[2] | c.record().version[3] << 8); },
            "Firmware version word.")
        .def_property_readonly(
            "chip",
            [](DeviceCore& c) {
                const std::string v = param_value(get_params(c, {VX_PARAM_CHIP_INFO})[0]);
                auto word = [&](size_t at) {
                    return at + 1 < v.size() ? uint8_t(v[at]) | uint8_t(v[at + 1]) << 8 : 0;
                };
                py::dict d;
                d["part_version"] = word(0);
                d["chip_number"] = word(2);
                d["wafer_id"] = word(4);
                return d;
            },
            "Sensor chip information read from the camera: part_version, chip_number, wafer_id.")
        .def_property_readonly("info", [](const DeviceCore& c) { return DeviceInfo{c.record()}; })
        .def(
            "start", [](DeviceCore& c) { start(c); },
            "Starts capture. Raises vexel.Error when it does not start.")
        .def(
            "stop", [](DeviceCore& c) { stop(c); }, "Stops capture.")
        .def_property_readonly("capturing", [](DeviceCore& c) { return capturing(c); })
        .def(
            "frame",
            [](const std::shared_ptr<DeviceCore>& c, std::optional<double> timeout_ms) {
                check_timeout(timeout_ms);
                if (capturing(*c)) return next_frame(c, timeout_ms);
                FrameIterator once;
                once.core = c;
                once.timeout_ms = timeout_ms;
                start(*c);
                once.started = true;
                return once.next();  // stops the capture again when it ends, whichever way
            },
            py::arg("timeout_ms") = 5000.0,
            "The next frame of a running capture, waiting at most `timeout_ms` milliseconds (None: no\n"
            "limit; vexel.Timeout when it passes; negative values raise ValueError). Without a running\n"
            "capture: one frame with capture started and stopped around it.")
        .def(
            "frames",
            [](const std::shared_ptr<DeviceCore>& c, std::optional<long> n,
               std::optional<double> timeout_ms) {
                if (n && *n < 0) throw py::value_error("n must be at least 0");
                check_timeout(timeout_ms);
                auto it = std::make_unique<FrameIterator>();
                it->core = c;
                it->remaining = n;
                it->timeout_ms = timeout_ms;
                if (!capturing(*c)) {
                    start(*c);
                    it->started = true;
                }
                return it;
            },
            py::arg("n") = py::none(), py::arg("timeout_ms") = 5000.0,
            "Iterates over the next `n` frames (None: until stopped), each waited for at most\n"
            "`timeout_ms`. Starts capture if it is not running and then stops it when the iteration\n"
            "ends, fails or is closed.")
        .def(
            "read_registers",
            [](DeviceCore& c, unsigned target, uint32_t base, uint32_t count) {
                if (target > 255) throw py::value_error("register targets are 0 to 255");
                if (count == 0 || count > 0xFFFF) throw py::value_error("count must be 1 to 65535");
                py::array_t<uint32_t> out(count);
                uint32_t* dst = out.mutable_data();
                vexel_dev* d = c.live("vexel_reg_batch_read");
                int ok;
                {
                    py::gil_scoped_release nogil;
                    ok = vexel_reg_batch_read(d, target, base, dst, count);
                }
                if (!ok) raise_error("vexel_reg_batch_read", 0, "register read failed");
                return out;
            },
            py::arg("target"), py::arg("base"), py::arg("count"),
            "Reads `count` consecutive registers of `target` (1: the sensor) from `base` on into a uint32\n"
            "array; the argument order of the vexel program's reg-read and the C++ layer.")
        .def(
            "write_registers",
            [](DeviceCore& c, unsigned target, uint32_t base,
               py::array_t<uint32_t, py::array::c_style | py::array::forcecast> values) {
                if (target > 255) throw py::value_error("register targets are 0 to 255");
                if (values.ndim() != 1 || values.size() == 0 || values.size() > 0xFFFF)
                    throw py::value_error("values must be 1 to 65535 register values");
                const uint32_t* src = values.data();
                const auto count = static_cast<uint32_t>(values.size());
                vexel_dev* d = c.live("vexel_reg_batch_write");
                int ok;
                {
                    py::gil_scoped_release nogil;
                    ok = vexel_reg_batch_write(d, target, base, src, count);
                }
                if (!ok) raise_error("vexel_reg_batch_write", 0, "register write failed");
            },
            py::arg("target"), py::arg("base"), py::arg("values"),
            "Writes consecutive registers of `target` (1: the sensor) from `base` on.")
        .def(
            "param", [](DeviceCore& c, uint32_t id) { return param_value(get_params(c, {id})[0]); },
            py::arg("id"), "A device parameter's value bytes (ids: vexel.PARAM_*).")
        .def(
            "params",
            [](DeviceCore& c, const std::vector<uint32_t>& ids) {
                py::list out;
                for (const auto& it : get_params(c, ids)) out.append(param_value(it));
                return out;
            },
            py::arg("ids"), "Several parameters in one exchange: a list of value bytes.")
        .def(
            "set_param",
            [](DeviceCore& c, uint32_t id, const py::bytes& value) {
                py::dict d;
                d[py::int_(id)] = value;
                set_params(c, d);
            },
            py::arg("id"), py::arg("value"), "Writes a device parameter (at most 18 value bytes).")
        .def("set_params", &set_params, py::arg("values"), "Writes {id: bytes} in one exchange.")
        .def_property(
            "frame_rate", [](DeviceCore& c) { return le(param_value(get_params(c, {VX_PARAM_FPS})[0]), 4); },
            [](DeviceCore& c, uint32_t fps) {
                py::dict d;
                std::string v(4, '\0');
                for (int i = 0; i < 4; ++i) v[i] = char(fps >> (8 * i));
                d[py::int_(int(VX_PARAM_FPS))] = py::bytes(v);
                set_params(c, d);
            },
            "Frames per second (parameter 12); a new rate applies to the next capture start.")
        .def_property_readonly(
            "filters", [](const std::shared_ptr<DeviceCore>& c) { return Filters{c}; },
            "The processing switches: cam.filters[\"median\"] = 5, cam.filters.disable(\"median\").")
        .def(
            "calib_status",
            [](DeviceCore& c) {
                switch (c.with_driver("epc_calib_status",
                                      [](vexel_dev* d) { return epc_calib_status(vexel_dev_get_drv(d)); })) {
                    case EPC_CALIB_FOUND:
                        return "found";
                    case EPC_CALIB_DOWNLOADED:
                        return "downloaded";
                    case EPC_CALIB_MISSING:
                        return "missing";
                    case EPC_CALIB_UNUSABLE:
                        return "unusable";
                    default:
                        return "unknown";
                }
            },
            "What the open found of the camera's calibration files under the path prefix: \"found\",\n"
            "\"downloaded\" (fetched from the camera during the open), \"missing\" (distances go\n"
            "uncorrected), \"unusable\" (present, but they do not load and the camera sent none\n"
            "that does: distances go uncorrected) or \"unknown\" (not an epc camera).")
        .def(
            "lens",
            [](DeviceCore& c, int width, int height) {
                vexel_lens_param lens{};
                const bool ok = c.with_driver("lens_param_get", [&](vexel_dev* d) {
                    vexel_driver_entry* drv = vexel_dev_get_drv(d);
                    return drv && drv->ops && drv->ops->lens_param_get &&
                           drv->ops->lens_param_get(drv, &lens, width, height);
                });
                if (!ok) raise_error("lens_param_get", 0, "the driver has no lens parameters for this size");
                return lens;
            },
            py::arg("width") = 320, py::arg("height") = 240,
            "The driver's lens parameters (vexel.Lens) scaled to a width x height image.")
        .def(
            "firmware_write",
            [](DeviceCore& c, const py::object& path, uint8_t type, uint16_t version,
               const py::object& progress) {
                const std::string p = fs_path(path);
                vexel_dev* d = c.live("vexel_firmware_upgrade_ex");
                return transfer("vexel_firmware_upgrade_ex", progress,
                                [&](vexel_datax_progress_cb cb, void* user) {
                                    return vexel_firmware_upgrade_ex(d, type, version, p.c_str(), cb, user);
                                });
            },
            py::arg("path"), py::arg("type"), py::arg("version"), py::arg("progress") = py::none(),
            "Writes the file at `path` into the camera's image slot `type` as image `version` (above\n"
            "the firmware the camera runs, Device.firmware). Types 0 and 1 (firmware) restart the board and wait 20 s, then close and\n"
            "reopen the device; types 2 and 3 wait 7 s. `progress(done, total, stage)` is called\n"
            "between blocks (stage \"erase\", \"write\", \"restart\"); a true result cancels. Returns\n"
            "True when written, False when cancelled; raises vexel.Error on failure.")
        .def(
            "data_read",
            [](DeviceCore& c, uint8_t type, const py::object& path, const py::object& progress) {
                const std::string p = fs_path(path);
                vexel_dev* d = c.live("vexel_data_upload_ex");
                return transfer("vexel_data_upload_ex", progress,
                                [&](vexel_datax_progress_cb cb, void* user) {
                                    return vexel_data_upload_ex(d, type, p.c_str(), cb, user);
                                });
            },
            py::arg("type"), py::arg("path"), py::arg("progress") = py::none(),
            "Reads image `type` from the camera into the file `path`, which appears only once complete.\n"
            "`progress(done, total, \"read\")` as for firmware_write. True when read, False when\n"
            "cancelled; raises vexel.Error on failure.")
        .def("__repr__", [](const DeviceCore& c) {
            return std::string("<vexel.Device ") + text(c.record().product, 32) +
                   (c.is_open() ? " open>" : " closed>");
        });

    m.def(
        "open",
        [](int index) {
            if (index < 0) throw py::value_error("index must be at least 0");
            const auto list = list_devices();
            if (size_t(index) >= list.size())
                raise_error(
                    "vexel_dev_open", 0,
                    "no camera " + std::to_string(index) + " (" + std::to_string(list.size()) + " attached)");
            return open_record(list[size_t(index)]);
        },
        py::arg("index") = 0,
        "Opens the `index`-th attached camera and returns its Device. Raises vexel.Error when\n"
        "there is no such camera or it cannot be opened. Opening may download the camera's\n"
        "calibration into the path prefix (vexel.set_path) the first time.");
    m.def(
        "open", [](const DeviceInfo& info) { return open_record(info.rec); }, py::arg("info"),
        "Opens the camera that vexel.devices() listed as `info`.");
    m.def(
        "open_serial",
        &open_by_serial,
        py::arg("serial"),
        "Opens the attached camera whose USB serial string is `serial`, wherever it sits on the\n"
        "bus, and returns its Device. Raises vexel.Error when no camera has that serial.");
    m.def(
        "open",
        &open_by_serial,
        py::kw_only(), py::arg("serial"),
        "Opens the attached camera whose USB serial string is `serial` (as open_serial).");

    m.attr("PARAM_MODE") = int(VX_PARAM_MODE);
    m.attr("PARAM_DEV_ID") = int(VX_PARAM_DEV_ID);
    m.attr("PARAM_PRODUCT") = int(VX_PARAM_PRODUCT);
    m.attr("PARAM_DEV_INFO") = int(VX_PARAM_DEV_INFO);
    m.attr("PARAM_VERSION") = int(VX_PARAM_VERSION);
    m.attr("PARAM_CHIP_INFO") = int(VX_PARAM_CHIP_INFO);
    m.attr("PARAM_CALIB_INFO") = int(VX_PARAM_CALIB_INFO);
    m.attr("PARAM_FPS") = int(VX_PARAM_FPS);
    m.attr("PARAM_INTG_TIME") = int(VX_PARAM_INTG_TIME);
    m.attr("PARAM_TEMPERATURES") = int(VX_PARAM_TEMPERATURES);
}

}  // namespace vxpy
