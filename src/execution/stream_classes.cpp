#include "execution/stream_classes.hpp"

#include <unistd.h>
#include "execution/run_output.hpp"

#include <cerrno>
#include <stdexcept>

#include "kernel/fd_capture.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_class.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "util/write_all.hpp"

namespace gridlet::streams {
namespace {

PyObject* g_hook_class = nullptr;
PyObject* g_capture_class = nullptr;
PyObject* g_textio_init = nullptr;
PyObject* g_stringio = nullptr;
// The kernel's stream sender, compared by identity. Never destroyed: it must outlive the interpreter.
PyRef& g_native_sender = *new PyRef;
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

// Swallows an Exception (not BaseException), logging it; returns false if something else is pending.
bool swallow_exception(const GilHeld& gil, const char* context) {
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    py_error::clear_logged(gil, context);
    return true;
}

bool call_base_init(PyObject* self) { return drop(PyObject_CallOneArg(g_textio_init, self)); }

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

// Copies one write to the stream the hook replaced; its failures (an Exception) are logged only.
void write_console(const GilHeld& gil, PyObject* original, PyObject* text) {
    if (!original || original == Py_None) return;
    if (drop(PyObject_CallMethodOneArg(original, str_attr("write"), text)))
        drop(PyObject_CallMethodNoArgs(original, str_attr("flush")));
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception))
        py_error::clear_logged(gil, "KernelStreamHook console copy");
}

// A failing user send_callback: its message goes to the console copy, as the hook always did.
void report_callback_error(const GilHeld& gil, PyObject* original) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
    PyRef msg = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
    if (!msg) {
        py_error::clear_logged(gil, "KernelStreamHook callback error message");
        msg = PyRef::steal(PyUnicode_FromString(""));
    }
    PyRef line = PyRef::steal(msg ? PyUnicode_FromFormat("[KernelStreamHook Error] %U\n", msg.get()) : nullptr);
    if (line) write_console(gil, original, line.get());
    py_error::clear_logged(gil, "KernelStreamHook callback error report");
}

// The hook's stream_type attribute and the stream it names; null with the error set when missing.
PyRef kind_of(PyObject* self, StreamKind& kind) {
    PyRef stream_type = PyRef::steal(PyObject_GetAttr(self, str_attr("stream_type")));
    if (!stream_type) return stream_type;
    kind = PyUnicode_Check(stream_type.get()) && PyUnicode_CompareWithASCIIString(stream_type.get(), "stdout") == 0
               ? StreamKind::out
               : StreamKind::err;
    return stream_type;
}

// A forked child (os.fork, multiprocessing) writes to its own fds 1/2, which the parent kernel
// forwards. Its text is kept until a newline, as a line-buffered stream would, so that a line
// printed in one call (print writes the text and the newline separately) reaches the pipe in one
// write and is not interleaved with another process's output. Guarded by the GIL.
void child_write(const GilHeld&, StreamKind kind, std::string_view utf8, bool everything) {
    static std::string pending[2];
    std::string& buffer = pending[kind == StreamKind::out ? 0 : 1];
    buffer.append(utf8);
    const std::size_t cut = everything ? buffer.size() : buffer.rfind('\n') + 1;  // npos + 1 == 0
    if (cut == 0) return;
    util::write_all(kind == StreamKind::out ? 1 : 2, buffer.data(), cut);
    buffer.erase(0, cut);
}

PyObject* hook_write(PyObject* self, PyObject* text) {
    if (!require_exact_str(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return PyLong_FromLong(0);
    const GilHeld& gil = GilHeld::from_python();

    StreamKind kind;
    const PyRef stream_type = kind_of(self, kind);
    if (!stream_type) return nullptr;

    if (fd_capture::in_forked_child()) {
        const std::string utf8 = py_json::utf8_of(gil, text);
        if (PyErr_Occurred()) return nullptr;
        child_write(gil, kind, utf8, false);
        return PyLong_FromSsize_t(length);
    }

    if (RunOutput* run = RunOutput::current()) {
        run->write(gil, kind, py_json::utf8_of(gil, text));
        if (PyErr_Occurred()) return nullptr;
        return PyLong_FromSsize_t(length);
    }

    PyRef original = PyRef::steal(PyObject_GetAttr(self, str_attr("_original_stream")));
    if (!original) py_error::clear_logged(gil, "KernelStreamHook._original_stream");
    write_console(gil, original.get(), text);
    if (PyErr_Occurred()) return nullptr;
    PyRef callback = PyRef::steal(PyObject_GetAttr(self, str_attr("send_callback")));
    if (!callback) py_error::clear_logged(gil, "KernelStreamHook.send_callback");
    int truthy = callback ? PyObject_IsTrue(callback.get()) : 0;
    if (truthy < 0) py_error::clear_logged(gil, "KernelStreamHook.send_callback truth value");
    if (truthy > 0) {
        if (callback.get() == g_native_sender.get() && g_kernel) {
            g_kernel->send_stream(gil, kind, py_json::utf8_of(gil, text));
        } else if (!drop(PyObject_CallFunctionObjArgs(callback.get(), stream_type.get(), text, nullptr)) &&
                   PyErr_ExceptionMatches(PyExc_Exception)) {
            report_callback_error(gil, original.get());
        }
    }
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromSsize_t(length);
}

PyObject* hook_flush(PyObject* self, PyObject*) {
    const GilHeld& gil = GilHeld::from_python();
    if (fd_capture::in_forked_child()) {
        StreamKind kind;
        if (!kind_of(self, kind)) return nullptr;
        child_write(gil, kind, {}, true);
        Py_RETURN_NONE;
    }
    PyRef original = PyRef::steal(PyObject_GetAttr(self, str_attr("_original_stream")));
    if (!original) {
        py_error::clear_logged(gil, "KernelStreamHook._original_stream");
        Py_RETURN_NONE;
    }
    if (original.get() != Py_None) drop(PyObject_CallMethodNoArgs(original.get(), str_attr("flush")));
    if (!swallow_exception(gil, "KernelStreamHook console flush")) return nullptr;
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
    PyRef buffer = PyRef::steal(PyObject_CallNoArgs(g_stringio));
    if (!buffer) return nullptr;
    if (PyObject_SetAttr(self, str_attr("_buffer"), buffer.get()) < 0 ||
        PyObject_SetAttr(self, str_attr("_on_write"), on_write) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* capture_write(PyObject* self, PyObject* text) {
    if (!require_exact_str(text)) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return PyLong_FromLong(0);
    PyRef buffer = PyRef::steal(PyObject_GetAttr(self, str_attr("_buffer")));
    if (!buffer) return nullptr;
    if (!drop(PyObject_CallMethodOneArg(buffer.get(), str_attr("write"), text))) return nullptr;
    PyRef on_write = PyRef::steal(PyObject_GetAttr(self, str_attr("_on_write")));
    if (!on_write) return nullptr;
    if (PyObject_IsTrue(on_write.get()) > 0) drop(PyObject_CallOneArg(on_write.get(), text));
    if (!swallow_exception(GilHeld::from_python(), "StreamCapture on_write")) return nullptr;
    return PyLong_FromSsize_t(length);
}

PyObject* capture_getvalue(PyObject* self, PyObject*) {
    PyRef buffer = PyRef::steal(PyObject_GetAttr(self, str_attr("_buffer")));
    if (!buffer) return nullptr;
    return PyObject_CallMethodNoArgs(buffer.get(), str_attr("getvalue"));
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

}  // namespace

void register_classes(const GilHeld& gil, PyObject* module) {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef base = PyRef::steal(io ? PyObject_GetAttrString(io.get(), "TextIOBase") : nullptr);
    PyRef textio_init = PyRef::steal(base ? PyObject_GetAttrString(base.get(), "__init__") : nullptr);
    PyRef stringio = PyRef::steal(io ? PyObject_GetAttrString(io.get(), "StringIO") : nullptr);
    PyRef hook = textio_init && stringio ? py_class::define(gil, module, "KernelStreamHook",
                                                            "import io\n"
                                                            "class KernelStreamHook(io.TextIOBase):\n"
                                                            "    'sys.stdout/sys.stderr while connected: console "
                                                            "copy plus a stream message per write.'\n",
                                                            hook_methods)
                                         : PyRef();
    PyRef capture = hook ? py_class::define(gil, module, "StreamCapture",
                                            "import io\n"
                                            "class StreamCapture(io.TextIOBase):\n"
                                            "    'Buffers one run\\'s writes and hands each to on_write.'\n",
                                            capture_methods)
                         : PyRef();
    if (!capture) {
        py_error::clear_logged(gil, "defining the stream classes", py_error::Level::warning);
        throw std::runtime_error("cannot define the stream classes");
    }
    // Kept for the life of the process, like the classes themselves.
    g_hook_class = hook.release();
    g_capture_class = capture.release();
    g_textio_init = textio_init.release();
    g_stringio = stringio.release();
}

PyObject* make_hook(const GilHeld&, const char* stream_type, PyObject* send_callback) {
    return PyObject_CallFunction(g_hook_class, "sO", stream_type, send_callback);
}

void set_native_sender(const GilHeld&, PyObject* sender, Kernel* kernel) {
    g_native_sender = PyRef::borrow(sender);
    g_kernel = kernel;
}

}  // namespace gridlet::streams
