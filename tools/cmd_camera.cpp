// Cameras and their settings: list, info, registers, parameters, calibration files.
#include <stdlib.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <vexel/chip.h>
#include <vexel/driver.h>
#include <vexel/transport.h>

#include "cli.hpp"

namespace vexel_cli {

namespace {

namespace fs = std::filesystem;

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

// Product and serial come from the camera's parameters. Opening only the transport reads them
// without starting the sensor driver, which would program the sensor and fetch calibration files.
void print_hotplug(const vexel_hotplug_event* ev, void*) {
    std::fprintf(out(), "%s: serial %s, bus %03u port %u address %03u\n",
                 ev->kind == VEXEL_HOTPLUG_ARRIVED ? "arrived" : "left", ev->serial[0] ? ev->serial : "?", ev->bus,
                 ev->port, ev->addr);
    std::fflush(out());
}

// The list, then arrivals and departures as they happen, until Ctrl-C.
int watch_cameras() {
    std::fprintf(out(), "watching for cameras; Ctrl-C ends\n");
    std::fflush(out());
    const int id = vexel_hotplug_register(print_hotplug, nullptr);
    if (!id) fail("cannot watch the USB buses");
    while (!g_interrupted.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    vexel_hotplug_deregister(id);
    return kExitInterrupted;
}

int cmd_list(bool watch) {
    const std::vector<vexel_dev> found = cameras_in_bus_order();
    if (found.empty() && !watch) fail("no camera found");
    std::fprintf(out(), "%zu %s, numbered in bus order (bus, port, address) as -d N takes them:\n", found.size(),
                 found.size() == 1 ? "camera" : "cameras");
    for (size_t i = 0; i < found.size(); ++i) {
        const vexel_dev& d = found[i];
        std::string product = "?", serial = "?", why, note;
        if (!identify(d, product, serial, why)) note = " (" + why + ")";
        std::fprintf(out(), "%zu: %s serial %s, bus %03u port %u address %03u, %s speed%s\n", i, product.c_str(),
                     serial.c_str(), d.bus, d.port, d.addr, speed_name(d.speed), note.c_str());
    }
    return watch ? watch_cameras() : 0;
}

// One line of `info`: the label in a column of its own.
void field(const char* label, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void field(const char* label, const char* fmt, ...) {
    std::fprintf(out(), "%-12s", label);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(out(), fmt, ap);
    va_end(ap);
    std::fputc('\n', out());
}

void print_calibration(const vexel_driver_entry* drv) {
    static const char* const how[] = {"-", "found", "downloaded from the camera",
                                      "missing: distances uncorrected",
                                      "unusable (they do not load): distances uncorrected"};
    const int status = epc_calib_status(drv);
    if (status == EPC_CALIB_UNKNOWN) {
        field("calib", "none (driver %s keeps no calibration files)", drv ? drv->name : "-");
        return;
    }
    char par[VX_CHIP_NAME_MAX], img[VX_CHIP_NAME_MAX];
    calibrationGetParamName(par);
    calibrationGetDistanceImagesName(img);
    const std::string dir = prefix_display();
    field("calib", "%s", how[status]);
    field("", "%s%s", dir.c_str(), par);
    field("", "%s%s", dir.c_str(), img);
}

int cmd_info(long long device) {
    Camera cam(device);
    vexel_dev& dev = *cam.dev();
    uint16_t ver[4];
    std::memcpy(ver, dev.version, sizeof ver);
    vexel_driver_entry* drv = vexel_dev_get_drv(&dev);
    field("product", "%s", dev.product);
    field("serial", "%s", dev.dev_id);
    field("firmware", "%u", ver[1]);
    field("driver", "%s", drv ? drv->name : "-");
    field("usb", "bus %03u port %u address %03u, %s speed", dev.bus, dev.port, dev.addr, speed_name(dev.speed));
    vexel_param_item items[3] = {};
    items[0].param_id = VX_PARAM_FPS;
    items[1].param_id = VX_PARAM_INTG_TIME;
    items[2].param_id = VX_PARAM_CHIP_INFO;
    if (!vexel_param_batch_get(&dev, items, 3)) fail("reading the camera's parameters failed");
    uint32_t fps;
    uint16_t intg, chip[3];
    std::memcpy(&fps, items[0].param_val, 4);
    std::memcpy(&intg, items[1].param_val, 2);
    std::memcpy(chip, items[2].param_val, sizeof chip);
    field("rate", "%u fps", fps);
    field("integration", "%u us", intg);
    field("chip", "part %u, number %u, wafer %u", chip[0], chip[1], chip[2]);
    if (epc_calib_status(drv) != EPC_CALIB_UNKNOWN)
        field("sensor", "epc%s, wafer %d, chip %d, %d kHz",
              configGetPartType() == 4 || configGetPartType() == 5 ? "635" : "660", configGetWaferID(),
              configGetChipID(), configGetModulationFrequency());
    print_calibration(drv);
    print_filter_states(&dev);
    return 0;
}

int cmd_reg_read(long long device, long long target, long long base, long long count) {
    Camera cam(device);
    std::vector<uint32_t> vals(static_cast<size_t>(count));
    if (!vexel_reg_batch_read(cam.dev(), static_cast<unsigned>(target), static_cast<uint32_t>(base),
                              vals.data(), static_cast<uint32_t>(count)))
        fail("register read failed (target %lld, %lld registers from %lld)", target, count, base);
    for (size_t i = 0; i < vals.size(); ++i)
        std::fprintf(out(), "%lld: 0x%02x (%u)\n", base + static_cast<long long>(i), vals[i], vals[i]);
    return 0;
}

int cmd_reg_write(long long device, long long target, long long base, const std::vector<long long>& values) {
    if (base + static_cast<long long>(values.size()) - 1 > 0xFFFFFFFFll)
        fail("registers beyond 0xffffffff: %zu values from %lld", values.size(), base);
    Camera cam(device);
    std::vector<uint32_t> vals(values.begin(), values.end());
    if (!vexel_reg_batch_write(cam.dev(), static_cast<unsigned>(target), static_cast<uint32_t>(base),
                               vals.data(), static_cast<uint32_t>(vals.size())))
        fail("register write failed (target %lld, %zu registers from %lld)", target, vals.size(), base);
    return 0;
}

int cmd_param_get(long long device, const std::vector<long long>& ids) {
    Camera cam(device);
    std::vector<vexel_param_item> items(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) items[i].param_id = static_cast<uint32_t>(ids[i]);
    if (!vexel_param_batch_get(cam.dev(), items.data(), static_cast<int>(items.size())))
        fail("parameter read failed (%zu parameters)", items.size());
    for (const auto& it : items) {
        std::fprintf(out(), "%u [%u]:", it.param_id, it.param_len);
        for (size_t b = 0; b < it.param_len && b < sizeof it.param_val; ++b)
            std::fprintf(out(), " %02x", it.param_val[b]);
        std::fputc('\n', out());
    }
    return 0;
}

// The value bytes are sent as given, little-endian: 12 (frame rate) takes 4, 13 (integration
// time) 2; the camera refuses what it does not take.
int cmd_param_set(long long device, long long id, const std::vector<long long>& bytes) {
    vexel_param_item item{};
    if (bytes.size() > sizeof item.param_val)
        fail("parameter %lld: %zu value bytes, at most %zu", id, bytes.size(), sizeof item.param_val);
    Camera cam(device);
    item.param_id = static_cast<uint32_t>(id);
    item.param_len = static_cast<uint8_t>(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) item.param_val[i] = static_cast<uint8_t>(bytes[i]);
    if (!vexel_param_batch_set(cam.dev(), &item, 1)) fail("the camera refused parameter %lld", id);
    return 0;
}

int cmd_calib_status(long long device) {
    Camera cam(device);
    print_calibration(vexel_dev_get_drv(cam.dev()));
    return 0;
}

// The driver fetches the package when an open finds no files, so a fresh download opens the
// camera with the prefix pointing at an empty directory beside the files, then moves what came
// into place: the files already there stay untouched unless a complete set replaces them.
int cmd_calib_download(long long device) {
    select_calibration_dir(device);
    const std::string prefix = vexel_path_get();
    const std::string dir = prefix_display();
    std::string tmpl = dir + ".vexel-calib-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        fail("cannot create a directory in %s: %s", dir.c_str(), std::strerror(errno));
    const fs::path tmp = tmpl;
    struct Restore {
        const std::string& prefix;
        const fs::path& tmp;
        ~Restore() {
            vexel_path_cfg(prefix.c_str());
            std::error_code ec;
            fs::remove_all(tmp, ec);
        }
    } restore{prefix, tmp};
    vexel_path_cfg((tmpl + "/").c_str());

    int status;
    std::string driver;
    {
        Camera cam(device);
        const vexel_driver_entry* drv = vexel_dev_get_drv(cam.dev());
        status = epc_calib_status(drv);
        driver = drv ? drv->name : "-";
    }
    if (status == EPC_CALIB_UNKNOWN) fail("driver %s keeps no calibration files", driver.c_str());
    if (status != EPC_CALIB_DOWNLOADED) fail("the camera sent no usable calibration package");
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(tmp)) {
        if (!e.is_regular_file()) continue;
        const fs::path to = fs::path(dir) / e.path().filename();
        fs::rename(e.path(), to, ec);
        if (ec) fail("cannot move %s to %s: %s", e.path().c_str(), to.c_str(), ec.message().c_str());
        std::fprintf(out(), "%s\n", to.c_str());
    }
    return 0;
}

}  // namespace

void add_camera_commands(CLI::App& app, Commands& cmds) {
    auto* list = app.add_subcommand("list", "cameras on the USB buses: product, serial, position");
    auto watch = std::make_shared<bool>(false);
    list->add_flag("--watch", *watch, "then report cameras arriving and leaving until Ctrl-C");
    cmds.push_back({list, [watch] { return cmd_list(*watch); }});

    struct Opts {
        long long device = 0, target = 0, base = 0, count = 1;
        std::vector<long long> values, ids;
    };
    auto o = std::make_shared<Opts>();

    auto* info =
        app.add_subcommand("info", "identification, settings, sensor and calibration state of a camera");
    add_device_option(info, o->device);
    cmds.push_back({info, [o] { return cmd_info(o->device); }});

    auto* rr = app.add_subcommand("reg-read", "read COUNT registers of TARGET from BASE on");
    add_device_option(rr, o->device);
    add_number(rr, "target", o->target, 0, 255, "register target (1: sensor)")->required();
    add_number(rr, "base", o->base, 0, 0xFFFFFFFFll, "first register")->required();
    add_number(rr, "count", o->count, 1, 65535, "number of registers")->required();
    cmds.push_back({rr, [o] { return cmd_reg_read(o->device, o->target, o->base, o->count); }});

    auto* rw = app.add_subcommand("reg-write", "write VALUE... into the registers of TARGET from BASE on");
    add_device_option(rw, o->device);
    add_number(rw, "target", o->target, 0, 255, "register target (1: sensor)")->required();
    add_number(rw, "base", o->base, 0, 0xFFFFFFFFll, "first register")->required();
    add_numbers(rw, "value", o->values, 0, 0xFFFFFFFFll, "32-bit register values")
        ->required()
        ->expected(1, 65535);
    cmds.push_back({rw, [o] { return cmd_reg_write(o->device, o->target, o->base, o->values); }});

    auto* pg = app.add_subcommand("param-get", "read device parameters: id [length]: value bytes");
    add_device_option(pg, o->device);
    add_numbers(pg, "id", o->ids, 0, 255,
                "parameter ids (3 product, 12 frame rate, 13 integration time, ...)")
        ->required();
    cmds.push_back({pg, [o] { return cmd_param_get(o->device, o->ids); }});

    auto* ps = app.add_subcommand("param-set", "write a device parameter: ID and its value bytes, little-endian");
    add_device_option(ps, o->device);
    add_number(ps, "id", o->target, 0, 255, "parameter id (12 frame rate: 4 bytes, 13 integration time: 2 bytes)")
        ->required();
    add_numbers(ps, "value", o->values, 0, 255, "value bytes, lowest first")->required()->expected(1, 18);
    cmds.push_back({ps, [o] { return cmd_param_set(o->device, o->target, o->values); }});

    auto* calib = app.add_subcommand("calib", "the camera's calibration files in the prefix directory");
    calib->require_subcommand(1);
    auto* status = calib->add_subcommand("status", "where the files are and whether they were found");
    add_device_option(status, o->device);
    cmds.push_back({status, [o] { return cmd_calib_status(o->device); }});
    auto* download = calib->add_subcommand("download", "fetch the calibration package from the camera again");
    add_device_option(download, o->device);
    cmds.push_back({download, [o] { return cmd_calib_download(o->device); }});
}

}  // namespace vexel_cli
