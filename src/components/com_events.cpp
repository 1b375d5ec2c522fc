#include "components/com_events.hpp"

#include <memory>

#include "messaging/py_json.hpp"
#include <stdexcept>

namespace gridlet {
namespace {

constexpr const char* kNoCom = "COM automation is not available on this platform (Windows only)";

class UnavailableWatcher final : public ComWatcher {
public:
    void start() override { throw std::runtime_error(kNoCom); }
    void stop() override {}
};

class UnavailableRegistrar final : public ComEventRegistrar {
public:
    void start() override { throw std::runtime_error(kNoCom); }
    void stop() override {}
    void apply_config(const boost::json::value&) override {}
    void deliver_com_response(const GilHeld&, const std::string&, PyObject*) override {}
};

class PythonRegistrar final : public ComEventRegistrar {
public:
    explicit PythonRegistrar(PyObject* impl) : impl_(impl) { Py_INCREF(impl_); }
    ~PythonRegistrar() override {
        GilGuard gil;
        Py_DECREF(impl_);
    }
    void start() override {}
    void stop() override {}
    void apply_config(const boost::json::value& cfg) override {
        GilGuard gil;
        PyObject* c = py_json::to_python(gil.held(), cfg);
        PyObject* r = c ? PyObject_CallMethod(impl_, "apply_config", "O", c) : nullptr;
        Py_XDECREF(c);
        if (!r) PyErr_Print();
        Py_XDECREF(r);
    }
    void deliver_com_response(const GilHeld&, const std::string& request_id, PyObject* response) override {
        PyObject* r = PyObject_CallMethod(impl_, "deliver_com_response", "sO", request_id.c_str(), response);
        if (!r) throw PythonErrorSet();
        Py_DECREF(r);
    }

private:
    PyObject* impl_;
};

}  // namespace

std::unique_ptr<ComEventRegistrar> make_python_com_event_registrar(const GilHeld&, PyObject* impl) {
    return std::make_unique<PythonRegistrar>(impl);
}

boost::json::object win32_events_dictionary() {
    // Workbook and worksheet events the COM hook would forward, by Excel object type.
    return boost::json::object{
        {"Workbook", boost::json::array{"Open", "BeforeClose", "BeforeSave", "SheetActivate", "SheetChange",
                                        "SheetCalculate", "NewSheet"}},
        {"Worksheet", boost::json::array{"Activate", "Deactivate", "Change", "Calculate", "SelectionChange"}},
    };
}

std::unique_ptr<ComWatcher> make_win32_com_watcher(Kernel&) { return std::make_unique<UnavailableWatcher>(); }

std::unique_ptr<ComEventRegistrar> make_win32_com_event_registrar(Kernel&) {
    return std::make_unique<UnavailableRegistrar>();
}

}  // namespace gridlet
