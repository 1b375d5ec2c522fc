#pragma once
// Worker threads as user code sees them: each registers itself with `threading` as an ordinary,
// started, non-daemon threading.Thread named as the pool names it, so current_thread() is a real
// Thread (join() on it raises "cannot join current thread") and threads that user code creates
// are non-daemon unless asked. The process never waits for the workers at exit: it ends with
// _exit once the connection is over.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet::worker_threads {

void register_current(const GilHeld&, const std::string& name);

}  // namespace gridlet::worker_threads
