#include "execution/stream_classes.hpp"

#include "execution/run_output.hpp"
#include <unistd.h>

#include <cerrno>

#include "kernel/fd_capture.hpp"
#include "kernel/kernel.hpp"
#include "messaging/py_json.hpp"

namespace gridlet::streams {
namespace {

PyObject* g_hook_class = nullptr;
PyObject* g_capture_class = nullptr;
PyObject* g_textio_init = nullptr;
PyObject* g_stringio = nullptr;
PyObject* g_native_sender = nullptr;
Kernel* g_kernel = nullptr;

PyObject* str_attr(const char* name) {
    static PyObject* cache[16] = {};
    static const char* names[16] = {};
    for (int i = 0; i < 16; ++i) {
        if (names[i] == name) return cache[i];
        if (!names[i]) {
            names[i] = name;
            cache[i] = PyUnicode_InternFromString(name);
            return cache[i];
        }
    }
    return PyUnicode_InternFromString(name);
}

bool require_exact_str(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return true;
    PyErr_Format(PyExc_TypeError, "write() argument must be str, not %.100s", Py_TYPE(text)->tp_name);
    return false;
}

// Swallows an Exception (not BaseException); returns false if something else is pending.
bool swallow_exception() {
    if (!PyErr_Occurred()) return true;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

bool call_base_init(PyObject* self) {
    PyObject* r = PyObject_CallOneArg(g_textio_init, self);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

// ---- KernelStreamHook ----

PyObject* hook_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"stream_type", "send_callback", nullptr};
    PyObject *stream_type = nullptr, *callback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:KernelStreamHook", const_cast<char**>(kwlist), &stream_type,
                                     &callback))
        return nullptr;
    if (!PyUnicode_CheckExact(stream_type)) {
        PyErr_SetString(PyExc_TypeError, "stream_type must be str");
        return nullptr;
    }
    if (!call_base_init(self)) return nullptr;
    bool is_stdout = PyUnicode_CompareWithASCIIString(stream_type, "stdout") == 0;
    PyObject* original = PySys_GetObject(is_stdout ? "stdout" : "stderr");  // borrowed
    if (PyObject_SetAttr(self, str_attr("stream_type"), stream_type) < 0 ||
        PyObject_SetAttr(self, str_attr("send_callback"), callback) < 0 ||
        PyObject_SetAttr(self, str_attr("_original_stream"), original ? original : Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

void write_console(PyObject* original, PyObject* text) {
    if (!original || original == Py_None) return;
    PyObject* r = PyObject_CallMethodOneArg(original, str_attr("write"), text);
    Py_XDECREF(r);
    if (r) {
        r = PyObject_CallMethodNoArgs(original, str_attr("flush"));
        Py_XDECREF(r);
    }
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
}

PyObject* hook_write(PyObject* self, PyObject* text) {
    if (!require_exact_str(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return PyLong_FromLong(0);
    const GilHeld& gil = GilHeld::from_python();

    PyObject* stream_type = PyObject_GetAttr(self, str_attr("stream_type"));
    if (!stream_type) return nullptr;
    const StreamKind kind = PyUnicode_Check(stream_type) && PyUnicode_CompareWithASCIIString(stream_type, "stdout") == 0
                                ? StreamKind::out
                                : StreamKind::err;

    if (fd_capture::in_forked_child()) {
        // A forked child writes to its own fds 1/2, which the parent kernel forwards.
        Py_DECREF(stream_type);
        const std::string utf8 = py_json::utf8_of(gil, text);
        if (PyErr_Occurred()) return nullptr;
        const int fd = kind == StreamKind::out ? 1 : 2;
        for (std::size_t done = 0; done < utf8.size();) {
            ssize_t n = ::write(fd, utf8.data() + done, utf8.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += std::size_t(n);
        }
        return PyLong_FromSsize_t(length);
    }

    if (RunOutput* run = RunOutput::current()) {
        Py_DECREF(stream_type);
        run->write(gil, kind, py_json::utf8_of(gil, text));
        if (PyErr_Occurred()) return nullptr;
        return PyLong_FromSsize_t(length);
    }

    PyObject* original = PyObject_GetAttr(self, str_attr("_original_stream"));
    if (!original) PyErr_Clear();
    write_console(original, text);
    if (PyErr_Occurred()) {
        Py_XDECREF(original);
        Py_DECREF(stream_type);
        return nullptr;
    }
    PyObject* callback = PyObject_GetAttr(self, str_attr("send_callback"));
    if (!callback) PyErr_Clear();
    int truthy = callback ? PyObject_IsTrue(callback) : 0;
    if (truthy < 0) PyErr_Clear();
    if (truthy > 0) {
        if (callback == g_native_sender && g_kernel) {
            g_kernel->send_stream(gil, kind, py_json::utf8_of(gil, text));
        } else {
            PyObject* r = PyObject_CallFunctionObjArgs(callback, stream_type, text, nullptr);
            if (r) {
                Py_DECREF(r);
            } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                PyErr_NormalizeException(&t, &v, &tb);
                PyObject* msg = v ? PyObject_Str(v) : nullptr;
                if (!msg) PyErr_Clear();
                PyObject* line = PyUnicode_FromFormat("[KernelStreamHook Error] %U\n", msg ? msg : PyUnicode_FromString(""));
                if (line) write_console(original, line);
                Py_XDECREF(line);
                Py_XDECREF(msg);
                Py_XDECREF(t);
                Py_XDECREF(v);
                Py_XDECREF(tb);
                if (PyErr_Occurred()) PyErr_Clear();
            }
        }
    }
    Py_XDECREF(callback);
    Py_XDECREF(original);
    Py_DECREF(stream_type);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(length);
}

PyObject* hook_flush(PyObject* self, PyObject*) {
    if (fd_capture::in_forked_child()) Py_RETURN_NONE;  // hook writes are unbuffered there
    PyObject* original = PyObject_GetAttr(self, str_attr("_original_stream"));
    if (!original) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (original != Py_None) {
        PyObject* r = PyObject_CallMethodNoArgs(original, str_attr("flush"));
        Py_XDECREF(r);
    }
    Py_DECREF(original);
    if (!swallow_exception()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* ret_false(PyObject*, PyObject*) { Py_RETURN_FALSE; }
PyObject* ret_true(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* ret_none(PyObject*, PyObject*) { Py_RETURN_NONE; }

// ---- StreamCapture ----

PyObject* capture_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"on_write", nullptr};
    PyObject* on_write = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:StreamCapture", const_cast<char**>(kwlist), &on_write))
        return nullptr;
    if (!call_base_init(self)) return nullptr;
    PyObject* buffer = PyObject_CallNoArgs(g_stringio);
    if (!buffer) return nullptr;
    int rc = PyObject_SetAttr(self, str_attr("_buffer"), buffer);
    Py_DECREF(buffer);
    if (rc < 0 || PyObject_SetAttr(self, str_attr("_on_write"), on_write) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* capture_write(PyObject* self, PyObject* text) {
    if (!require_exact_str(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return PyLong_FromLong(0);
    PyObject* buffer = PyObject_GetAttr(self, str_attr("_buffer"));
    if (!buffer) return nullptr;
    PyObject* r = PyObject_CallMethodOneArg(buffer, str_attr("write"), text);
    Py_DECREF(buffer);
    if (!r) return nullptr;
    Py_DECREF(r);
    PyObject* on_write = PyObject_GetAttr(self, str_attr("_on_write"));
    if (!on_write) return nullptr;
    int truthy = PyObject_IsTrue(on_write);
    if (truthy > 0) {
        r = PyObject_CallOneArg(on_write, text);
        Py_XDECREF(r);
    }
    Py_DECREF(on_write);
    if (!swallow_exception()) return nullptr;
    return PyLong_FromSsize_t(length);
}

PyObject* capture_getvalue(PyObject* self, PyObject*) {
    PyObject* buffer = PyObject_GetAttr(self, str_attr("_buffer"));
    if (!buffer) return nullptr;
    PyObject* r = PyObject_CallMethodNoArgs(buffer, str_attr("getvalue"));
    Py_DECREF(buffer);
    return r;
}

PyMethodDef hook_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(hook_init), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"write", hook_write, METH_O, "Mirror one write to the console and the Business Layer."},
    {"flush", hook_flush, METH_NOARGS, nullptr},
    {"readable", ret_false, METH_NOARGS, nullptr},
    {"writable", ret_true, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef capture_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(capture_init), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"write", capture_write, METH_O, "Buffer one write and hand it to on_write."},
    {"getvalue", capture_getvalue, METH_NOARGS, nullptr},
    {"flush", ret_none, METH_NOARGS, nullptr},
    {"readable", ret_false, METH_NOARGS, nullptr},
    {"writable", ret_true, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

void add_methods(PyObject* cls, PyMethodDef* defs) {
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), d);
        PyObject_SetAttrString(cls, d->ml_name, descr);
        Py_DECREF(descr);
    }
}

}  // namespace

void register_classes(const GilHeld&, PyObject* module) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "__name__", PyModule_GetNameObject(module));
    PyObject* r = PyRun_String(
        "import io\n"
        "class KernelStreamHook(io.TextIOBase):\n"
        "    'sys.stdout/sys.stderr while connected: console copy plus a stream message per write.'\n"
        "class StreamCapture(io.TextIOBase):\n"
        "    'Buffers one run\\'s writes and hands each to on_write.'\n"
        "_textio_init = io.TextIOBase.__init__\n"
        "_stringio = io.StringIO\n",
        Py_file_input, globals, globals);
    if (!r) throw std::runtime_error("cannot define the stream classes");
    Py_DECREF(r);
    g_hook_class = PyDict_GetItemString(globals, "KernelStreamHook");
    g_capture_class = PyDict_GetItemString(globals, "StreamCapture");
    g_textio_init = PyDict_GetItemString(globals, "_textio_init");
    g_stringio = PyDict_GetItemString(globals, "_stringio");
    Py_INCREF(g_hook_class);
    Py_INCREF(g_capture_class);
    Py_INCREF(g_textio_init);
    Py_INCREF(g_stringio);
    add_methods(g_hook_class, hook_methods);
    add_methods(g_capture_class, capture_methods);
    PyModule_AddObjectRef(module, "KernelStreamHook", g_hook_class);
    PyModule_AddObjectRef(module, "StreamCapture", g_capture_class);
    Py_DECREF(globals);
}

PyObject* make_hook(const GilHeld&, const char* stream_type, PyObject* send_callback) {
    return PyObject_CallFunction(g_hook_class, "sO", stream_type, send_callback);
}

void set_native_sender(const GilHeld&, PyObject* sender, Kernel* kernel) {
    Py_XINCREF(sender);
    Py_XDECREF(g_native_sender);
    g_native_sender = sender;
    g_kernel = kernel;
}

}  // namespace gridlet::streams
