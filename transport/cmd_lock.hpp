// Keeping one thread's commands to a camera together.
#pragma once

#include <mutex>

#include <vexel/transport.h>

namespace vx::ll {

// Holds the command channel of `dev` while it lives: the commands this thread issues meanwhile
// (vexel_ll_exe_cmd, vexel_ll_check_last_cmd, register and parameter batches) reach the camera
// as one run that no other thread's command can split, so a status query answers for the command
// before it. Each single exchange and each batch already holds it by itself; take it around a
// command and its status check, or around both phases of a read. Recursive. Blocks while another
// thread's command runs (at most a few seconds). Never take it on the event thread (capture
// callback), nor hold it across waits for frames. A record that is not open holds nothing.
class CommandLock {
public:
    explicit CommandLock(vexel_ll_dev* dev);
    ~CommandLock();
    CommandLock(const CommandLock&) = delete;
    CommandLock& operator=(const CommandLock&) = delete;

private:
    std::recursive_mutex* mu_ = nullptr;
};

}  // namespace vx::ll
