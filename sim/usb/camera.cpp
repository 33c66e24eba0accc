// The public camera handle: reads and steers the camera under the testbed's lock.
#include <thread>

#include "sim/usb/usb.hpp"

namespace vxsim {

#define LOCKED std::lock_guard<std::mutex> lk_(impl_->tb->mu)

uint8_t Camera::bus() const { return impl_->opt.bus; }
uint8_t Camera::port() const { return impl_->port; }
uint8_t Camera::address() const {
    LOCKED;
    return impl_->cur ? impl_->cur->address : impl_->nodes.empty() ? 0 : impl_->nodes.back()->address;
}
std::string Camera::devnode() const {
    LOCKED;
    return impl_->nodes.empty() ? std::string() : impl_->nodes.back()->devnode;
}
std::string Camera::syspath() const { return impl_->syspath; }
const CameraOptions& Camera::options() const { return impl_->opt; }
bool Camera::attached() const {
    LOCKED;
    return impl_->cur != nullptr;
}
bool Camera::streaming() const {
    LOCKED;
    return impl_->fw.streaming();
}
std::vector<int> Camera::claimed_interfaces() const {
    LOCKED;
    std::set<int> s;
    if (impl_->cur)
        for (auto& [k, c] : impl_->cur->clients) s.insert(c->claims.begin(), c->claims.end());
    return {s.begin(), s.end()};
}
int Camera::clients() const {
    LOCKED;
    return impl_->cur ? static_cast<int>(impl_->cur->clients.size()) : 0;
}
int Camera::pending_bulk() const {
    LOCKED;
    return static_cast<int>(impl_->bulk.size());
}
Counters Camera::counters() const {
    LOCKED;
    return impl_->fw.counters();
}
std::vector<ControlRecord> Camera::command_log() const {
    LOCKED;
    return impl_->cmds;
}
std::vector<WriteRecord> Camera::write_log() const {
    LOCKED;
    return impl_->fw.write_log();
}
void Camera::clear_logs() {
    LOCKED;
    impl_->cmds.clear();
    impl_->fw.write_log().clear();
}
uint32_t Camera::reg(uint8_t target, uint32_t index) const {
    LOCKED;
    return impl_->fw.reg(target, index);
}
void Camera::set_reg(uint8_t target, uint32_t index, uint32_t value) {
    LOCKED;
    impl_->fw.set_reg(target, index, value);
}
std::vector<uint8_t> Camera::param(uint8_t id) const {
    LOCKED;
    return impl_->fw.param(id);
}
void Camera::set_param(uint8_t id, const std::vector<uint8_t>& value) {
    LOCKED;
    impl_->fw.set_param(id, value);
}
Measurement Camera::measurement() const {
    LOCKED;
    return impl_->fw.model().measurement();
}
void Camera::set_measurement(const Measurement& m) {
    LOCKED;
    impl_->fw.set_measurement(m);
}
Truth Camera::truth() const {
    LOCKED;
    Truth t = impl_->fw.model().truth(impl_->fw.sensor_settings());
    const Readout& w = impl_->fw.readout();
    return w.full() ? t : window_truth(t, w);
}
std::optional<Truth> Camera::truth(uint16_t frame_index) const {
    LOCKED;
    const auto e = impl_->fw.exposure(frame_index);
    if (!e) return std::nullopt;
    SensorSettings s = e->settings;
    const SensorSettings now = impl_->fw.sensor_settings();
    s.sensor_temp = now.sensor_temp;
    s.illum_temp = now.illum_temp;
    Truth t = impl_->fw.model().truth(s, e->t_s);
    return e->readout.full() ? t : window_truth(t, e->readout);
}
std::vector<uint8_t> Camera::calib_package() const {
    LOCKED;
    return impl_->fw.calib_package();
}
std::optional<FlashImage> Camera::flash_image(uint8_t type) const {
    LOCKED;
    return impl_->fw.flash().image(type);
}
void Camera::set_flash_image(uint8_t type, const FlashImage& image) {
    LOCKED;
    impl_->fw.flash().set_image(type, image);
}
void Camera::set_faults(const std::function<void(Faults&)>& edit) {
    {
        LOCKED;
        edit(impl_->fw.faults());
    }
    impl_->tb->cv.notify_all();
}
Faults Camera::faults() const {
    LOCKED;
    return impl_->fw.faults();
}
void Camera::set_interface0_busy(bool busy) {
    LOCKED;
    impl_->iface0_busy = busy;
}
void Camera::unplug(Unplug how) { impl_->tb->unplug(*impl_, how); }
void Camera::replug() {
    {
        LOCKED;
        if (impl_->cur) return;
        impl_->cold_return = true;
        impl_->return_at.reset();
    }
    impl_->tb->plug(*impl_);
}
void Camera::reenumerate(unsigned off_ms) {
    impl_->tb->unplug(*impl_);
    {
        LOCKED;
        impl_->cold_return = false;
        impl_->return_at = Clock::now() + milliseconds(off_ms);
    }
    impl_->tb->cv.notify_all();
}

bool Camera::wait_until(const std::function<bool(const Camera&)>& pred, std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (!pred(*this)) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

}  // namespace vxsim
