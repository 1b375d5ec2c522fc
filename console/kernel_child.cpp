#include "kernel_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace console {

KernelChild::KernelChild(const KernelSpawn& s) {
  std::vector<std::string> args{s.binary};
  args.insert(args.end(), s.args.begin(), s.args.end());
  static constexpr std::string_view kOwn[] = {"GRIDLET_SECURED=", "GRIDLET_LOG_LEVEL=", "GRIDLET_TLS_PIN=",
                                              "GRIDLET_TLS_CA_FILE=", "GRIDLET_AUTH_TOKEN="};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    bool own = false;
    for (auto prefix : kOwn) own = own || kv.starts_with(prefix);
    if (!own) env.emplace_back(kv);
  }
  if (s.tls_pin.empty()) {
    env.push_back("GRIDLET_SECURED=0");
  } else {
    env.push_back("GRIDLET_SECURED=1");
    env.push_back("GRIDLET_TLS_PIN=" + s.tls_pin);
  }
  if (!s.token.empty()) env.push_back("GRIDLET_AUTH_TOKEN=" + s.token);
  env.push_back("GRIDLET_LOG_LEVEL=" + s.log_level);

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const char* log = s.log_path.empty() ? "/dev/null" : s.log_path.c_str();
  posix_spawn_file_actions_addopen(&actions, 1, log, O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  // The child starts with default signal handling and nothing blocked, whatever the console set.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  int rc = posix_spawn(&pid_, s.binary.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + s.binary + ": " + std::strerror(rc));
  }
}

KernelChild::~KernelChild() {
  if (pid_ > 0 && !poll_exit()) kill_now();
}

bool KernelChild::poll_exit() {
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

bool KernelChild::wait_exit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!poll_exit()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void KernelChild::kill_now() {
  if (pid_ <= 0 || poll_exit()) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  status_ = st;
  exited_ = true;
}

std::string KernelChild::status_text() const {
  if (!exited_) return "running";
  if (WIFEXITED(status_)) return "exit " + std::to_string(WEXITSTATUS(status_));
  if (WIFSIGNALED(status_)) return "signal " + std::to_string(WTERMSIG(status_));
  return "ended";
}

int KernelChild::exit_code() const {
  if (exited_ && WIFEXITED(status_)) return WEXITSTATUS(status_);
  return -1;
}

std::string default_kernel_binary() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "gridlet-kernel";
  for (const fs::path& p : {self.parent_path() / "gridlet-kernel", self.parent_path().parent_path() / "gridlet-kernel"})
    if (fs::exists(p, ec)) return p.string();
  return (self.parent_path() / "gridlet-kernel").string();
}

}  // namespace console
