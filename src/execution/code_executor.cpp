#include "execution/code_executor.hpp"

#include <stdexcept>

namespace gridlet {

CodeExecutor::CodeExecutor(const GilHeld& gil, PyObject* bridge_module) : bridge_(bridge_module) {
    Py_INCREF(bridge_);
    reset_namespace(gil);
}

CodeExecutor::~CodeExecutor() {
    // Owned by the process for its whole life; the interpreter is never finalised.
}

PyObject* CodeExecutor::fresh_globals(const GilHeld&) {
    PyObject* g = PyDict_New();
    PyObject* builtins = PyImport_ImportModule("builtins");
    PyObject* excel = PyObject_GetAttrString(bridge_, "excel");
    PyObject* context = excel ? PyObject_GetAttrString(bridge_, "context") : nullptr;
    if (!g || !builtins || !excel || !context) {
        PyErr_Print();
        throw std::runtime_error("cannot build the user namespace");
    }
    PyDict_SetItemString(g, "__builtins__", builtins);
    PyDict_SetItemString(g, "gridlet", bridge_);
    PyDict_SetItemString(g, "excel", excel);
    PyDict_SetItemString(g, "context", context);
    Py_DECREF(builtins);
    Py_DECREF(excel);
    Py_DECREF(context);
    return g;
}

void CodeExecutor::reset_namespace(const GilHeld& gil) {
    PyObject* g = fresh_globals(gil);
    PyObject* l = PyDict_New();
    Py_XDECREF(globals_);
    Py_XDECREF(locals_);
    globals_ = g;
    locals_ = l;
}

PyObject* CodeExecutor::compile(const GilHeld&, PyObject* source, const char* filename, const char* mode) {
    static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    return PyObject_CallFunction(compile_fn, "Oss", source, filename, mode);
}

PyObject* CodeExecutor::cached_compile(const GilHeld& gil, PyObject* source, const char* filename, const char* mode,
                                       bool& hit) {
    constexpr Py_ssize_t kMaxCachedLength = 2048;
    constexpr std::size_t kMaxEntries = 512;
    hit = false;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(source, &length);
    if (!text) {
        PyErr_Clear();
        return compile(gil, source, filename, mode);
    }
    if (length > kMaxCachedLength) return compile(gil, source, filename, mode);
    std::string key;
    key.reserve(std::size_t(length) + 2);
    key += mode;  // "eval" or "exec"
    key += ':';
    key.append(text, std::size_t(length));
    if (auto it = code_cache_.find(key); it != code_cache_.end()) {
        hit = true;
        if (!it->second) {
            PyErr_SetString(PyExc_SyntaxError, "not an expression");
            return nullptr;
        }
        return Py_NewRef(it->second);
    }
    PyObject* code = compile(gil, source, filename, mode);
    if (code || PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        if (code_cache_.size() >= kMaxEntries) {
            for (auto& [k, v] : code_cache_) Py_XDECREF(v);
            code_cache_.clear();
        }
        // Only "not an expression" is remembered as a failure; statement errors are reported anew.
        if (code || std::string_view(mode) == "eval") code_cache_.emplace(std::move(key), Py_XNewRef(code));
    }
    return code;
}

bool CodeExecutor::run_statements(const GilHeld& gil, PyObject* source) {
    // Executed from source like exec(str): frames show the interpreter's "<string>".
    bool hit;
    PyObject* code = cached_compile(gil, source, "<string>", "exec", hit);
    if (!code) return false;
    // Read the namespace afresh: a reset between steps gives later steps the new dicts.
    PyObject* g = globals_;
    PyObject* l = locals_;
    Py_INCREF(g);
    Py_INCREF(l);
    PyObject* r = PyEval_EvalCode(code, g, l);
    Py_DECREF(g);
    Py_DECREF(l);
    Py_DECREF(code);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

ExecOutcome CodeExecutor::execute(const GilHeld& gil, PyObject* code) {
    ExecOutcome out;
    auto fail = [&] {
        out.success = false;
        out.error = error_record_from_pending(gil);
    };
    auto eval = [&](PyObject* compiled) -> PyObject* {
        PyObject* g = globals_;
        PyObject* l = locals_;
        Py_INCREF(g);
        Py_INCREF(l);
        PyObject* r = PyEval_EvalCode(compiled, g, l);
        Py_DECREF(g);
        Py_DECREF(l);
        return r;
    };

    bool hit = false;
    if (PyObject* compiled = cached_compile(gil, code, "<kernel>", "eval", hit)) {
        PyObject* value = eval(compiled);
        Py_DECREF(compiled);
        if (!value) {
            fail();
        } else if (value == Py_None) {
            Py_DECREF(value);
        } else {
            out.result = value;
        }
        return out;
    }
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        fail();
        return out;
    }
    PyErr_Clear();

    static PyObject* separator = PyUnicode_InternFromString("; ");
    const Py_ssize_t length = PyUnicode_GET_LENGTH(code);
    const Py_ssize_t at = PyUnicode_Find(code, separator, 0, length, 1);
    if (at < 0) {
        if (at == -2) PyErr_Clear();
        if (!run_statements(gil, code)) fail();
        return out;
    }
    PyObject* head = PyUnicode_Substring(code, 0, at);
    PyObject* tail = PyUnicode_Substring(code, at + 2, length);
    if (!head || !tail) {
        Py_XDECREF(head);
        Py_XDECREF(tail);
        fail();
        return out;
    }
    if (PyUnicode_GET_LENGTH(tail) == 0) {
        if (!run_statements(gil, code)) fail();
    } else if (!run_statements(gil, head)) {
        fail();
    } else {
        PyObject* compiled = cached_compile(gil, tail, "<kernel>", "eval", hit);
        PyObject* value = compiled ? eval(compiled) : nullptr;
        Py_XDECREF(compiled);
        if (value) {
            if (value != Py_None) out.result = value;
            else Py_DECREF(value);
        } else if (PyErr_ExceptionMatches(PyExc_SyntaxError)) {
            PyErr_Clear();
            if (!run_statements(gil, tail)) fail();
        } else {
            fail();
        }
    }
    Py_DECREF(head);
    Py_DECREF(tail);
    return out;
}

}  // namespace gridlet
