// Starting the kernel binary and watching it through /proc.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace bench {

struct SpawnOptions {
    std::string kernel_path;
    std::string workbook_id;
    unsigned short port = 0;
    std::string log_level = "WARNING";
    std::string log_path;  // kernel stdout and stderr go here (appended); empty: inherit ours
};

class KernelProcess {
public:
    // Starts the kernel with `WORKBOOK_ID PORT`, GRIDLET_SECURED=0 and the log level. Throws on failure.
    explicit KernelProcess(const SpawnOptions& options);
    ~KernelProcess();
    KernelProcess(const KernelProcess&) = delete;
    KernelProcess& operator=(const KernelProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reaps the process if it has ended; true when it is gone.
    bool poll_exit();
    bool exited() const { return exited_; }
    // Human-readable exit status ("exit 0", "signal 9").
    std::string exit_text() const;
    int exit_code() const;  // -1 when killed by a signal or still running

    // Sends SIGKILL to this process (by its pid) and reaps it.
    void kill_now();

    // Fields of /proc/PID/status in MiB (VmRSS, VmHWM); nullopt when unreadable.
    std::optional<double> status_mb(const char* field) const;
    // A plain number field of /proc/PID/status (Threads).
    std::optional<double> status_value(const char* field) const;
    // Open file descriptors: entries of /proc/PID/fd.
    std::optional<double> fd_count() const;
    // User plus system CPU time of the process so far, in milliseconds.
    std::optional<double> cpu_ms() const;

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// The default kernel binary: gridlet-kernel in the folder above the one holding this program
// (build/bench/gridlet-bench -> build/gridlet-kernel), else beside it.
std::string default_kernel_path();

// CPU time used by this process so far, in milliseconds.
double self_cpu_ms();

}  // namespace bench
