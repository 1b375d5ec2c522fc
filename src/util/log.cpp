#include "util/log.hpp"

#include <spdlog/sinks/stdout_sinks.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace gridlet::log {
namespace {

std::shared_ptr<spdlog::logger> make_logger() {
    auto l = std::make_shared<spdlog::logger>("gridlet", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    l->set_pattern("%Y-%m-%d %H:%M:%S.%e %l %v");
    l->flush_on(spdlog::level::info);
    l->set_level(spdlog::level::info);
    return l;
}

spdlog::logger& instance() {
    static std::shared_ptr<spdlog::logger> logger = make_logger();
    return *logger;
}

}  // namespace

void setup_from_environment() {
    const char* v = std::getenv("GRIDLET_LOG_LEVEL");
    std::string_view level = v ? v : "INFO";
    auto lvl = spdlog::level::info;
    if (level == "DEBUG") lvl = spdlog::level::debug;
    else if (level == "WARNING" || level == "WARN") lvl = spdlog::level::warn;
    else if (level == "ERROR") lvl = spdlog::level::err;
    instance().set_level(lvl);
}

spdlog::logger& get() { return instance(); }

}  // namespace gridlet::log
