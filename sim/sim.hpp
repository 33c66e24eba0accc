// The simulated camera: a umockdev testbed whose usbfs nodes are answered by a model of the
// camera's firmware, so the real libusb (and everything above it) runs unchanged.
//
// In-process use (tests that steer the camera at precise moments):
//
//     vxsim::Testbed tb;                        // before the first libusb_init of the process
//     vxsim::Camera& cam = tb.add_camera({});   // also before libusb_init for it to be listed
//     ... libusb / libvexel calls; cam.command_log(), cam.set_faults(...), cam.unplug() ...
//     // libusb_exit every context before `tb` goes out of scope
//
// The process must run with libumockdev-preload.so.0. A GoogleTest suite gets that for free:
//
//     vexel_add_test_suite(test_foo SIM SOURCES foo_test.cpp)     # CMake (cmake/VexelTesting.cmake)
//
// builds the suite against vexel_static + vexel_sim with a main() that re-executes itself with the
// preload (and ASAN_OPTIONS=verify_asan_link_order=0 under ASan), so plain `ctest` works in the
// normal, ASan and TSan trees. Other programs call vxsim::ensure_preload(argc, argv) first.
//
// Across processes: `vexel-sim [options] -- program args...` creates the testbed and cameras and
// runs the program against them (see `vexel-sim --help`); the program finds VXSIM_CAMERAS set.
//
// Frame content: CameraOptions::measurement picks a scene and the camera's own errors; the counting
// pattern is the in-process default, `vexel-sim` shows the boxes scene. sim/README.md explains the
// measurement model and the calibration package it uploads in mode 9.
//
// Timing worth knowing: control transfers complete one after another on the default pipe,
// Timing::control_us after they reach the camera, in completion order with the bulk data; sensor
// register writes, frame-rate and integration-time writes and resets then answer busy for a few
// milliseconds (Timing; Timing::instant() for none). Reset target 0 answers its status query,
// then leaves the bus for reboot_delay_ms and returns at power-on state; target 3 leaves about
// 50 ms after the command and returns after reenumerate_delay_ms with its state kept; both come
// back on the same port with a new address. The sensor reads frames out at the frame rate into
// a FIFO of fifo_frames; a frame that finds it full is lost (the frame index jumps), so a host
// that does not keep reading sees gaps, not a burst of old frames. The link carries 40 MB/s by
// default (USB 2.0); rate_cap_mbps = 0 lifts the limit; a full-speed camera (speed_mbps 12)
// carries about 1 MB/s either way, under two full frames a second. Data commands answer busy
// while a block is programmed and, at times, for longer (Timing); a flash erase lasts
// flash_erase_ms per 64 KiB sector of the image.
#pragma once

// The simulated camera's per-sample loops are compiled at O3 whatever the build's level, for
// the vectoriser. GCC's attribute; clang (the fuzz build) takes the build's own level.
#if defined(__GNUC__) && !defined(__clang__)
#define VXSIM_HOT __attribute__((optimize("O3")))
#else
#define VXSIM_HOT
#endif

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;
inline constexpr uint8_t kBulkEndpoint = 0x81;

// Raw four-phase frame (format 2): four planes of 320 x 240 little-endian 16-bit samples.
inline constexpr unsigned kWidth = 320;
inline constexpr unsigned kHeight = 240;
inline constexpr unsigned kPlanes = 4;
inline constexpr uint32_t kFrameBytes = kWidth * kHeight * 2 * kPlanes;  // 614400
inline constexpr uint16_t kFrameFormat = 2;
inline constexpr uint16_t kCalibFrameFormat = 171;  // the calibration package, in mode 9
inline constexpr size_t kHeaderBytes = 36;

// The deterministic payload: 12-bit sample of `plane` at (row, col) in frame number `frame`.
inline uint16_t pattern_sample(uint32_t frame, unsigned plane, unsigned row, unsigned col) {
    return static_cast<uint16_t>((plane * 1024u + row * 8u + col + frame) & 0x0FFFu);
}

// The objects of a scene file (--scene FILE.json; sim/README.md has the format).
struct ScenePlane {
    double n[3];  // unit normal
    double c;     // the plane is n . p = c
    double rho;
};
struct SceneBox {
    double lo[3], hi[3];
    double rho;
};
struct SceneSphere {
    double c[3];
    double r;
    double rho;
};
struct SceneObjects {
    std::vector<ScenePlane> planes;
    std::vector<SceneBox> boxes;
    std::vector<SceneSphere> spheres;
};
inline constexpr size_t kSceneFileMaxObjects = 64;  // of each kind
inline constexpr size_t kSceneFileMaxBytes = 1 << 20;

// What stands in front of the camera. Geometry is seen through the camera's lens (the driver's
// start-up lens parameters), so straight edges bend as on the real sensor.
struct Scene {
    enum class Kind {
        pattern,  // no optics: the counting pattern of pattern_sample()
        wall,     // a plane perpendicular to the optical axis at distance_m
        tilt,     // that plane turned tilt_deg about the horizontal axis, its top leaning away
        boxes,    // a wall at 4 m and a floor 1 m below the camera, three boxes on the floor
        corner,   // two walls at right angles meeting straight ahead at distance_m, and that floor
        file,     // the planes, boxes and spheres of `objects`
    };
    Kind kind = Kind::pattern;
    double distance_m = 2.0;
    double tilt_deg = 0;
    // One object moves at a constant velocity (m/s, camera coordinates) from where the scene puts
    // it at capture start: 0 is the wall (the plane of wall/tilt, the back wall of boxes), 1..3
    // the boxes of `boxes`; in a scene file the planes, then the boxes, then the spheres, counted
    // from 0; -1 nothing moves.
    struct Motion {
        int object = -1;
        double velocity[3] = {0, 0, 0};
    } motion;
    // "pattern", "wall:D", "tilt:D:DEG", "boxes" or "corner[:D]" (D 3 m); nothing when the text
    // is none of these.
    static std::optional<Scene> parse(const std::string& text);
    // A scene file's text (JSON); nothing, and `error` naming the offending field, when it is not
    // one (sizes and counts bounded: it may come from anywhere).
    static std::optional<Scene> from_json(const std::string& text, std::string& error);
    std::shared_ptr<const SceneObjects> objects;
    // "OBJECT:VX,VY,VZ" with OBJECT wall, box1, box2 or box3 (one of this scene's), or for a
    // scene file planeN, boxN or sphereN (N from 1, one of the file's); false (nothing changed)
    // when the text is not that or a speed is beyond 100 m/s.
    bool set_motion(const std::string& text);
    bool moving() const {
        return motion.object >= 0 && (motion.velocity[0] != 0 || motion.velocity[1] != 0 || motion.velocity[2] != 0);
    }
};

// What makes real time-of-flight hard, as an epc660-class camera shows it (sim/README.md has
// the model of each). Every effect is seeded by Measurement::seed and off at 0 / false;
// Effects::none() is the clean instrument whose decode is exact to within quantisation.
struct Effects {
    double wiggle_mm = 15;       // peak wiggling error at 12 MHz from the correlation's harmonics
    double dcs_offset = 0.5;     // sigma of the per-pixel, per-DCS offsets, in sample counts
    double dcs_gain = 0.005;     // sigma of the per-pixel, per-DCS gains (relative)
    unsigned bad_pixels = 60;    // hot, dead and stuck pixels
    bool flag_bits = true;       // the sensor's flags in the upper 4 bits of every sample
    double beam_exponent = 3;    // LED beam profile cos^n of the angle off the axis
    double vignetting_exponent = 2;  // lens vignetting cos^n
    double ambient = 20;         // background light, counts per ms of integration at reflectivity 1
    bool compression = true;     // samples compress towards full well before they clip
    unsigned subrays = 4;        // rays per pixel footprint (1 or 4); 4 makes mixed pixels
    bool measured_calibration = true;  // the package is measured, not computed
    // Settings (integration time, frame rate, modulation, sensor registers) reach the exposure
    // this many frames after the one the sensor was reading out when they were written.
    unsigned latency_frames = 1;
    // First-order diffuse interreflection: light the LED puts on one surface reaches another
    // and comes back by the longer path (1: Lambertian surfaces as they are; 0: none).
    double multipath = 1;
    // The temperatures warm up from 25 degC after power-on with capture running and follow
    // frame rate and integration time (sensor time constant warmup_tau_s, board three times
    // it); off, the frame headers carry CameraOptions' temperatures (parameter 15) unchanged.
    // A host whose compensation leaves out a sensor colder than at calibration (the library's
    // C default) reads centimetres short for minutes; its tools and bindings compensate both
    // sides (VEXEL_FILTER_TEMP_TWO_SIDED).
    bool warmup = true;
    double warmup_tau_s = 40;
    // The phase drift with temperature is this camera's own: its coefficients are off the
    // host's compensation coefficients by 60-100 % of drift_error (seeded), and the drift
    // grows by drift_curvature per degree away from the calibration temperatures.
    double drift_error = 0.05;
    double drift_curvature = 0.002;
    static Effects none() {
        return {0, 0, 0, 0, false, 0, 0, 0, false, 1, false, 0, 0, false, 40, 0, 0};
    }
};

// --truth-flags: one byte per pixel, image row order.
inline constexpr uint8_t kTruthMixed = 1;      // the footprint sees surfaces at different depths (not one slope or crease)
inline constexpr uint8_t kTruthMultipath = 2;  // light arrives by way of another surface too
inline constexpr uint8_t kTruthSaturated = 4;  // a DCS sample compresses or clips (present settings)
inline constexpr uint8_t kTruthBadPixel = 8;   // hot, dead or stuck
inline constexpr uint8_t kTruthMoving = 16;    // the surface seen changes between the frame's four DCS

// The physical camera: scene and the camera's own errors. Every error is seeded and can be
// switched off (0 / false); errors off and the calibration temperatures give samples whose
// decoded phase is the true one to within quantisation.
struct Measurement {
    Scene scene;
    double reflectivity = 0.5;       // scales every surface of the scene
    double noise_mm = 3.0;           // distance sigma at amplitude 1000; falls with amplitude
    double fpn_mm = 20.0;            // sigma of the per-pixel fixed-pattern (DRNU) error
    int32_t phase_offset = 7655;     // global phase error, 30000 = one period
    bool temperature_drift = true;   // phase drift with the frame-header temperatures
    uint64_t seed = 1;               // fixed pattern and noise
    Effects effects;
};

// What parameter 8 and the data-upload mode serve.
enum class CalibPackage {
    generated,  // the package of this camera's own fixed-pattern model
    none,       // no package: parameter 8 reports 17 zero bytes, mode 9 sends nothing
    bytes,      // CameraOptions::calib_package_bytes exactly, the first 17 of them as parameter 8
};

// The true scene as one frame sees it, each in image row order (320 x 240).
struct Truth {
    unsigned width = kWidth, height = kHeight;  // the frame's, after region of interest and binning
    std::vector<float> distance;       // ray length in metres, 0 where no surface is hit
    std::vector<float> amplitude;      // in sample units, with the present integration times
    std::vector<float> fixed_pattern;  // the pixel's fixed-pattern error in metres at 12 MHz
    std::vector<uint8_t> flags;        // kTruthMixed | kTruthMultipath | kTruthSaturated | kTruthBadPixel | kTruthMoving
};

// One slot of the camera's data flash (sim/flash.hpp has the protocol).
struct FlashImage {
    uint16_t version = 0;
    std::vector<uint8_t> bytes;
};

enum class Pacing {
    frame_rate,  // one frame per 1/fps (parameter 12), through the FIFO
    fast,        // a frame whenever the link wants one (never lost)
};

// How long the camera takes over commands; the defaults are a real camera's.
struct Timing {
    unsigned control_us = 200;     // a control transfer completes this long after the previous one
    unsigned sensor_write_ms = 2;  // register writes to the sensor (target 1) then answer busy
    unsigned exposure_ms = 4;      // writes of the frame rate or integration time (12, 13)
    unsigned reset_ms = 5;         // reset targets other than 0 and 3
    // Data commands (type 0xCC): a block write answers busy while the flash programs its 1018
    // bytes (four 256-byte pages); besides, data_busy_percent of all data commands, chosen by
    // the measurement's seed, answer busy for up to data_busy_ms (the firmware serving the
    // sensor or the flash between two commands).
    unsigned flash_program_ms = 3;
    unsigned data_busy_percent = 5;
    unsigned data_busy_ms = 30;
    // Every command answers at once: for tests that count status queries or need the speed.
    static Timing instant() { return {0, 0, 0, 0, 0, 0, 0}; }
};

// Largest payload a packet header may announce (its length must be below 0x100000).
inline constexpr uint32_t kMaxPacketPayload = 0xFFFFF;
// A packet payload whose headers, in a stream read in full 153600-byte transfers, straddle the
// transfer ends at every offset 1..35 within the first 27 frames.
inline constexpr uint32_t kStraddlePayload = 827;

// A frame the camera sends as it is instead of rendering one (vexel-sim --replay): the bytes
// and header fields a recording kept.
struct ReplayFrame {
    uint16_t index = 0, format = 0, width = 0, height = 0;
    int16_t sensor_temp = 0, illum_temp = 0;
    uint32_t spare = 0;
    std::vector<uint8_t> bytes;
};

// Where such frames come from. The camera calls next() under its lock each time the sensor
// reads a frame out; false once there are no more (the camera then sends nothing).
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual bool next(ReplayFrame& f) = 0;
};

struct CameraOptions {
    uint8_t bus = 1;
    uint8_t port = 0;     // 0: next free port on the bus
    uint8_t address = 0;  // 0: next free address on the bus
    unsigned speed_mbps = 480;  // 480 high speed, 12 full speed, 5000 super speed
    uint16_t usb_vendor = kVendorId;  // another pair makes a device that is not a camera
    uint16_t usb_product = kProductId;
    std::string product = "A-E2-1.0";  // parameter 3; second field is the family
    std::string serial = "VX0001";      // USB serial string, parameters 2 and 5
    std::string manufacturer = "Vexel";
    // Second word of parameter 6: the version of the firmware image in flash slot 0 (flash[0],
    // when given, decides it instead); a type-0 write takes effect at the next reboot.
    uint16_t firmware_version = 0x0140;
    uint16_t part_version = 3;           // parameter 7
    uint16_t chip_number = 42;
    uint16_t wafer_id = 7;
    uint32_t frame_rate = 30;            // parameter 12 at power-on
    uint16_t integration_time_us = 500;  // parameter 13 at power-on
    int16_t sensor_temp = 350;           // tenths of a degree Celsius (parameter 15, frame headers)
    int16_t illum_temp = 300;
    Measurement measurement;             // frame content (the pattern by default)
    CalibPackage calib_package = CalibPackage::generated;
    std::vector<uint8_t> calib_package_bytes;
    // Stream: a frame spread over packets of `packet_payload` bytes (any size up to
    // kMaxPacketPayload; 0 = the whole frame in one packet), or, with frames_per_packet > 1, up
    // to that many whole frames per packet as far as they fit under kMaxPacketPayload (full
    // frames never do; fewer frame_rows make them smaller).
    uint32_t packet_payload = 61440;
    uint32_t frames_per_packet = 1;
    unsigned frame_rows = kHeight;  // rows read out per frame (1..240), as the header says
    bool data_checksum = true;
    bool zero_dimensions = false;  // width/height 0 in the headers (driver default)
    Pacing pacing = Pacing::frame_rate;
    unsigned fifo_frames = 4;    // frames the camera holds for a host that does not read
    double rate_cap_mbps = 40;   // the link in MB/s (USB 2.0); 0: unlimited, for benchmarks
    Timing timing;
    bool interface0_busy = false;  // interface 0 claimed by someone else
    unsigned reenumerate_delay_ms = 600;  // reset target 3: off the bus this long
    unsigned reboot_delay_ms = 600;       // reset target 0
    std::map<uint8_t, FlashImage> flash;  // data flash slots by type at power-on
    // A flash erase answers "still erasing" (status 4) until flash_erase_ms have passed for
    // each 64 KiB sector the image spans (a NOR sector erase takes 150 ms typically; a 1 MiB
    // firmware image 2.4 s), and for at least flash_erase_acks reads.
    unsigned flash_erase_ms = 150;
    unsigned flash_erase_acks = 3;
    // Parameter values that replace the power-on ones (a recorded camera's identity and settings).
    std::map<uint8_t, std::vector<uint8_t>> params;
    // Set: the stream sends these frames, one per packet, instead of the measurement's.
    std::shared_ptr<FrameSource> frames;
};

// One control transfer as the camera saw it on its default pipe.
struct ControlRecord {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    std::vector<uint8_t> data;  // OUT: the data stage; IN: what the camera answered
    bool stalled;
};

// Every register and parameter write the firmware accepted.
struct WriteRecord {
    enum Kind { reg, param } kind;
    uint8_t target;  // register target (0 for parameters)
    uint32_t index;  // register number or parameter id
    uint32_t value;  // register value, or the first four value bytes of a parameter
    std::vector<uint8_t> bytes;  // parameter value bytes (len as sent)
};

// Fault switches; each counter is consumed as the fault fires.
struct Faults {
    int stall_bulk = 0;             // next N bulk transfers stall; each leaves the endpoint
                                    // halted (no data) until the host clears the halt
    bool stop_sending = false;      // bulk transfers stay pending (they time out on the host)
    int corrupt_header = 0;         // next N packets get a header byte flipped
    int corrupt_payload = 0;        // next N packets get a payload word flipped (checksum kept)
    int skip_packet_index = 0;      // next N continuation packets jump one packet index
    int drop_frame_start = 0;       // next N frame-start packets are not sent
    int status_busy = 0;            // next N status queries answer busy (besides real busy time)
    std::string fail_next;          // next command fails with this text (empty: off)
    int hang_control = 0;           // next N class control transfers never complete; the default
                                    // pipe stays blocked until the host cancels them
    int slow_command = 0;           // next N commands (not status queries) take effect at once
    unsigned slow_command_ms = 0;   // but complete only this long later (a discard before then
                                    // fails the transfer; the effect stays)
    // Data flash (block numbers count from 0; -1 is off).
    int flash_refuse_start = 0;      // next N write starts are refused
    bool flash_erase_hangs = false;  // erases never finish: acknowledgements stay at status 4
    int flash_bad_crc_block = -1;    // block N arrives damaged, so its CRC fails
    int flash_bad_ack_block = -1;    // the acknowledgement of block N names a wrong next block
    int flash_drop_block = -1;       // the camera leaves the bus (for good) when block N arrives
};

struct Counters {
    uint64_t packets = 0;
    uint64_t frames = 0;       // frame-start packets sent
    uint64_t bytes = 0;        // bulk bytes delivered
    uint64_t bulk_urbs = 0;    // bulk transfers completed with data
    uint64_t control = 0;      // control transfers answered
    uint64_t clear_halts = 0;  // halts cleared on the bulk endpoint
    uint64_t frames_dropped = 0;  // frames the sensor read out into a full FIFO
    uint64_t busy_answers = 0;    // status queries answered busy
};

enum class Unplug {
    now,          // transfers in flight fail with "no device"
    ring_behind,  // every queued bulk transfer first completes with stream data, in one step with
                  // the unplug: the host finds all of them done and no device to resubmit them to
};

class Testbed;
struct CameraImpl;

class Camera {
public:
    uint8_t bus() const;
    uint8_t port() const;
    uint8_t address() const;  // changes at every re-enumeration
    std::string devnode() const;
    std::string syspath() const;
    const CameraOptions& options() const;

    bool attached() const;
    bool streaming() const;
    std::vector<int> claimed_interfaces() const;  // by any client
    // Open connections to the current node. A closed descriptor is dropped when umockdev's worker
    // notices, a moment after close() returns: wait for it with wait_until.
    int clients() const;
    int pending_bulk() const;                     // bulk transfers queued on the endpoint
    Counters counters() const;

    std::vector<ControlRecord> command_log() const;
    std::vector<WriteRecord> write_log() const;
    void clear_logs();

    // Firmware memory.
    uint32_t reg(uint8_t target, uint32_t index) const;
    void set_reg(uint8_t target, uint32_t index, uint32_t value);
    std::vector<uint8_t> param(uint8_t id) const;
    void set_param(uint8_t id, const std::vector<uint8_t>& value);

    // The measurement model. Changing it also changes the camera's calibration package.
    Measurement measurement() const;
    void set_measurement(const Measurement& m);
    // Ground truth under the present sensor settings (frequency, integration times, HDR), the
    // scene as it stands at capture start.
    Truth truth() const;
    // The truth of a frame the sensor exposed recently (its header index): its settings, and
    // the scene at its first DCS (kTruthMoving where the four DCS see different surfaces);
    // nothing when the camera no longer remembers that frame.
    std::optional<Truth> truth(uint16_t frame_index) const;
    // The package bytes mode 9 sends (empty: none); generated on first use.
    std::vector<uint8_t> calib_package() const;

    // Data flash: the image in slot `type`, or nullopt while the slot is empty or erased.
    std::optional<FlashImage> flash_image(uint8_t type) const;
    void set_flash_image(uint8_t type, const FlashImage& image);

    // Faults: read-modify-write under the camera's lock.
    void set_faults(const std::function<void(Faults&)>& edit);
    Faults faults() const;
    void set_interface0_busy(bool busy);

    // Bus events. unplug() fails outstanding transfers with "no device" (with Unplug::ring_behind
    // every queued bulk transfer completes with data first); the node then polls error and
    // hang-up. replug() comes back on the same port with a new address; reenumerate() does both
    // with the given pause.
    void unplug(Unplug how = Unplug::now);
    void replug();
    void reenumerate(unsigned off_ms = 0);

    // Waits (polling) until pred holds; false on timeout.
    bool wait_until(const std::function<bool(const Camera&)>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    friend class Testbed;
    explicit Camera(CameraImpl* impl) : impl_(impl) {}
    CameraImpl* impl_;
};

struct TestbedImpl;

// One per process at a time (umockdev keeps its root in the environment).
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    Camera& add_camera(const CameraOptions& opt = {});
    std::vector<Camera*> cameras();
    std::string root_dir() const;

private:
    std::unique_ptr<TestbedImpl> impl_;
};

// Emulation details (ioctls, commands, plugging) to stderr; also on when VXSIM_DEBUG is set.
void set_verbose(bool on);

// Where the calibration rig keeps what it measured, for the next process with the same camera
// (sim/README.md): a directory, created when missing; "off" for no cache; empty for the default,
// which is $VEXEL_SIM_CACHE (a directory or "off"), else $XDG_CACHE_HOME/vexel-sim, else
// $HOME/.cache/vexel-sim. A directory that cannot be used means no cache, never an error.
// Takes effect for cameras added afterwards.
void set_calib_cache(const std::string& dir);

// Re-executes the program with the umockdev preload when it is not loaded yet; returns when it is.
void ensure_preload(int argc, char** argv);
bool preload_active();

// Stream helpers shared by the firmware model and independent checkers.
uint16_t fletcher16(const uint8_t* p, size_t n);
uint32_t word_sum(const uint8_t* p, size_t n);

}  // namespace vxsim
