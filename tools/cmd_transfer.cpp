// Images in the camera's flash: firmware write and data read, with progress.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cli.hpp"

namespace vexel_cli {

namespace {

namespace fs = std::filesystem;

int cmd_firmware_write(long long device, const std::string& file, long long type, long long version) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) fail("cannot read %s: %s", file.c_str(), ec.message().c_str());
    if (size == 0) fail("%s is empty", file.c_str());
    Camera cam(device);
    std::fprintf(stderr,
                 "writing %s (%ju bytes) into image slot %lld as version %lld; keep the camera connected\n",
                 file.c_str(), static_cast<uintmax_t>(size), type, version);
    int r;
    {
        Progress progress("firmware write");
        r = vexel_firmware_upgrade_ex(cam.dev(), static_cast<uint8_t>(type), static_cast<uint16_t>(version),
                                      file.c_str(), Progress::callback, &progress);
    }
    if (r != 1) {
        if (g_interrupted.load()) fail("firmware write cancelled; the camera keeps its stored image");
        fail("firmware write failed (the firmware's and the slot's versions must be below %lld; the messages above "
             "say more)",
             version);
    }
    std::fprintf(out(), "%s written into image slot %lld as version %lld\n", file.c_str(), type, version);
    if (type <= 1) std::fprintf(out(), "the camera has restarted; `vexel list` shows it once it is back\n");
    return 0;
}

int cmd_data_read(long long device, long long type, const std::string& file) {
    // The library writes beside the file and renames, so the directory must take new files.
    fs::path dir = fs::path(file).parent_path();
    if (dir.empty()) dir = ".";
    if (::access(dir.c_str(), W_OK) != 0) fail("cannot write into %s: %s", dir.c_str(), std::strerror(errno));
    if (fs::is_directory(file)) fail("%s is a directory", file.c_str());
    Camera cam(device);
    int r;
    {
        Progress progress("data read");
        r = vexel_data_upload_ex(cam.dev(), static_cast<uint8_t>(type), file.c_str(), Progress::callback,
                                 &progress);
    }
    if (r != 1) {
        if (g_interrupted.load()) fail("data read cancelled; %s left as it was", file.c_str());
        fail(
            "data read of image slot %lld failed (an empty slot holds nothing to read; the messages above "
            "say more)",
            type);
    }
    std::error_code ec;
    std::fprintf(out(), "image slot %lld: %ju bytes written to %s\n", type,
                 static_cast<uintmax_t>(fs::file_size(file, ec)), file.c_str());
    return 0;
}

}  // namespace

void add_transfer_commands(CLI::App& app, Commands& cmds) {
    struct Opts {
        long long device = 0, type = 0, version = 0;
        std::string file;
    };
    auto o = std::make_shared<Opts>();

    auto* fw = app.add_subcommand("firmware", "images in the camera's flash");
    fw->require_subcommand(1);
    auto* write = fw->add_subcommand("write", "write FILE into image slot TYPE as image VERSION");
    add_device_option(write, o->device);
    write->add_option("file", o->file, "image file")->required();
    add_number(write, "--type", o->type, 0, 255,
               "image slot; 0 and 1 restart the board (20 s), 2 and 3 wait 7 s")
        ->required();
    add_number(write, "--version", o->version, 0, 65535, "image version, above the firmware's (slot 0) and the slot's")
        ->required();
    cmds.push_back({write, [o] { return cmd_firmware_write(o->device, o->file, o->type, o->version); }});

    auto* data = app.add_subcommand("data", "data images in the camera's flash");
    data->require_subcommand(1);
    auto* read = data->add_subcommand("read", "read image slot TYPE from the camera into FILE");
    add_device_option(read, o->device);
    add_number(read, "type", o->type, 0, 255, "image slot")->required();
    read->add_option("file", o->file, "file to write (replaced only by a complete read)")->required();
    cmds.push_back({read, [o] { return cmd_data_read(o->device, o->type, o->file); }});
}

}  // namespace vexel_cli
