#include "kernel_process.hpp"

#include "common/child_process.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

tools::SpawnSpec kernel_spec(const SpawnOptions& o) {
    tools::SpawnSpec spec;
    spec.argv = {o.kernel_path, o.workbook_id, std::to_string(o.port)};
    spec.drop_env = {"GRIDLET_SECURED=", "GRIDLET_LOG_LEVEL="};
    spec.add_env = {"GRIDLET_SECURED=0", "GRIDLET_LOG_LEVEL=" + o.log_level};
    spec.output_path = o.log_path;  // empty: the kernel writes to our stdout and stderr
    return spec;
}

}  // namespace

KernelProcess::KernelProcess(const SpawnOptions& o) : pid_(tools::spawn_process(kernel_spec(o))) {}

KernelProcess::~KernelProcess() {
    if (pid_ > 0 && !poll_exit()) kill_now();
}

// The shared bookkeeping of how the process ended, over this object's own fields.
bool KernelProcess::poll_exit() {
    tools::ExitState st{exited_, status_};
    bool gone = st.poll(pid_);
    exited_ = st.exited;
    status_ = st.status;
    return gone;
}

std::string KernelProcess::exit_text() const { return tools::ExitState{exited_, status_}.text(); }

int KernelProcess::exit_code() const { return tools::ExitState{exited_, status_}.exit_code(); }

void KernelProcess::kill_now() {
    tools::ExitState st{exited_, status_};
    st.kill_and_reap(pid_);
    exited_ = st.exited;
    status_ = st.status;
}

std::optional<double> KernelProcess::status_mb(const char* field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            std::istringstream is(line.substr(key.size()));
            double kb = 0;
            if (is >> kb) return kb / 1024.0;
        }
    }
    return std::nullopt;
}

std::optional<double> KernelProcess::status_value(const char* field) const {
    auto kb = status_mb(field);  // same parsing; undo the unit
    if (!kb) return std::nullopt;
    return *kb * 1024.0;
}

std::optional<double> KernelProcess::fd_count() const {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end;
    if (ec) return std::nullopt;
    double n = 0;
    for (; it != end; it.increment(ec)) {
        if (ec) return std::nullopt;
        ++n;
    }
    return n;
}

std::optional<double> KernelProcess::cpu_ms() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; fields are counted from the last ')'.
    auto close = all.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream is(all.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // After ")": state(3) ... utime is field 14, stime 15 (1-based over the whole line).
    for (int i = 3; i <= 15 && is >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (utime + stime) * 1000.0 / tick;
}

std::string default_kernel_path() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "gridlet-kernel";
    fs::path up = self.parent_path().parent_path() / "gridlet-kernel";
    if (fs::exists(up, ec)) return up.string();
    fs::path beside = self.parent_path() / "gridlet-kernel";
    if (fs::exists(beside, ec)) return beside.string();
    return up.string();
}

double self_cpu_ms() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

}  // namespace bench
