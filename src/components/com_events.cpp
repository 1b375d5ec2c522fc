#include "components/com_events.hpp"

#include <memory>

#include <stdexcept>

#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"

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
    explicit PythonRegistrar(PyObject* impl) : impl_(PyRef::borrow(impl)) {}
    ~PythonRegistrar() override {
        GilGuard gil;  // may be destroyed on any thread
        impl_.reset();
    }
    void start() override {}
    void stop() override {}
    void apply_config(const boost::json::value& cfg) override {
        GilGuard gil;
        PyRef c = PyRef::steal(py_json::to_python(gil.held(), cfg));
        if (!c || !drop(PyObject_CallMethod(impl_.get(), "apply_config", "O", c.get()))) PyErr_Print();
    }
    void deliver_com_response(const GilHeld&, const std::string& request_id, PyObject* response) override {
        if (!drop(PyObject_CallMethod(impl_.get(), "deliver_com_response", "sO", request_id.c_str(), response)))
            throw PythonErrorSet();
    }

private:
    PyRef impl_;
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
