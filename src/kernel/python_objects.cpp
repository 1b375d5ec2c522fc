#include "kernel/python_objects.hpp"

#include <cmath>
#include <new>
#include <stdexcept>

#include "components/com_events.hpp"
#include "components/debugger.hpp"
#include "execution/display_data.hpp"
#include "execution/run_output.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_class.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "services/host_interaction.hpp"
#include "services/object_keeper.hpp"
#include "services/sys_request.hpp"

namespace gridlet {
namespace {

// One kernel per process: the objects below serve the kernel that made them.
Kernel* g_kernel = nullptr;
PyObject* g_kernel_class = nullptr;  // PythonKernel, kept for the life of the process

const GilHeld& gil() { return GilHeld::from_python(); }  // every function here is called by Python

bool require_str(PyObject* v, const char* name) {
    if (PyUnicode_CheckExact(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", name, Py_TYPE(v)->tp_name);
    return false;
}

// Runs a method body; C++ exceptions become the Python exceptions callers have always seen.
template <typename F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;  // the Python exception is already set
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject* none() { Py_RETURN_NONE; }

// Parses keyword-capable arguments: `format` as for PyArg_ParseTupleAndKeywords.
template <typename... Out>
bool parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names, Out*... out) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...);
}

// ---- PythonKernel: properties ----

PyObject* get_workbook_id(PyObject*, void*) { return py_json::str_of(gil(), g_kernel->workbook_id()); }
PyObject* get_has_active_debugger(PyObject*, void*) { return PyBool_FromLong(g_kernel->debugger() != nullptr); }
PyObject* get_running(PyObject*, void*) { return PyBool_FromLong(g_kernel->running()); }
PyObject* get_current_run(PyObject*, void*) {
    RunOutput* run = RunOutput::current();
    if (!run) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(run->serial()));
}

PyGetSetDef kernel_getters[] = {
    {"workbook_id", get_workbook_id, nullptr, nullptr, nullptr},
    {"has_active_debugger", get_has_active_debugger, nullptr, nullptr, nullptr},
    {"running", get_running, nullptr, nullptr, nullptr},
    {"current_run", get_current_run, nullptr,
     "A number naming the run of user code on the calling thread, or None outside a run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- PythonKernel: methods ----

PyObject* send_display_data(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data", "metadata", nullptr};
    PyObject *data, *metadata = Py_None;
    if (!parse(args, kwargs, "O|O:send_display_data", names, &data, &metadata)) return nullptr;
    return guarded([&] { return display_data::send(gil(), g_kernel->replies(), data, metadata) ? none() : nullptr; });
}

PyObject* save_object(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key", "obj", nullptr};
    PyObject *key, *obj;
    if (!parse(args, kwargs, "OO:save_object", names, &key, &obj) || !require_str(key, "key")) return nullptr;
    return guarded([&] {
        g_kernel->object_keeper().save(gil(), key, obj);
        return none();
    });
}

PyObject* get_object(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key", nullptr};
    PyObject* key;
    if (!parse(args, kwargs, "O:get_object", names, &key) || !require_str(key, "key")) return nullptr;
    return guarded([&] { return g_kernel->object_keeper().get(gil(), key); });
}

PyObject* clear_object(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key", nullptr};
    PyObject* key;
    if (!parse(args, kwargs, "O:clear_object", names, &key) || !require_str(key, "key")) return nullptr;
    return guarded([&] {
        g_kernel->object_keeper().clear(gil(), key);
        return none();
    });
}

PyObject* clear_all_objects(PyObject*, PyObject*) {
    return guarded([&] {
        g_kernel->object_keeper().clear_all(gil());
        return none();
    });
}

PyObject* get_object_registry(PyObject*, PyObject*) {
    return guarded([&] { return g_kernel->object_keeper().registry(gil()); });
}

PyObject* set_enable_events(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"enable", nullptr};
    PyObject* enable;
    if (!parse(args, kwargs, "O:set_enable_events", names, &enable)) return nullptr;
    int truthy = PyObject_IsTrue(enable);
    if (truthy < 0) return nullptr;
    return guarded([&] {
        services::set_enable_events(*g_kernel, truthy > 0);
        return none();
    });
}

PyObject* show_message_box(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"message", "title", "type", nullptr};
    PyObject *message, *title = nullptr, *type = nullptr;
    if (!parse(args, kwargs, "O|OO:show_message_box", names, &message, &title, &type)) return nullptr;
    if (!require_str(message, "message") || (title && !require_str(title, "title")) ||
        (type && !require_str(type, "type")))
        return nullptr;
    return guarded([&] {
        const std::string m = py_json::utf8_of(gil(), message);
        const std::string t = title ? py_json::utf8_of(gil(), title) : "Gridlet";
        const std::string k = type ? py_json::utf8_of(gil(), type) : "Info";
        if (PyErr_Occurred()) return static_cast<PyObject*>(nullptr);
        services::show_message_box(*g_kernel, m, t, k);
        return none();
    });
}

PyObject* set_com_event_registrar(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"registrar", nullptr};
    PyObject* impl;
    if (!parse(args, kwargs, "O:set_com_event_registrar", names, &impl)) return nullptr;
    return guarded([&] {
        // Hosts with their own COM bridge (and tests) provide the registrar as an object
        // with apply_config(config) and deliver_com_response(request_id, response).
        if (impl == Py_None) g_kernel->set_com_registrar(nullptr);
        else g_kernel->set_com_registrar(make_python_com_event_registrar(gil(), impl));
        return none();
    });
}

PyObject* send_message(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"message", nullptr};
    PyObject* message;
    if (!parse(args, kwargs, "O!:send_message", names, &PyDict_Type, &message)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::string text;
        try {
            py_json::append(gil(), message, text);
        } catch (const py_json::EncodeError& e) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, e.what());
            return nullptr;
        }
        std::string type = "unknown";
        if (PyObject* t = PyDict_GetItemString(message, "type")) {  // borrowed
            PyRef s = PyRef::steal(PyObject_Str(t));
            if (!s) return nullptr;
            type = py_json::utf8_of(gil(), s.get());
            if (PyErr_Occurred()) return nullptr;
        }
        g_kernel->post_from_worker(gil(), text, {type, {}});
        return none();
    });
}

// A METH_VARARGS | METH_KEYWORDS function in a PyMethodDef entry.
template <PyCFunctionWithKeywords F>
PyCFunction kw() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kernel_methods[] = {
    {"send_display_data", kw<send_display_data>(), METH_VARARGS | METH_KEYWORDS,
     "send_display_data($self, /, data, metadata=None)\n--\n\n"
     "Send one display_data message (a MIME bundle) with the calling run's fields."},
    {"save_object", kw<save_object>(), METH_VARARGS | METH_KEYWORDS, "save_object($self, /, key, obj)\n--\n\n"},
    {"get_object", kw<get_object>(), METH_VARARGS | METH_KEYWORDS, "get_object($self, /, key)\n--\n\n"},
    {"clear_object", kw<clear_object>(), METH_VARARGS | METH_KEYWORDS, "clear_object($self, /, key)\n--\n\n"},
    {"clear_all_objects", clear_all_objects, METH_NOARGS, "clear_all_objects($self, /)\n--\n\n"},
    {"get_object_registry", get_object_registry, METH_NOARGS, "get_object_registry($self, /)\n--\n\n"},
    {"set_enable_events", kw<set_enable_events>(), METH_VARARGS | METH_KEYWORDS,
     "set_enable_events($self, /, enable)\n--\n\n"},
    {"show_message_box", kw<show_message_box>(), METH_VARARGS | METH_KEYWORDS,
     "show_message_box($self, /, message, title='Gridlet', type='Info')\n--\n\n"},
    {"set_com_event_registrar", kw<set_com_event_registrar>(), METH_VARARGS | METH_KEYWORDS,
     "set_com_event_registrar($self, /, registrar)\n--\n\n"},
    {"send_message", kw<send_message>(), METH_VARARGS | METH_KEYWORDS,
     "send_message($self, /, message)\n--\n\nSend one message to the Business Layer (fire and forget)."},
    {nullptr, nullptr, 0, nullptr}};

// ---- functions given to the bridge module ----

PyObject* send_stream_message(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"stream_type", "content", nullptr};
    PyObject *stream_type, *content;
    if (!parse(args, kwargs, "OO:send_stream_message", names, &stream_type, &content) ||
        !require_str(content, "content"))
        return nullptr;
    return guarded([&]() -> PyObject* {
        PyRef kind = PyRef::steal(PyObject_Str(stream_type));
        if (!kind) return nullptr;
        const bool out = PyUnicode_CompareWithASCIIString(kind.get(), "stdout") == 0;
        const std::string text = py_json::utf8_of(gil(), content);
        if (PyErr_Occurred()) return nullptr;
        g_kernel->send_stream(gil(), out ? StreamKind::out : StreamKind::err, text);
        return none();
    });
}

PyObject* send_request_sync(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"req", "timeout", nullptr};
    PyObject* req;
    PyObject* timeout = nullptr;
    if (!parse(args, kwargs, "O|O:send_request_sync", names, &req, &timeout)) return nullptr;
    double t = timeout ? PyFloat_AsDouble(timeout) : 30.0;
    if (t == -1.0 && PyErr_Occurred()) return nullptr;
    if (std::isnan(t) || t < 0) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number");
        return nullptr;
    }
    return guarded([&] { return services::send_request_sync(gil(), *g_kernel, req, t); });
}

PyMethodDef stream_sender_def = {"send_stream_message", kw<send_stream_message>(), METH_VARARGS | METH_KEYWORDS,
                                 "send_stream_message(stream_type, content)\n--\n\n"};
PyMethodDef send_request_sync_def = {"send_request_sync", kw<send_request_sync>(), METH_VARARGS | METH_KEYWORDS,
                                     "send_request_sync(req, timeout=30.0)\n--\n\n"};

PyObject* make_function(PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_gridlet_kernel"));
    return module_name ? PyCFunction_NewEx(def, nullptr, module_name.get()) : nullptr;
}

}  // namespace

void register_kernel_classes(const GilHeld& gil, PyObject* module) {
    PyRef cls = py_class::define(gil, module, "PythonKernel",
                                 "class PythonKernel:\n"
                                 "    'The kernel as user code sees it (gridlet._kernel_instance).'\n"
                                 "    __slots__ = ()\n"
                                 "    def __init__(self, *args, **kwargs):\n"
                                 "        raise TypeError('PythonKernel: No constructor defined!')\n",
                                 kernel_methods, kernel_getters);
    if (!cls) {
        PyErr_Print();
        throw std::runtime_error("cannot define PythonKernel");
    }
    g_kernel_class = cls.release();
}

namespace python_objects {

PyObject* make_kernel_object(const GilHeld&, Kernel& kernel) {
    g_kernel = &kernel;
    PyRef module = PyRef::steal(PyImport_ImportModule("_gridlet_kernel"));  // defines the class
    if (!module) return nullptr;
    // Made without calling the class, which refuses construction from Python.
    auto* type = reinterpret_cast<PyTypeObject*>(g_kernel_class);
    return type->tp_alloc(type, 0);
}

PyObject* make_stream_sender(const GilHeld&, Kernel& kernel) {
    g_kernel = &kernel;
    return make_function(&stream_sender_def);
}

PyObject* make_send_request_sync(const GilHeld&, Kernel& kernel) {
    g_kernel = &kernel;
    return make_function(&send_request_sync_def);
}

}  // namespace python_objects
}  // namespace gridlet
