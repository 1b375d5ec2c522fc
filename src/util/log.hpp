#pragma once
// The kernel's one logger: the process's original stderr through spdlog, never through the Python
// stream hooks or the captured fd 2.
#include <spdlog/spdlog.h>

namespace gridlet::log {

// Level from GRIDLET_LOG_LEVEL (DEBUG, INFO, WARNING, ERROR; default INFO).
void setup_from_environment();
spdlog::logger& get();
// Where log lines go (default 2): the saved original stderr once fd 2 is captured.
void write_to_fd(int fd);
inline bool debug_enabled() { return get().should_log(spdlog::level::debug); }

}  // namespace gridlet::log

#define GLOG_DEBUG(...)                                                                \
    do {                                                                               \
        if (::gridlet::log::debug_enabled()) ::gridlet::log::get().debug(__VA_ARGS__); \
    } while (0)
#define GLOG_INFO(...)                                                                                      \
    do {                                                                                                    \
        if (::gridlet::log::get().should_log(spdlog::level::info)) ::gridlet::log::get().info(__VA_ARGS__); \
    } while (0)
#define GLOG_WARN(...) ::gridlet::log::get().warn(__VA_ARGS__)
#define GLOG_ERROR(...) ::gridlet::log::get().error(__VA_ARGS__)
