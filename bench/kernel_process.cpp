#include "kernel_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace bench {

KernelProcess::KernelProcess(const SpawnOptions& o) {
  std::vector<std::string> args = {o.kernel_path, o.workbook_id, std::to_string(o.port)};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    if (kv.starts_with("GRIDLET_SECURED=") || kv.starts_with("GRIDLET_LOG_LEVEL=")) continue;
    env.emplace_back(kv);
  }
  env.push_back("GRIDLET_SECURED=0");
  env.push_back("GRIDLET_LOG_LEVEL=" + o.log_level);

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!o.log_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, o.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  int rc = posix_spawn(&pid_, o.kernel_path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + o.kernel_path + ": " + std::strerror(rc));
}

KernelProcess::~KernelProcess() {
  if (pid_ > 0 && !poll_exit()) kill_now();
}

bool KernelProcess::poll_exit() {
  if (exited_ || pid_ <= 0) return true;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    exited_ = true;
    status_ = st;
  } else if (r < 0 && errno == ECHILD) {
    exited_ = true;
  }
  return exited_;
}

std::string KernelProcess::exit_text() const {
  if (!exited_) return "running";
  if (WIFEXITED(status_)) return "exit " + std::to_string(WEXITSTATUS(status_));
  if (WIFSIGNALED(status_)) return "signal " + std::to_string(WTERMSIG(status_));
  return "ended";
}

int KernelProcess::exit_code() const {
  if (exited_ && WIFEXITED(status_)) return WEXITSTATUS(status_);
  return -1;
}

void KernelProcess::kill_now() {
  if (pid_ <= 0 || poll_exit()) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  if (waitpid(pid_, &st, 0) == pid_) status_ = st;
  exited_ = true;
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
