// Data write (host file to an image slot of the camera) and data read (slot to host file), and
// their public entry points.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vexel/datax_protocol.h>

#include "core/clock.hpp"
#include "core/device.hpp"
#include "core/log.hpp"
#include "datax/datax.hpp"

namespace vx::datax {

namespace {

std::atomic<WaitFn> g_board_wait{nullptr};
std::atomic<unsigned> g_erase_limit_ms{kEraseLimitMs};

void board_wait(unsigned ms) {
    if (WaitFn fn = g_board_wait.load())
        fn(ms);
    else
        sleep_ms(ms);
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

unsigned short u16(unsigned v) { return static_cast<unsigned short>(v); }

// The whole image file, or false after the message that says why.
bool load_image(const char* fn, const char* path, std::vector<uint8_t>& bytes) {
    File f(path ? std::fopen(path, "rb") : nullptr, &std::fclose);
    if (!f) {
        logf(kInf, "[%s] File open failed\n", fn);
        return false;
    }
    long size = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
    std::rewind(f.get());
    logf(kInf, "[%s] File size:%d\n", fn, static_cast<int>(size));
    if (size <= 0) {
        logf(kErr, "[%s] data upgrade failed!\n", fn);
        return false;
    }
    // The image size travels as 32 bits, and the camera's slots are far smaller.
    if (static_cast<unsigned long>(size) > UINT32_MAX) {
        logf(kErr, "[%s] image of %ld bytes is too large\n", fn, size);
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f.get());
    logf(kInf, "[%s] File read ok,%d\n", fn, static_cast<int>(got));
    if (got != bytes.size()) {
        logf(kInf, "[%s] Firmware image file loading failed.\n", fn);
        return false;
    }
    logf(kInf, "[%s] Firmware image file loaded.\n", fn);
    return true;
}

bool query_info(const char* fn, vexel_ll_dev* ll, uint8_t type, al_data_info& info) {
    logf(kDbg, "[%s] Get info\n", fn);
    info = al_data_info{};
    info.type = type;
    if (!al_get_data_info(ll, AL_DATA_INFO, &info, sizeof info)) {
        logf(kErr, "[%s] Get info failed\n", fn);
        return false;
    }
    logf(kInf, "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", fn, info.version, u16(info.type),
         info.data_addr, static_cast<int>(info.data_size));
    return true;
}

void banner(const char* fn) {
    logf(kWrn, "[%s] ----------------------------------------------------------\n", fn);
    logf(kWrn, "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n", fn);
    logf(kWrn, "[%s] ----------------------------------------------------------\n", fn);
}

// The write exchange, from the start to the last block; true when the camera took every block.
// Each failure has logged its own message. Every step holds the device's command channel by
// itself, so other threads' commands go between steps; the camera's write state is not
// theirs to change.
bool send_image(const char* fn, vexel_ll_dev* ll, uint8_t type, uint16_t version, const std::vector<uint8_t>& image,
                const Progress& progress) {
    const auto size = static_cast<uint32_t>(image.size());
    logf(kInf, "[%s] send action info\n", fn);
    al_action_info start{};
    start.type = type;
    start.version = version;
    start.size = size;
    if (al_data_send_action_info(ll, AL_ACTION_START, &start) != 1) return false;
    al_ack ack{};
    if (al_data_read_action_info(ll, AL_ACTION_ACK, &ack) != 1) return false;
    logf(kInf, "[%s] read ack: next=%d, status=%d\n", fn, static_cast<int>(ack.next), ack.status);
    if (ack.next != 0 || ack.status != AL_ACK_STARTED) {
        logf(kErr, "[%s] Wrong version(Target:%d,Now:%d)\n", fn, static_cast<int>(ack.next), version);
        return false;
    }
    logf(kInf, "[%s] INFO ack ok\n", fn);

    logf(kInf, "[%s] Wait flash erase.....\n", fn);
    if (progress.report(0, size, VX_DATAX_ERASE)) {
        logf(kWrn, "[%s] cancelled before the erase\n", fn);
        return false;
    }
    al_erase_info erase{};
    erase.type = type;
    erase.size = size;
    erase.block_size = AL_DATA_BLOCK_SIZE;
    if (al_data_send_action_info(ll, AL_ACTION_ERASE, &erase) != 1) return false;
    const unsigned limit_ms = g_erase_limit_ms.load();
    const int64_t give_up = monotonic_ms() + limit_ms;
    for (;;) {
        if (al_data_read_action_info(ll, AL_ACTION_ACK, &ack) != 1) {
            logf(kErr, "[%s] DATA ACK failed\n", fn);
            return false;
        }
        if (ack.status != AL_ACK_ERASING) break;
        // A camera that erases for ever would otherwise keep the caller here for ever.
        if (monotonic_ms() >= give_up) {
            logf(kErr, "[%s] flash erase still running after %u ms\n", fn, limit_ms);
            return false;
        }
        if (progress.report(0, size, VX_DATAX_ERASE)) {
            logf(kWrn, "[%s] cancelled during the erase\n", fn);
            return false;
        }
    }
    logf(kInf, "[%s] Download.....\n", fn);
    if (ack.next != 0 || ack.status != AL_ACK_READY) {
        logf(kErr, "[%s] camera not ready for data: next=%d, status=%d\n", fn, static_cast<int>(ack.next), ack.status);
        return false;
    }

    const uint32_t blocks = (size + AL_DATA_BLOCK_SIZE - 1) / AL_DATA_BLOCK_SIZE;
    std::array<uint8_t, sizeof(al_block_hdr) + AL_DATA_BLOCK_SIZE> buf;
    for (uint32_t i = 0; i < blocks;) {
        const uint32_t at = i * AL_DATA_BLOCK_SIZE;
        const uint32_t len = std::min<uint32_t>(AL_DATA_BLOCK_SIZE, size - at);
        al_block_hdr hdr{};
        hdr.crc = al_data_calc_crc(image.data() + at, static_cast<uint16_t>(len));
        hdr.len = len;
        std::memcpy(buf.data(), &hdr, sizeof hdr);
        std::memcpy(buf.data() + sizeof hdr, image.data() + at, len);
        if (al_data_send_action_info(ll, AL_ACTION_DATA, buf.data()) != 1) {
            logf(kInf, "[%s] Data transfer failed D.\n", fn);
            return false;
        }
        if (al_data_read_action_info(ll, AL_ACTION_ACK, &ack) != 1) {
            logf(kInf, "[%s] Data transfer failed C.\n", fn);
            return false;
        }
        if (ack.next == i) {
            logf(kInf, "[%s] Data transfer failed A.indx%d, %d\n", fn, static_cast<int>(i), static_cast<int>(i));
            return false;
        }
        if (ack.next != i + 1) {
            logf(kInf, "[%s] Data transfer failed B.\n", fn);
            return false;
        }
        i = ack.next;
        if (i == blocks) break;
        if (progress.report(at + len, size, VX_DATAX_WRITE)) {
            logf(kWrn, "[%s] cancelled after %u of %u bytes\n", fn, at + len, size);
            return false;
        }
    }
    logf(kInf, "[%s] Data transfer finished.\n", fn);
    progress.report(size, size, VX_DATAX_WRITE);
    return true;
}

// A name beside `target` that nobody else uses, created empty with the permissions a plain
// fopen would give.
File create_temp(const std::string& target, std::string& tmp) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = target + ".part." + std::to_string(::getpid()) + "." + std::to_string(serial++);
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            File f(::fdopen(fd, "wb"), &std::fclose);
            if (!f) {
                ::close(fd);
                ::unlink(tmp.c_str());
            }
            return f;
        }
        if (errno != EEXIST) break;
    }
    return File(nullptr, &std::fclose);
}

// One transfer per device at a time: the camera keeps a single write state and a single read
// position, which a second transfer's steps would reset between the first one's. A second
// transfer from another thread waits for the first to end; one started from inside the first
// (its progress callback) would wait for ever, so it is refused.
class TransferTurn {
public:
    TransferTurn(const char* fn, const vexel_ll_dev* ll) : ll_(ll) {
        std::unique_lock lk(mu_);
        for (;;) {
            auto it = running_.find(ll);
            if (it == running_.end()) break;
            if (it->second == std::this_thread::get_id()) {
                logf(kErr, "[%s] another data transfer is running on this device\n", fn);
                return;
            }
            cv_.wait(lk);
        }
        running_.emplace(ll, std::this_thread::get_id());
        held_ = true;
    }
    ~TransferTurn() {
        if (!held_) return;
        {
            std::lock_guard lk(mu_);
            running_.erase(ll_);
        }
        cv_.notify_all();
    }
    TransferTurn(const TransferTurn&) = delete;
    TransferTurn& operator=(const TransferTurn&) = delete;
    explicit operator bool() const { return held_; }

private:
    static inline std::mutex mu_;
    static inline std::condition_variable cv_;
    static inline std::map<const vexel_ll_dev*, std::thread::id> running_;
    const vexel_ll_dev* ll_;
    bool held_ = false;
};

// Where a read puts its bytes. A regular file (or a name not yet taken) is written beside itself
// under a temporary name and renamed when complete, so a failed read leaves it untouched;
// anything else (a pipe, a terminal, /dev/stdout, a symbolic link) is written straight through
// its name, which a rename would replace.
class ReadTarget {
public:
    explicit ReadTarget(std::string target) : target_(std::move(target)) {
        struct stat st{};
        direct_ = ::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
        if (direct_) {
            name_ = target_;
            file_.reset(std::fopen(target_.c_str(), "wb"));
        } else {
            file_ = create_temp(target_, name_);
            if (!file_) name_.clear();  // not ours to remove
        }
    }
    // A temporary file not put in place is removed; what was written straight stays as far as
    // it got.
    ~ReadTarget() {
        file_.reset();
        if (!direct_ && !name_.empty()) ::unlink(name_.c_str());
    }
    ReadTarget(const ReadTarget&) = delete;
    ReadTarget& operator=(const ReadTarget&) = delete;

    std::FILE* get() const { return file_.get(); }
    const std::string& name() const { return name_; }  // what is being written, for messages
    // Closes the file and, for a temporary one, puts it in place; false with errno set.
    bool commit() {
        if (std::fclose(file_.release()) != 0) return false;
        if (!direct_ && std::rename(name_.c_str(), target_.c_str()) != 0) return false;
        name_.clear();
        return true;
    }

private:
    std::string target_, name_;
    bool direct_ = false;
    File file_{nullptr, &std::fclose};
};

}  // namespace

WaitFn set_board_wait(WaitFn fn) { return g_board_wait.exchange(fn); }

unsigned set_erase_limit_ms(unsigned ms) { return g_erase_limit_ms.exchange(ms); }

int write_image(vexel_ll_dev* ll, uint8_t type, uint16_t version, const char* path, const Progress& progress) {
    static const char* const fn = "vexel_bin_data_write";
    logf(kInf, "[%s] name:%s, type:%hu, version:%hu\n", fn, path ? path : "(null)", u16(type), version);
    std::vector<uint8_t> image;
    if (!load_image(fn, path, image)) return -1;
    const TransferTurn turn(fn, ll);
    if (!turn) return -1;

    // Whatever type is written, the new image must carry a version above that of the image in
    // slot 0, the firmware the camera runs; the camera itself checks the slot being replaced.
    al_data_info info;
    if (!query_info(fn, ll, 0, info)) return -1;
    if (info.version >= version) {
        logf(kErr, "[%s] Wrong version(Target:%d,Now:%d)\n", fn, info.version, version);
        return -1;
    }
    if (!send_image(fn, ll, type, version, image, progress)) {
        // Nothing was written completely, so there is no board restart to wait for.
        logf(kErr, "[%s] data upgrade failed!\n", fn);
        return -1;
    }
    const auto size = static_cast<uint32_t>(image.size());
    std::vector<uint8_t>().swap(image);

    if (type > 3) return 1;
    progress.report(size, size, VX_DATAX_RESTART);
    if (type <= 1) {
        vexel_ll_dev_reset(ll, 0);
        logf(kWrn, "[%s]  * Wait board to reset...\n", fn);
    }
    banner(fn);
    board_wait(type <= 1 ? 20000 : 7000);
    return 1;
}

int read_image(vexel_ll_dev* ll, uint8_t type, const char* path, const Progress& progress) {
    static const char* const fn = "vexel_bin_data_read";
    const TransferTurn turn(fn, ll);
    if (!turn) return -1;
    al_data_info info;
    if (!query_info(fn, ll, type, info)) return -1;
    if (info.data_size == kNothingStored) {
        logf(kErr, "[%s] No valid data to read, please check\n", fn);
        return -1;
    }
    ReadTarget out(path ? path : "calib.bin");
    if (!out.get()) {
        logf(kErr, "[%s] File open failed\n", fn);
        return -1;
    }
    const uint32_t size = info.data_size;
    std::array<uint8_t, AL_DATA_PIECE_SIZE> piece;
    for (uint32_t done = 0; done < size;) {
        const auto n = static_cast<uint16_t>(std::min<uint32_t>(AL_DATA_PIECE_SIZE, size - done));
        if (!al_get_data_payload(ll, piece.data(), n)) {
            logf(kErr, "[%s] read failed after %u of %u bytes\n", fn, done, size);
            return -1;
        }
        if (std::fwrite(piece.data(), 1, n, out.get()) != n) {
            logf(kErr, "[%s] cannot write %s: %s\n", fn, out.name().c_str(), std::strerror(errno));
            return -1;
        }
        done += n;
        if (done < size && progress.report(done, size, VX_DATAX_READ)) {
            logf(kWrn, "[%s] cancelled after %u of %u bytes\n", fn, done, size);
            return -1;
        }
    }
    progress.report(size, size, VX_DATAX_READ);
    if (std::fflush(out.get()) != 0) {
        logf(kErr, "[%s] cannot write %s: %s\n", fn, out.name().c_str(), std::strerror(errno));
        return -1;
    }
    if (!out.commit()) {
        logf(kErr, "[%s] cannot store %s: %s\n", fn, path ? path : "calib.bin", std::strerror(errno));
        return -1;
    }
    return 1;
}

}  // namespace vx::datax

namespace {

using vx::datax::Progress;

// Nothing may throw across the C interface; memory for a large image is the one thing that can.
template <class Body>
int guarded(const char* fn, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        vx::logf(vx::kErr, "[%s] out of memory\n", fn);
    } catch (...) {
        vx::logf(vx::kErr, "[%s] unexpected failure\n", fn);
    }
    return -1;
}

int device_write(const char* fn, vexel_dev* dev, uint8_t type, uint16_t version, const char* path,
                 const Progress& progress) {
    return guarded(fn, [&] {
        vx::DeviceCall call(dev);
        if (!call) {
            vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
            return -1;
        }
        return vx::datax::write_image(&call.handle()->ll, type, version, path, progress);
    });
}

int device_read(const char* fn, vexel_dev* dev, uint8_t type, const char* path, const Progress& progress) {
    return guarded(fn, [&] {
        vx::DeviceCall call(dev);
        if (!call) {
            vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
            return -1;
        }
        return vx::datax::read_image(&call.handle()->ll, type, path, progress);
    });
}

}  // namespace

extern "C" {

VX_API int vexel_firmware_upgrade(vexel_dev* dev, uint8_t type, uint16_t version, const char* path) {
    return device_write(__func__, dev, type, version, path, {});
}

VX_API int vexel_firmware_upgrade_ex(vexel_dev* dev, uint8_t type, uint16_t version, const char* path,
                                     vexel_datax_progress_cb progress, void* user) {
    return device_write(__func__, dev, type, version, path, {progress, user});
}

VX_API int vexel_data_download(vexel_dev* dev, const char* path, uint8_t type, uint16_t version, uint32_t addr) {
    (void)addr;
    return device_write(__func__, dev, type, version, path, {});
}

VX_API int vexel_data_upload(vexel_dev* dev, uint8_t type, const char* path) {
    return device_read(__func__, dev, type, path, {});
}

VX_API int vexel_data_upload_ex(vexel_dev* dev, uint8_t type, const char* path, vexel_datax_progress_cb progress,
                                void* user) {
    return device_read(__func__, dev, type, path, {progress, user});
}

VX_API int vexel_bin_data_write(vexel_ll_dev* ll, uint8_t type, uint16_t version, uint32_t addr, const char* path) {
    (void)addr;
    return guarded(__func__, [&] { return vx::datax::write_image(ll, type, version, path, {}); });
}

VX_API int vexel_bin_data_read(vexel_ll_dev* ll, uint8_t type, const char* path) {
    return guarded(__func__, [&] { return vx::datax::read_image(ll, type, path, {}); });
}

VX_API int vexel_ll_firmware_upgrade(vexel_ll_dev* ll, uint8_t type, uint16_t version, const char* path) {
    return vexel_bin_data_write(ll, type, version, 0, path);
}

}  // extern "C"
