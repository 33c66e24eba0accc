#include "transport/cmd_lock.hpp"

#include "transport/usb_priv.hpp"

namespace vx::ll {

CommandLock::CommandLock(vexel_ll_dev* dev) {
    if (!dev || dev->ops != &ll_op_usb) return;
    if (usb::usb_ll_dev_priv* p = usb::priv_of(dev)) {
        mu_ = &p->cmd_mu;
        mu_->lock();
    }
}

CommandLock::~CommandLock() {
    if (mu_) mu_->unlock();
}

}  // namespace vx::ll
