#include "debugging/frame_snapshot.hpp"

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"

namespace gridlet::debugging {
namespace {

constexpr std::size_t kReprLimit = 200;
constexpr int kVariableLimit = 300;

std::string text_of(const GilHeld& gil, PyObject* s) {
    return s && PyUnicode_Check(s) ? py_json::utf8_of(gil, s) : std::string();
}

std::string short_repr(const GilHeld& gil, PyObject* v) {
    PyRef r = PyRef::steal(PyObject_Repr(v));
    if (!r) {
        py_error::clear_logged(gil, "debugger: repr of a variable");
        return "<repr failed>";
    }
    std::string s = py_json::utf8_of(gil, r.get());
    if (s.size() > kReprLimit) {
        std::size_t cut = kReprLimit;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
        s = s.substr(0, cut) + "...";
    }
    return s;
}

}  // namespace

std::string module_of(const GilHeld& gil, PyFrameObject* frame) {
    std::string file = text_of(gil, as_code(code_of(frame))->co_filename);
    if (file.starts_with("<virtual:") && file.ends_with(">")) return file.substr(9, file.size() - 10);
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    return text_of(gil, globals ? PyDict_GetItemString(globals.get(), "__name__") : nullptr);  // borrowed
}

void append_call_stack(const GilHeld& gil, PyFrameObject* innermost, std::string& out, int max_frames) {
    out.push_back('[');
    PyRef frame = PyRef::borrow(reinterpret_cast<PyObject*>(innermost));
    for (int i = 0; frame && i < max_frames; ++i) {
        if (i) out.push_back(',');
        PyFrameObject* f = as_frame(frame);
        PyRef code = code_of(f);
        json_text::ObjectWriter w(out);
        w.str("function", text_of(gil, as_code(code)->co_name))
            .str("module", module_of(gil, f))
            .str("file", text_of(gil, as_code(code)->co_filename))
            .integer("line", PyFrame_GetLineNumber(f));
        w.close();
        frame = caller_of(f);
    }
    out.push_back(']');
}

void append_variables(const GilHeld& gil, PyObject* mapping, std::string& out, bool skip_dunder) {
    out.push_back('[');
    PyRef items = PyRef::steal(mapping ? PyMapping_Items(mapping) : nullptr);
    if (!items) py_error::clear_logged(gil, "debugger: variables");
    int written = 0;
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()) && written < kVariableLimit; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed, as are its key and value
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_Check(key)) continue;
        std::string name = py_json::utf8_of(gil, key);
        if (skip_dunder && name.starts_with("__") && name.ends_with("__")) continue;
        if (written++) out.push_back(',');
        json_text::ObjectWriter w(out);
        w.str("name", name).str("type", Py_TYPE(value)->tp_name).str("repr", short_repr(gil, value));
        w.close();
    }
    out.push_back(']');
}

}  // namespace gridlet::debugging
