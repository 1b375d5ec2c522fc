#include "kernel_child.hpp"

#include <filesystem>

namespace console {

namespace {

tools::SpawnSpec kernel_spec(const KernelSpawn& s) {
    tools::SpawnSpec spec;
    spec.argv.push_back(s.binary);
    spec.argv.insert(spec.argv.end(), s.args.begin(), s.args.end());
    spec.drop_env = {
        "GRIDLET_SECURED=", "GRIDLET_LOG_LEVEL=", "GRIDLET_TLS_PIN=", "GRIDLET_TLS_CA_FILE=", "GRIDLET_AUTH_TOKEN="};
    if (s.tls_pin.empty()) {
        spec.add_env.push_back("GRIDLET_SECURED=0");
    } else {
        spec.add_env.push_back("GRIDLET_SECURED=1");
        spec.add_env.push_back("GRIDLET_TLS_PIN=" + s.tls_pin);
    }
    if (!s.token.empty()) spec.add_env.push_back("GRIDLET_AUTH_TOKEN=" + s.token);
    spec.add_env.push_back("GRIDLET_LOG_LEVEL=" + s.log_level);
    spec.output_path = s.log_path.empty() ? "/dev/null" : s.log_path;
    spec.own_process_group = true;
    return spec;
}

}  // namespace

KernelChild::KernelChild(const KernelSpawn& s) : tools::ChildProcess(kernel_spec(s)) {}

std::string default_kernel_binary() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "gridlet-kernel";
    for (const fs::path& p :
         {self.parent_path() / "gridlet-kernel", self.parent_path().parent_path() / "gridlet-kernel"})
        if (fs::exists(p, ec)) return p.string();
    return (self.parent_path() / "gridlet-kernel").string();
}

}  // namespace console
