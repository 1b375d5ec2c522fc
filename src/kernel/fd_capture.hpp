#pragma once
// Output that bypasses sys.stdout/sys.stderr: file descriptors 1 and 2 of the kernel process are
// pipes, read by one thread that never takes the GIL. What arrives there (a C library's printf,
// os.system, child processes, forked children) is copied to the original stdout/stderr and sent
// to the Business Layer as plain stdout/stderr messages. The kernel's own log lines go to the
// original stderr directly, never through the pipes.
//
// A process forked from the kernel must not touch the kernel's write queue or locks: in the child
// in_forked_child() is true and the stream hooks write straight to fds 1 and 2 (which the parent
// forwards); the kernel's send paths drop what they are given there.
#include <functional>
#include <string_view>

#include "execution/run_output.hpp"

namespace gridlet::fd_capture {

// Called first thing in main, before any other thread exists. Saves fds 1 and 2, puts pipes in
// their place and starts the reader. If a pipe cannot be made, output stays where it was.
void start();

// Where the reader sends what it read (valid UTF-8; called on the reader thread, without the GIL).
using Sink = std::function<void(StreamKind, std::string_view)>;
void set_sink(Sink sink);

// The original stdout/stderr (the console copy of every stream, and the log's destination).
int console_fd(StreamKind kind);

// Waits (at most `limit_ms`) until everything already written to fds 1 and 2 has been handed to
// the sink, so a run's fd output leaves before the run's reply. Call without the GIL.
void sync(int limit_ms = 1000);
// Whether sync() would have anything to wait for: C stdio flushed, then bytes unread in either
// pipe or the forwarder busy handing some over. Never blocks on the forwarder, so a run may ask
// with the GIL held and release it only when there is something to wait for.
bool pending();

bool in_forked_child();

}  // namespace gridlet::fd_capture
