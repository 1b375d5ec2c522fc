#include "util/log.hpp"

#include <spdlog/sinks/base_sink.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "util/write_all.hpp"

namespace gridlet::log {
namespace {

std::atomic<int> g_fd{2};

// Writes each line straight to a file descriptor: the process's original stderr, which stays
// the log's destination after fd 2 itself is redirected.
class FdSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        util::write_all(g_fd.load(std::memory_order_relaxed), formatted.data(), formatted.size());
    }
    void flush_() override {}
};

std::shared_ptr<spdlog::logger> make_logger() {
    auto l = std::make_shared<spdlog::logger>("gridlet", std::make_shared<FdSink>());
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

void write_to_fd(int fd) { g_fd.store(fd, std::memory_order_relaxed); }

spdlog::logger& get() { return instance(); }

}  // namespace gridlet::log
