#include "execution/code_executor.hpp"

#include <stdexcept>

#include "execution/statement_split.hpp"

namespace gridlet {

CodeExecutor::CodeExecutor(const GilHeld& gil, PyObject* bridge_module) : bridge_(bridge_module) {
    Py_INCREF(bridge_);
    reset_namespace(gil);
}

CodeExecutor::~CodeExecutor() {
    // Owned by the process for its whole life; the interpreter is never finalised.
}

namespace {

// Sources longer than this are compiled every time; the cache is emptied when it reaches its size.
constexpr Py_ssize_t kMaxCachedLength = 2048;
constexpr std::size_t kMaxCacheEntries = 512;

// The type of the namespace module: a plain module whose __spec__, __loader__, __package__ and
// __doc__ read as None, as on an interactive Python's __main__, without being entries of the
// namespace (the standard library reads them, e.g. multiprocessing's spawn start method).
PyObject* main_module_type(const GilHeld&) {
    static PyObject* type = [] {
        PyObject* attrs = Py_BuildValue("{sOsOsOsOss}", "__spec__", Py_None, "__loader__", Py_None, "__package__",
                                        Py_None, "__doc__", Py_None, "__module__", "_gridlet_kernel");
        PyObject* t = attrs ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "MainModule",
                                                    reinterpret_cast<PyObject*>(&PyModule_Type), attrs)
                            : nullptr;
        Py_XDECREF(attrs);
        return t;
    }();
    return type;
}

}  // namespace

PyObject* CodeExecutor::fresh_main_module(const GilHeld& gil) {
    PyObject* type = main_module_type(gil);
    PyObject* module = type ? PyObject_CallFunction(type, "s", "__main__") : nullptr;
    PyObject* builtins = PyImport_ImportModule("builtins");
    PyObject* excel = PyObject_GetAttrString(bridge_, "excel");
    PyObject* context = excel ? PyObject_GetAttrString(bridge_, "context") : nullptr;
    PyObject* name = PyUnicode_FromString("__main__");
    if (!module || !builtins || !excel || !context || !name) {
        PyErr_Print();
        Py_XDECREF(module);
        Py_XDECREF(builtins);
        Py_XDECREF(excel);
        Py_XDECREF(context);
        Py_XDECREF(name);
        throw std::runtime_error("cannot build the user namespace");
    }
    // Exactly these entries, not the ones a new module starts with (__doc__, __spec__, ...).
    PyObject* ns = PyModule_GetDict(module);
    PyDict_Clear(ns);
    PyDict_SetItemString(ns, "__builtins__", builtins);
    PyDict_SetItemString(ns, "gridlet", bridge_);
    PyDict_SetItemString(ns, "excel", excel);
    PyDict_SetItemString(ns, "context", context);
    PyDict_SetItemString(ns, "__name__", name);
    Py_DECREF(builtins);
    Py_DECREF(excel);
    Py_DECREF(context);
    Py_DECREF(name);
    return module;
}

void CodeExecutor::reset_namespace(const GilHeld& gil) {
    // A new module rather than a cleared dict: functions and threads that user code left running
    // keep the names they were defined with, and sys.modules["__main__"] is always the namespace
    // that new code runs in, so that pickle finds what is defined there by reference.
    PyObject* module = fresh_main_module(gil);
    if (PyDict_SetItemString(PyImport_GetModuleDict(), "__main__", module) < 0) {
        PyErr_Print();
        Py_DECREF(module);
        throw std::runtime_error("cannot install the user namespace as __main__");
    }
    Py_XDECREF(module_);
    Py_XDECREF(namespace_);
    module_ = module;
    namespace_ = Py_NewRef(PyModule_GetDict(module));
}

PyObject* CodeExecutor::compile(const GilHeld&, PyObject* source, const char* filename, const char* mode) {
    static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    return PyObject_CallFunction(compile_fn, "Oss", source, filename, mode);
}

PyObject* CodeExecutor::cached_compile(const GilHeld& gil, PyObject* source, const char* filename, const char* mode,
                                       bool& hit) {
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
    // Only "not an expression" is remembered as a failure; statement errors are reported anew.
    if (code || (std::string_view(mode) == "eval" && PyErr_ExceptionMatches(PyExc_SyntaxError)))
        remember(std::move(key), code);
    return code;
}

void CodeExecutor::remember(std::string key, PyObject* value) {
    if (code_cache_.size() >= kMaxCacheEntries) {
        // Emptied before releasing: releasing a code object can run Python code (weak reference
        // callbacks) and so let another worker at the cache.
        auto old = std::move(code_cache_);
        code_cache_.clear();
        for (auto& [k, v] : old) Py_XDECREF(v);
    }
    // Another worker may have stored the same text while this one compiled.
    auto [it, inserted] = code_cache_.try_emplace(std::move(key), nullptr);
    if (inserted) it->second = Py_XNewRef(value);
}

PyObject* CodeExecutor::cached_split(const GilHeld& gil, PyObject* code) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &length);
    if (!text) PyErr_Clear();
    if (!text || length > kMaxCachedLength) return split_at_statement_separator(gil, code);
    std::string key;
    key.reserve(std::size_t(length) + 6);
    key += "split:";
    key.append(text, std::size_t(length));
    if (auto it = code_cache_.find(key); it != code_cache_.end()) return Py_NewRef(it->second);
    PyObject* split = split_at_statement_separator(gil, code);
    if (split) remember(std::move(key), split);
    return split;
}

PyObject* CodeExecutor::run(const GilHeld&, PyObject* compiled) {
    // Read the namespace afresh for each step: after a reset, later steps use the new one.
    PyObject* ns = Py_NewRef(namespace_);
    PyObject* r = PyEval_EvalCode(compiled, ns, ns);
    Py_DECREF(ns);
    return r;
}

bool CodeExecutor::run_statements(const GilHeld& gil, PyObject* source) {
    // Executed from source like exec(str): frames show the interpreter's "<string>".
    bool hit;
    PyObject* code = cached_compile(gil, source, "<string>", "exec", hit);
    if (!code) return false;
    PyObject* r = run(gil, code);
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
    auto keep_value = [&](PyObject* value) {
        if (value != Py_None) out.result = value;
        else Py_DECREF(value);
    };

    bool hit = false;
    if (PyObject* compiled = cached_compile(gil, code, "<kernel>", "eval", hit)) {
        PyObject* value = run(gil, compiled);
        Py_DECREF(compiled);
        if (value) keep_value(value);
        else fail();
        return out;
    }
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        fail();
        return out;
    }
    PyErr_Clear();

    // Only code that contains "; " at all is parsed for a separator between statements.
    static PyObject* separator = PyUnicode_InternFromString("; ");
    const Py_ssize_t at = PyUnicode_Find(code, separator, 0, PyUnicode_GET_LENGTH(code), 1);
    if (at == -2) PyErr_Clear();
    PyObject* split = at >= 0 ? cached_split(gil, code) : Py_NewRef(Py_None);
    if (!split) {
        fail();
        return out;
    }
    if (split == Py_None) {
        Py_DECREF(split);
        if (!run_statements(gil, code)) fail();
        return out;
    }

    // Both parts compile before either runs. The part after the separator returns a value when it
    // is an expression; otherwise it runs as statements.
    PyObject* head = PyTuple_GET_ITEM(split, 0);
    PyObject* tail = PyTuple_GET_ITEM(split, 1);
    bool tail_is_expression = true;
    PyObject* head_code = cached_compile(gil, head, "<string>", "exec", hit);
    // A __future__ import in the first part holds for the second, as in the whole code.
    const int future = head_code ? reinterpret_cast<PyCodeObject*>(head_code)->co_flags & PyCF_MASK : 0;
    auto compile_tail = [&](const char* filename, const char* mode) {
        if (!future) return cached_compile(gil, tail, filename, mode, hit);
        static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
        return PyObject_CallFunction(compile_fn, "Ossii", tail, filename, mode, future, 1);
    };
    PyObject* tail_code = head_code ? compile_tail("<kernel>", "eval") : nullptr;
    if (head_code && !tail_code && PyErr_ExceptionMatches(PyExc_SyntaxError)) {
        PyErr_Clear();
        tail_is_expression = false;
        tail_code = compile_tail("<string>", "exec");
    }
    if (!head_code || !tail_code) {
        // The code compiles as a whole, but a part does not on its own (it needs a __future__
        // import made in the other): the whole runs as one block of statements.
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            if (!run_statements(gil, code)) fail();
        } else {
            fail();
        }
    } else if (PyObject* done = run(gil, head_code)) {
        Py_DECREF(done);
        PyObject* value = run(gil, tail_code);
        if (!value) fail();
        else if (tail_is_expression) keep_value(value);
        else Py_DECREF(value);
    } else {
        fail();
    }
    Py_XDECREF(head_code);
    Py_XDECREF(tail_code);
    Py_DECREF(split);
    return out;
}

}  // namespace gridlet
