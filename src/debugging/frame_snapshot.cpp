#include "debugging/frame_snapshot.hpp"

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
    PyObject* r = PyObject_Repr(v);
    if (!r) {
        PyErr_Clear();
        return "<repr failed>";
    }
    std::string s = py_json::utf8_of(gil, r);
    Py_DECREF(r);
    if (s.size() > kReprLimit) {
        std::size_t cut = kReprLimit;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // keep UTF-8 whole
        s = s.substr(0, cut) + "...";
    }
    return s;
}

}  // namespace

std::string module_of(const GilHeld& gil, PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    std::string file = text_of(gil, code->co_filename);
    Py_DECREF(code);
    if (file.starts_with("<virtual:") && file.ends_with(">")) return file.substr(9, file.size() - 10);
    PyObject* globals = PyFrame_GetGlobals(frame);
    PyObject* name = globals ? PyDict_GetItemString(globals, "__name__") : nullptr;
    std::string module = text_of(gil, name);
    Py_XDECREF(globals);
    return module;
}

void append_call_stack(const GilHeld& gil, PyFrameObject* innermost, std::string& out, int max_frames) {
    out.push_back('[');
    PyFrameObject* frame = innermost;
    Py_XINCREF(frame);
    for (int i = 0; frame && i < max_frames; ++i) {
        if (i) out.push_back(',');
        PyCodeObject* code = PyFrame_GetCode(frame);
        json_text::ObjectWriter w(out);
        w.str("function", text_of(gil, code->co_name))
            .str("module", module_of(gil, frame))
            .str("file", text_of(gil, code->co_filename))
            .integer("line", PyFrame_GetLineNumber(frame));
        w.close();
        Py_DECREF(code);
        PyFrameObject* back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    Py_XDECREF(frame);
    out.push_back(']');
}

void append_variables(const GilHeld& gil, PyObject* mapping, std::string& out, bool skip_dunder) {
    out.push_back('[');
    PyObject* items = mapping ? PyMapping_Items(mapping) : nullptr;
    if (!items) PyErr_Clear();
    int written = 0;
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items) && written < kVariableLimit; ++i) {
        PyObject* pair = PyList_GET_ITEM(items, i);
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
    Py_XDECREF(items);
    out.push_back(']');
}

}  // namespace gridlet::debugging
