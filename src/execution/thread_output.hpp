#pragma once
// Threads that user code starts write into the run that started them: Thread.start records the
// starter's run (RunOutput::current_link) on the new Thread, and the new thread adopts it before
// its run() begins. Once that run has ended, the thread's writes are plain stdout/stderr messages.
#include "kernel/gil.hpp"

namespace gridlet::thread_output {

// Wraps threading.Thread.start and Thread._bootstrap_inner. Called once at start-up.
void install(const GilHeld&);

}  // namespace gridlet::thread_output
