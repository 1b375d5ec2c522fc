#pragma once
// Kernel side of the editor's language requests. They are served one at a time, in arrival order,
// on a thread of their own, so the listener never waits for analysis or for the GIL. Each request
// sees the module sources with every earlier update applied. The bridge is loaded on the first
// request.
#include <boost/json/object.hpp>

#include <string>
#include <vector>

#include "kernel/worker_pool.hpp"

namespace gridlet {

class Kernel;

class LanguageService {
public:
    // Starts the language thread (called with the GIL while the kernel is built).
    LanguageService(const GilHeld&, Kernel& kernel);

    void submit(std::string kind, boost::json::object&& message);
    void set_hover_mode(const boost::json::object& message);
    void update_sys_paths(std::vector<std::string> paths);
    void delete_module(std::string name);
    void shutdown();

private:
    PyObject* bridge(const GilHeld&);  // borrowed; nullptr when it cannot be loaded
    void serve(const GilHeld&, const std::string& kind, const boost::json::object& message, PyObject* modules);

    Kernel& kernel_;
    WorkerPool thread_{"LSP"};
    PyObject* bridge_ = nullptr;
    bool load_failed_ = false;
};

}  // namespace gridlet
