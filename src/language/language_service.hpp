#pragma once
// Kernel side of the editor's language requests. They are served one at a time, in arrival order,
// on a thread of their own, so the listener never waits for analysis. Each request carries a copy
// of the module sources taken when it arrived. The bridge is loaded on the first request.
#include <boost/json/object.hpp>

#include <string>
#include <vector>

#include "kernel/worker_pool.hpp"

namespace gridlet {

class Kernel;

class LanguageService {
public:
    explicit LanguageService(Kernel& kernel);

    void submit(std::string kind, boost::json::object&& message);
    void set_hover_mode(const boost::json::object& message);
    void update_sys_paths(std::vector<std::string> paths);
    void delete_module(std::string name);
    void shutdown();

private:
    PyObject* bridge(const GilHeld&);  // borrowed; nullptr when it cannot be loaded
    void serve(const GilHeld&, const std::string& kind, const boost::json::object& message, PyObject* modules);
    void ensure_started();

    Kernel& kernel_;
    WorkerPool thread_{"LSP"};
    bool started_ = false;
    PyObject* bridge_ = nullptr;
    bool load_failed_ = false;
};

}  // namespace gridlet
