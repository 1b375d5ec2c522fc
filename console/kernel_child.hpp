// The kernel process the console starts: its own process group (so Ctrl-C at the console's
// prompt reaches the console only), stdin from /dev/null, stdout and stderr into a log file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace console {

struct KernelSpawn {
  std::string binary;
  std::vector<std::string> args;  // after the program name
  std::string log_level;          // GRIDLET_LOG_LEVEL
  std::string log_path;           // kernel stdout and stderr, appended
  // How the kernel connects: TLS with the session certificate's pin (GRIDLET_TLS_PIN), or plain
  // ws:// when empty; the token it presents (GRIDLET_AUTH_TOKEN). The console's own values of
  // these variables are never passed on.
  std::string tls_pin;
  std::string token;
};

class KernelChild {
 public:
  explicit KernelChild(const KernelSpawn& spawn);  // throws std::runtime_error
  ~KernelChild();
  KernelChild(const KernelChild&) = delete;
  KernelChild& operator=(const KernelChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reaps the process if it has ended; true once it is gone.
  bool poll_exit();
  // Waits up to `limit` for the process to end.
  bool wait_exit(std::chrono::milliseconds limit);
  // Sends SIGKILL to this process (by its pid) and reaps it.
  void kill_now();
  // "exit 0", "signal 9", "running".
  std::string status_text() const;
  int exit_code() const;  // -1 while running or after a signal

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// The kernel binary to use by default: gridlet-kernel beside this program, else one folder up.
std::string default_kernel_binary();

}  // namespace console
