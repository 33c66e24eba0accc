// Image functions that need no camera: colour map, lens undistortion, median, frame files,
// point clouds handed to open3d.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <vector>
#include <string_view>

#include <pybind11/stl.h>

#include "common.hpp"

namespace vxpy {

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

[[noreturn]] void raise_os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

// A file descriptor closed on every way out.
class Fd {
  public:
    Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0) raise_os_error(path);
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

py::array_t<uint8_t> colour_map(const FloatArray& dist, std::optional<std::pair<float, float>> range,
                                std::string_view format) {
    int fmt, channels;
    if (format == "rgb")
        fmt = VEXEL_COLOR_RGB888, channels = 3;
    else if (format == "bgr")
        fmt = VEXEL_COLOR_BGR888, channels = 3;
    else if (format == "rgbx")
        fmt = VEXEL_COLOR_RGBX8888, channels = 4;
    else
        throw py::value_error("format must be \"rgb\", \"bgr\" or \"rgbx\"");
    if (dist.size() > INT32_MAX / 4) throw py::value_error("image too large");
    if (range && !(range->first < range->second)) throw py::value_error("range must be (near, far) with near < far");
    std::vector<py::ssize_t> shape(dist.shape(), dist.shape() + dist.ndim());
    shape.push_back(channels);
    py::array_t<uint8_t> out(shape);
    const auto n = static_cast<int32_t>(dist.size());
    uint8_t* dst = out.mutable_data();
    const float* src = dist.data();
    {
        py::gil_scoped_release nogil;
        auto valid = [](float d) { return d > 0.0f && d < 60.0f; };
        // Without a range: the one the scene fills, its ends held for the pixels beyond, as the
        // vexel program colours its depth pictures.
        std::vector<float> work;
        const float* in = src;
        float lo = range ? range->first : 0.0f, hi = range ? range->second : 4.0f;
        if (!range) {
            std::vector<float> v;
            for (int32_t i = 0; i < n; ++i)
                if (valid(src[i])) v.push_back(src[i]);
            if (!v.empty()) {
                auto at = [&](double q) {
                    auto it = v.begin() + static_cast<long>(q * static_cast<double>(v.size() - 1));
                    std::nth_element(v.begin(), it, v.end());
                    return *it;
                };
                lo = std::max(0.0f, at(0.01) - 0.001f);
                hi = std::max(at(0.99), lo + 0.002f);
            }
            work.assign(src, src + n);
            for (float& d : work)
                if (valid(d)) d = std::clamp(d, lo + 0.001f, hi);
            in = work.data();
        }
        {
            std::lock_guard steady(colour_range_mutex());
            vexel_cmap_float(dst, n * channels, in, n, fmt, lo, hi);
        }
        for (int32_t i = 0; i < n; ++i)  // no measurement: black, whatever the colour map says
            if (!valid(src[i])) std::fill_n(dst + size_t(i) * size_t(channels), channels, uint8_t{0});
    }
    return out;
}

namespace {

vexel_lens_param make_lens(double cx, double cy, double fx, double fy, std::array<double, 5> k, int32_t w,
                           int32_t h) {
    vexel_lens_param p{};
    p.cx = cx, p.cy = cy, p.fx = fx, p.fy = fy;
    std::copy(k.begin(), k.end(), p.dcoeff);
    p.img_w = w, p.img_h = h;
    return p;
}

// An undistortion table built once from lens parameters, then applied to any number of images.
class Undistorter {
  public:
    explicit Undistorter(const vexel_lens_param& lens) {
        if (lens.img_w <= 0 || lens.img_h <= 0 || !(lens.fx > 0) || !(lens.fy > 0))
            throw py::value_error("the lens needs a positive image size and focal lengths");
        if (vx_calib_len_init_map(&map_, &lens) == 0) throw std::bad_alloc();
    }
    ~Undistorter() { vx_calib_len_uninit_map(&map_); }
    Undistorter(const Undistorter&) = delete;
    Undistorter& operator=(const Undistorter&) = delete;

    py::array apply(const py::array& image, double fill) const {
        if (image.ndim() != 2) throw py::value_error("image must be two-dimensional (height, width)");
        const auto h = static_cast<int32_t>(image.shape(0)), w = static_cast<int32_t>(image.shape(1));
        if (w <= 0 || h <= 0 || map_.width % w != 0 || map_.height % h != 0)
            throw py::value_error("the image size must divide the lens size " + std::to_string(map_.width) +
                                  "x" + std::to_string(map_.height) + " by whole factors");
        if (image.dtype().is(py::dtype::of<uint16_t>()))
            return correct<uint16_t>(image, w, h, static_cast<int32_t>(fill), vx_calib_len_undistort_u16);
        return correct<float>(image, w, h, static_cast<float>(fill), vx_calib_len_undistort_f32);
    }

    py::tuple roi() const { return py::make_tuple(map_.roi_x, map_.roi_y, map_.roi_w, map_.roi_h); }
    int32_t width() const { return map_.width; }
    int32_t height() const { return map_.height; }

  private:
    template <class T, class Fill, class Fn>
    py::array correct(const py::array& image, int32_t w, int32_t h, Fill fill, Fn fn) const {
        auto src = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(image);
        if (!src) throw py::error_already_set();
        py::array_t<T> out({h, w});
        T* dst = out.mutable_data();
        const T* s = src.data();
        int ok;
        {
            py::gil_scoped_release nogil;
            ok = fn(&map_, dst, w * h, s, w, h, fill);
        }
        if (!ok) raise_error("vx_calib_len_undistort", 0, "undistortion failed");
        return out;
    }

    vx_calib_len_map map_{};
};

py::array_t<uint16_t> median(const py::array& image, int kernel) {
    if (!image.dtype().is(py::dtype::of<uint16_t>()))
        throw py::value_error(
            "the median works on uint16 images (millimetres); convert with astype(numpy.uint16)");
    if (image.ndim() != 2) throw py::value_error("image must be two-dimensional (height, width)");
    auto src = py::array_t<uint16_t, py::array::c_style>::ensure(image);
    const auto h = static_cast<int32_t>(src.shape(0)), w = static_cast<int32_t>(src.shape(1));
    const bool fixed = kernel == 3 || kernel == 5;
    if (kernel < 3 || kernel % 2 == 0) throw py::value_error("kernel must be odd and at least 3");
    if (fixed ? (w <= 1 || h <= 1) : (kernel >= 2 * w || kernel >= 2 * h))
        throw py::value_error("kernel " + std::to_string(kernel) + " does not fit a " + std::to_string(w) +
                              "x" + std::to_string(h) + " image");
    py::array_t<uint16_t> out({h, w});
    uint16_t* dst = out.mutable_data();
    const uint16_t* s = src.data();
    {
        py::gil_scoped_release nogil;
        vx_median2d_u16(dst, s, w, h, kernel);
    }
    return out;
}

int distance_format(std::string_view f) {
    if (f == "f32") return VEXEL_FRAME_SAVE_F32;
    if (f == "u32") return VEXEL_FRAME_SAVE_U32;
    if (f == "u16") return VEXEL_FRAME_SAVE_U16;
    throw py::value_error("distance files store \"f32\", \"u32\" or \"u16\"");
}

int gray_format(std::string_view f) {
    if (f == "u16") return VEXEL_FRAME_SAVE_U16;
    if (f == "u8") return VEXEL_FRAME_SAVE_U8;
    throw py::value_error("gray files store \"u16\" or \"u8\"");
}

// (n, h, w) or one (h, w) image as frames.
void as_frames(const FloatArray& images, int32_t& n, int32_t& h, int32_t& w) {
    if (images.ndim() == 2)
        n = 1, h = int32_t(images.shape(0)), w = int32_t(images.shape(1));
    else if (images.ndim() == 3)
        n = int32_t(images.shape(0)), h = int32_t(images.shape(1)), w = int32_t(images.shape(2));
    else
        throw py::value_error("images must be (height, width) or (frames, height, width)");
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535 || images.size() > INT32_MAX)
        throw py::value_error("image size out of range");
}

template <class SaveFn>
void save(const char* call, SaveFn fn, const py::object& path, const FloatArray& images, int format,
          bool append, bool one_frame_per_call) {
    int32_t n, h, w;
    as_frames(images, n, h, w);
    const std::string p = fs_path(path);
    Fd fd(p, O_WRONLY | O_CREAT | (append ? 0 : O_TRUNC));
    // The library writes the header only at offset 0, so appended frames follow the file's own.
    if (append && ::lseek(fd.get(), 0, SEEK_END) < 0) raise_os_error(p);
    const float* src = images.data();
    const int32_t frame = w * h;
    bool ok = true;
    {
        py::gil_scoped_release nogil;
        if (one_frame_per_call)
            for (int32_t i = 0; i < n && ok; ++i)
                ok = fn(fd.get(), format, src + size_t(i) * frame, frame, w, h) == 1;
        else
            ok = fn(fd.get(), format, src, n * frame, w, h) == 1;
    }
    if (!ok) raise_error(call, 0, "cannot write " + p);
}

// Reads every whole frame of a frame file into one (n, h, w) array filled by the library.
// The GIL stays held: the library remembers the last header read per file kind, process-wide.
template <class LoadFn>
py::array_t<float> load(const char* call, LoadFn fn, const py::object& path) {
    const std::string p = fs_path(path);
    Fd fd(p, O_RDONLY);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) raise_os_error(p);
    int32_t w = 0, h = 0;
    fn(fd.get(), nullptr, 0, &w, &h);  // header and the first frame, to learn the frame's size
    const off_t after_first = ::lseek(fd.get(), 0, SEEK_CUR);
    char head[256];
    const ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
    const auto nl = got > 0 ? std::string_view(head, size_t(got)).find('\n') : std::string_view::npos;
    if (w <= 0 || h <= 0 || nl == std::string_view::npos)
        raise_error(call, 0, p + " is not a frame file of this kind, or holds no whole frame");
    const off_t data = off_t(nl + 1), frame_bytes = after_first - data;
    if (frame_bytes <= 0) raise_error(call, 0, p + ": frame size unknown");
    const auto n = static_cast<py::ssize_t>((st.st_size - data) / frame_bytes);
    py::array_t<float> out({n, py::ssize_t{h}, py::ssize_t{w}});
    float* dst = out.mutable_data();
    if (::lseek(fd.get(), data, SEEK_SET) != data) raise_os_error(p);
    const int32_t pixels = w * h;
    for (py::ssize_t i = 0; i < n; ++i)
        if (fn(fd.get(), dst + i * pixels, pixels, nullptr, nullptr) != pixels)
            raise_error(call, 0, p + ": frame " + std::to_string(i) + " unreadable");
    return out;
}

}  // namespace

void bind_imaging(py::module_& m) {
    m.def("colour_map", &colour_map, py::arg("distance"), py::arg("range") = py::none(), py::arg("format") = "rgb",
          "Colours a distance image (metres) with the library colour map, near red to far blue: over\n"
          "`range` (near, far) in metres, pixels outside it black; without `range` over the 1st to 99th\n"
          "percentile of the image's valid distances, pixels beyond held at the ends. Pixels without a\n"
          "measurement (65.3, 65.5, anything from 60 m up or not above 0) are black. Returns uint8 with\n"
          "a last axis of 3 (\"rgb\", \"bgr\") or 4 (\"rgbx\").");

    py::class_<vexel_lens_param>(m, "Lens",
                                 "Pinhole intrinsics in pixels and distortion k1, k2, p1, p2, k3 for a\n"
                                 "width x height image.")
        .def(py::init(&make_lens), py::arg("cx"), py::arg("cy"), py::arg("fx"), py::arg("fy"),
             py::arg("coeffs") = std::array<double, 5>{}, py::arg("width") = 320, py::arg("height") = 240)
        .def_readwrite("cx", &vexel_lens_param::cx)
        .def_readwrite("cy", &vexel_lens_param::cy)
        .def_readwrite("fx", &vexel_lens_param::fx)
        .def_readwrite("fy", &vexel_lens_param::fy)
        .def_property(
            "coeffs", [](const vexel_lens_param& l) { return std::to_array(l.dcoeff); },
            [](vexel_lens_param& l, const std::array<double, 5>& k) {
                std::copy(k.begin(), k.end(), l.dcoeff);
            })
        .def_readwrite("width", &vexel_lens_param::img_w)
        .def_readwrite("height", &vexel_lens_param::img_h)
        .def("__repr__", [](const vexel_lens_param& l) {
            return py::str("<vexel.Lens cx {} cy {} fx {} fy {} coeffs {} {}x{}>")
                .format(l.cx, l.cy, l.fx, l.fy, std::to_array(l.dcoeff), l.img_w, l.img_h);
        });

    py::class_<Undistorter>(m, "Undistorter",
                            "Lens undistortion: the table is built once from a Lens, then corrects images\n"
                            "whose size divides the lens size by whole factors (nearest neighbour).")
        .def(py::init<const vexel_lens_param&>(), py::arg("lens"))
        .def("__call__", &Undistorter::apply, py::arg("image"), py::arg("fill") = 0.0,
             "Corrects a uint16 or float image (others are taken as float32) into a new array of\n"
             "that type; pixels without a source get `fill`.")
        .def_property_readonly("roi", &Undistorter::roi, "(x, y, w, h): where every pixel has a source.")
        .def_property_readonly("width", &Undistorter::width)
        .def_property_readonly("height", &Undistorter::height);

    m.def(
        "to_open3d",
        [](const py::object& points, const py::object& rgb) {
            // Raises ImportError when open3d is not installed.
            const py::module_ o3d = py::module_::import("open3d");
            const py::module_ np = py::module_::import("numpy");
            py::object xyz = np.attr("asarray")(points, "float64").attr("reshape")(-1, 3);
            const py::object keep = np.attr("isfinite")(xyz).attr("all")(py::arg("axis") = 1);
            py::object cloud = o3d.attr("geometry").attr("PointCloud")();
            const py::object vectors = o3d.attr("utility").attr("Vector3dVector");
            cloud.attr("points") = vectors(xyz[keep]);
            if (!rgb.is_none()) {
                py::object c = np.attr("asarray")(rgb, "float64").attr("reshape")(-1, 3);
                if (py::len(c) != py::len(keep)) throw py::value_error("rgb must have one colour per point");
                cloud.attr("colors") = vectors(py::object(c[keep]) / py::float_(255.0));
            }
            return cloud;
        },
        py::arg("points"), py::arg("rgb") = py::none(),
        "An open3d.geometry.PointCloud of points ((N, 3) or organised (h, w, 3); NaN points left\n"
        "out) with optional uint8 colours of the same shape. Raises ImportError without open3d.");

    m.def("median", &median, py::arg("image"), py::arg("kernel") = 3,
          "k x k median of a uint16 image (edges replicated) into a new array; `kernel` odd, at least\n"
          "3, and for kernels above 5 smaller than twice each side. Raises ValueError otherwise.");

    m.def(
        "save_distance",
        [](const py::object& path, const FloatArray& images, std::string_view format, bool append) {
            save("vexel_frame_save_distance", vexel_frame_save_distance, path, images,
                 distance_format(format), append, false);
        },
        py::arg("path"), py::arg("images"), py::arg("format") = "f32", py::arg("append") = false,
        "Writes distance images (metres; (h, w) or (n, h, w)) as a VX_DIST file: \"f32\" metres,\n"
        "\"u32\"/\"u16\" millimetres. `append` adds frames to an existing file of the same size and format.");
    m.def(
        "save_gray",
        [](const py::object& path, const FloatArray& images, std::string_view format, bool append) {
            save("vexel_frame_save_gray", vexel_frame_save_gray, path, images, gray_format(format), append,
                 true);
        },
        py::arg("path"), py::arg("images"), py::arg("format") = "u16", py::arg("append") = false,
        "Writes gray images ((h, w) or (n, h, w)) as a VX_GRAY file of \"u16\" or \"u8\" samples.");
    m.def(
        "load_distance",
        [](const py::object& path) {
            return load("vexel_frame_load_distance", vexel_frame_load_distance, path);
        },
        py::arg("path"), "Every frame of a VX_DIST file as float32 metres, shape (n, h, w).");
    m.def(
        "load_gray",
        [](const py::object& path) { return load("vexel_frame_load_gray", vexel_frame_load_gray, path); },
        py::arg("path"), "Every frame of a VX_GRAY file as float32, shape (n, h, w).");
}

}  // namespace vxpy
