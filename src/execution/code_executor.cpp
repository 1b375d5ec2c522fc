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

bool CodeExecutor::run_statements(const GilHeld& gil, PyObject* source) {
    // Executed from source like exec(str): frames show the interpreter's "<string>".
    PyObject* code = compile(gil, source, "<string>", "exec");
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

    if (PyObject* compiled = compile(gil, code, "<kernel>", "eval")) {
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
        PyObject* compiled = compile(gil, tail, "<kernel>", "eval");
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
