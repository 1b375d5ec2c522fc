#include "execution/display_data.hpp"

#include <string>

#include "execution/run_output.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "kernel/replies.hpp"
#include "messaging/py_json.hpp"
#include "messaging/reply_builders.hpp"
#include "util/log.hpp"

namespace gridlet::display_data {

bool send(const GilHeld& gil, Replies& replies, PyObject* data, PyObject* metadata) {
    if (!PyDict_Check(data)) {
        PyErr_Format(PyExc_TypeError, "data must be a dict, not %.100s", Py_TYPE(data)->tp_name);
        return false;
    }
    PyObject* plain = PyDict_GetItemString(data, "text/plain");  // borrowed
    if (!plain || !PyUnicode_Check(plain)) {
        PyErr_SetString(PyExc_TypeError, "data must hold a str under 'text/plain'");
        return false;
    }
    if (metadata != Py_None && !PyDict_Check(metadata)) {
        PyErr_Format(PyExc_TypeError, "metadata must be a dict, not %.100s", Py_TYPE(metadata)->tp_name);
        return false;
    }
    // Encoded here, on the calling thread: the listener never sees a Python object.
    std::string bundle = "\"data\":";
    try {
        py_json::append(gil, data, bundle);
        bundle += ",\"metadata\":";
        if (metadata == Py_None) bundle += "{}";
        else py_json::append(gil, metadata, bundle);
    } catch (const py_json::EncodeError& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, e.what());
        return false;
    }
    if (RunOutput* run = RunOutput::current()) {
        run->display(gil, bundle);
    } else {
        replies.post(gil, reply::display_data(bundle, reply::workbook_tail(replies.workbook_id_json())),
                     {"display_data", {}});
    }
    return true;
}

void show_open_figures(const GilHeld& gil) {
    PyObject* modules = PyImport_GetModuleDict();                                     // borrowed
    PyObject* backend = PyDict_GetItemString(modules, "gridlet.matplotlib_backend");  // borrowed
    if (!backend) return;
    if (!drop(PyObject_CallMethod(backend, "show_run_figures", nullptr)))
        py_error::clear_logged(gil, "[Kernel] Could not show the run's open figures", py_error::Level::warning);
}

}  // namespace gridlet::display_data
