// Starting a child process with posix_spawn and following it by its pid. Used by the console and
// the bench to start the kernel binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

struct SpawnSpec {
    std::vector<std::string> argv;           // argv[0] is the program's path
    std::vector<std::string_view> drop_env;  // "NAME=" prefixes of our environment not passed on
    std::vector<std::string> add_env;        // "NAME=value", after the inherited variables
    std::string output_path;                 // stdout and stderr appended here; empty: inherit ours
    // Its own process group (Ctrl-C at our terminal reaches us only), default handling for the
    // usual termination signals and no blocked signals, whatever we set for ourselves.
    bool own_process_group = false;
};

// Starts the program (stdin from /dev/null) and returns its pid. Throws
// std::runtime_error("cannot start PROGRAM: REASON").
pid_t spawn_process(const SpawnSpec& spec);

// How a child ended, as waitpid reports it.
struct ExitState {
    bool exited = false;
    int status = 0;

    // Reaps `pid` if it has ended; true once it is gone.
    bool poll(pid_t pid);
    // Sends SIGKILL to `pid` and reaps it.
    void kill_and_reap(pid_t pid);
    // "exit 0", "signal 9", "running".
    std::string text() const;
    int exit_code() const;  // -1 while running or after a signal
};

class ChildProcess {
public:
    explicit ChildProcess(const SpawnSpec& spec) : pid_(spawn_process(spec)) {}
    // Kills the process (by its pid) if it is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reaps the process if it has ended; true once it is gone.
    bool poll_exit();
    bool exited() const { return state_.exited; }
    // Waits up to `limit` for the process to end.
    bool wait_exit(std::chrono::milliseconds limit);
    // Sends SIGKILL to this process (by its pid) and reaps it.
    void kill_now();
    std::string status_text() const { return state_.text(); }
    int exit_code() const { return state_.exit_code(); }

private:
    pid_t pid_ = -1;
    ExitState state_;
};

}  // namespace tools
