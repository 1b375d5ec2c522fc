// The kernel process the console starts: its own process group (so Ctrl-C at the console's
// prompt reaches the console only), stdin from /dev/null, stdout and stderr into a log file.
#pragma once

#include "common/child_process.hpp"

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

class KernelChild : public tools::ChildProcess {
public:
    explicit KernelChild(const KernelSpawn& spawn);  // throws std::runtime_error
};

// The kernel binary to use by default: gridlet-kernel beside this program, else one folder up.
std::string default_kernel_binary();

}  // namespace console
