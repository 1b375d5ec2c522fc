#pragma once
// Kernel side of the Windows COM event hooks. There is no COM on this platform: the placeholders
// fail to start with the reason, and the kernel carries on without COM events.
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <string>

#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;

class ComWatcher {
public:
    virtual ~ComWatcher() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

class ComEventRegistrar {
public:
    virtual ~ComEventRegistrar() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void apply_config(const boost::json::value& com_config) = 0;
    // `response` is the dict {"status": "ok", "return_value": ...} or {"status": "nok"}. Throws
    // PythonErrorSet when the delivery raised.
    virtual void deliver_com_response(const GilHeld&, const std::string& request_id, PyObject* response) = 0;
};

// The event definitions announced to the Business Layer when COM hooks start.
boost::json::object win32_events_dictionary();

std::unique_ptr<ComWatcher> make_win32_com_watcher(Kernel& kernel);
std::unique_ptr<ComEventRegistrar> make_win32_com_event_registrar(Kernel& kernel);
// A registrar implemented by a Python object (apply_config, deliver_com_response), for hosts that
// provide their own COM bridge and for tests.
std::unique_ptr<ComEventRegistrar> make_python_com_event_registrar(const GilHeld&, PyObject* impl);

}  // namespace gridlet
