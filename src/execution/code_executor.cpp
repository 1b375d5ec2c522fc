#include "execution/code_executor.hpp"

#include <stdexcept>

#include "execution/statement_split.hpp"
#include "kernel/py_error.hpp"

namespace gridlet {

CodeExecutor::CodeExecutor(const GilHeld& gil, PyObject* bridge_module) : bridge_(PyRef::borrow(bridge_module)) {
    reset_namespace(gil);
}

CodeExecutor::~CodeExecutor() {
    // Owned by the kernel, which lives as long as the process; were it destroyed, that would be
    // without the GIL (or after the interpreter is gone), so the references are left, not dropped.
    (void)bridge_.release();
    (void)module_.release();
    (void)namespace_.release();
    for (auto& [key, code] : code_cache_) (void)code.release();
}

namespace {

// Sources longer than this are compiled every time; the cache is emptied when it reaches its size.
constexpr Py_ssize_t kMaxCachedLength = 2048;
constexpr std::size_t kMaxCacheEntries = 512;

// The type of the namespace module: a plain module whose __spec__, __loader__, __package__ and
// __doc__ read as None, as on an interactive Python's __main__, without being entries of the
// namespace (the standard library reads them, e.g. multiprocessing's spawn start method).
PyObject* main_module_type(const GilHeld&) {
    static PyObject* type = [] {  // lives as long as the process
        const PyRef attrs =
            PyRef::steal(Py_BuildValue("{sOsOsOsOss}", "__spec__", Py_None, "__loader__", Py_None, "__package__",
                                       Py_None, "__doc__", Py_None, "__module__", "_gridlet_kernel"));
        if (!attrs) return static_cast<PyObject*>(nullptr);
        return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "MainModule",
                                     reinterpret_cast<PyObject*>(&PyModule_Type), attrs.get());
    }();
    return type;
}

// builtins.compile as the interpreter started with it; a reference of its own, kept as long as the
// process.
PyObject* builtin_compile() {
    static PyObject* compile_fn = PyRef::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "compile")).release();
    return compile_fn;
}

PyRef compile(PyObject* source, const char* filename, const char* mode) {
    return PyRef::steal(PyObject_CallFunction(builtin_compile(), "Oss", source, filename, mode));
}

}  // namespace

PyRef CodeExecutor::fresh_main_module(const GilHeld& gil) {
    auto failed = [] {
        PyErr_Print();
        return std::runtime_error("cannot build the user namespace");
    };
    PyObject* type = main_module_type(gil);
    PyRef module = PyRef::steal(type ? PyObject_CallFunction(type, "s", "__main__") : nullptr);
    if (!module) throw failed();
    const PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) throw failed();
    const PyRef excel = PyRef::steal(PyObject_GetAttrString(bridge_.get(), "excel"));
    if (!excel) throw failed();
    const PyRef context = PyRef::steal(PyObject_GetAttrString(bridge_.get(), "context"));
    if (!context) throw failed();
    const PyRef name = PyRef::steal(PyUnicode_FromString("__main__"));
    if (!name) throw failed();
    // Exactly these entries, not the ones a new module starts with (__doc__, __spec__, ...).
    PyObject* ns = PyModule_GetDict(module.get());  // borrowed
    PyDict_Clear(ns);
    PyDict_SetItemString(ns, "__builtins__", builtins.get());
    PyDict_SetItemString(ns, "gridlet", bridge_.get());
    PyDict_SetItemString(ns, "excel", excel.get());
    PyDict_SetItemString(ns, "context", context.get());
    PyDict_SetItemString(ns, "__name__", name.get());
    return module;
}

void CodeExecutor::reset_namespace(const GilHeld& gil) {
    // A new module rather than a cleared dict: functions and threads that user code left running
    // keep the names they were defined with, and sys.modules["__main__"] is always the namespace
    // that new code runs in, so that pickle finds what is defined there by reference.
    PyRef module = fresh_main_module(gil);
    if (PyDict_SetItemString(PyImport_GetModuleDict(), "__main__", module.get()) < 0) {
        PyErr_Print();
        throw std::runtime_error("cannot install the user namespace as __main__");
    }
    // The old ones are dropped once the new ones are in place (dropping them can run Python code).
    namespace_ = PyRef::borrow(PyModule_GetDict(module.get()));
    module_ = std::move(module);
}

PyRef CodeExecutor::cached_compile(const GilHeld& gil, PyObject* source, const char* filename, const char* mode,
                                   bool& hit) {
    hit = false;
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(source, &length);
    if (!text) {
        // Lone surrogates: compile() itself reports them.
        py_error::clear_expecting(gil, PyExc_UnicodeEncodeError, "code cache key");
        return compile(source, filename, mode);
    }
    if (length > kMaxCachedLength) return compile(source, filename, mode);
    std::string key;
    key.reserve(std::size_t(length) + 2);
    key += mode;  // "eval" or "exec"
    key += ':';
    key.append(text, std::size_t(length));
    if (auto it = code_cache_.find(key); it != code_cache_.end()) {
        hit = true;
        if (!it->second) PyErr_SetString(PyExc_SyntaxError, "not an expression");
        return PyRef::borrow(it->second.get());
    }
    PyRef code = compile(source, filename, mode);
    // Only "not an expression" is remembered as a failure; statement errors are reported anew.
    if (code || (std::string_view(mode) == "eval" && PyErr_ExceptionMatches(PyExc_SyntaxError)))
        remember(std::move(key), code.get());
    return code;
}

void CodeExecutor::remember(std::string key, PyObject* value) {
    if (code_cache_.size() >= kMaxCacheEntries) {
        // Emptied before releasing: releasing a code object can run Python code (weak reference
        // callbacks) and so let another worker at the cache.
        auto old = std::move(code_cache_);
        code_cache_.clear();
    }
    // Another worker may have stored the same text while this one compiled.
    auto [it, inserted] = code_cache_.try_emplace(std::move(key));
    if (inserted) it->second = PyRef::borrow(value);
}

PyRef CodeExecutor::cached_split(const GilHeld& gil, PyObject* code) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &length);
    if (!text) py_error::clear_expecting(gil, PyExc_UnicodeEncodeError, "split cache key");  // lone surrogates
    if (!text || length > kMaxCachedLength) return PyRef::steal(split_at_statement_separator(gil, code));
    std::string key;
    key.reserve(std::size_t(length) + 6);
    key += "split:";
    key.append(text, std::size_t(length));
    if (auto it = code_cache_.find(key); it != code_cache_.end()) return PyRef::borrow(it->second.get());
    PyRef split = PyRef::steal(split_at_statement_separator(gil, code));
    if (split) remember(std::move(key), split.get());
    return split;
}

PyRef CodeExecutor::run(const GilHeld&, PyObject* compiled) {
    // Read the namespace afresh for each step: after a reset, later steps use the new one.
    const PyRef ns = PyRef::borrow(namespace_.get());
    return PyRef::steal(PyEval_EvalCode(compiled, ns.get(), ns.get()));
}

bool CodeExecutor::run_statements(const GilHeld& gil, PyObject* source) {
    // Executed from source like exec(str): frames show the interpreter's "<string>".
    bool hit;
    const PyRef code = cached_compile(gil, source, "<string>", "exec", hit);
    return code && run(gil, code.get());
}

ExecOutcome CodeExecutor::execute(const GilHeld& gil, PyObject* code) {
    ExecOutcome out;
    auto fail = [&] {
        out.success = false;
        out.error = error_record_from_pending(gil);
    };
    auto keep_value = [&](PyRef value) {
        if (value.get() != Py_None) out.result = value.release();
    };

    bool hit = false;
    if (const PyRef compiled = cached_compile(gil, code, "<kernel>", "eval", hit)) {
        PyRef value = run(gil, compiled.get());
        if (value) keep_value(std::move(value));
        else fail();
        return out;
    }
    if (!py_error::clear_if(gil, PyExc_SyntaxError)) {  // not an expression: statements follow
        fail();
        return out;
    }

    // Only code that contains "; " at all is parsed for a separator between statements.
    static PyObject* separator = PyUnicode_InternFromString("; ");  // lives as long as the process
    const Py_ssize_t at = PyUnicode_Find(code, separator, 0, PyUnicode_GET_LENGTH(code), 1);
    if (at == -2) py_error::clear_logged(gil, "code: looking for \"; \"");
    const PyRef split = at >= 0 ? cached_split(gil, code) : PyRef::borrow(Py_None);
    if (!split) {
        fail();
        return out;
    }
    if (split.get() == Py_None) {
        if (!run_statements(gil, code)) fail();
        return out;
    }

    // Both parts compile before either runs. The part after the separator returns a value when it
    // is an expression; otherwise it runs as statements.
    PyObject* head = PyTuple_GET_ITEM(split.get(), 0);  // borrowed: split holds both
    PyObject* tail = PyTuple_GET_ITEM(split.get(), 1);
    bool tail_is_expression = true;
    const PyRef head_code = cached_compile(gil, head, "<string>", "exec", hit);
    // A __future__ import in the first part holds for the second, as in the whole code.
    const int future = head_code ? reinterpret_cast<PyCodeObject*>(head_code.get())->co_flags & PyCF_MASK : 0;
    auto compile_tail = [&](const char* filename, const char* mode) {
        if (!future) return cached_compile(gil, tail, filename, mode, hit);
        return PyRef::steal(PyObject_CallFunction(builtin_compile(), "Ossii", tail, filename, mode, future, 1));
    };
    PyRef tail_code = head_code ? compile_tail("<kernel>", "eval") : PyRef();
    if (head_code && !tail_code && py_error::clear_if(gil, PyExc_SyntaxError)) {
        tail_is_expression = false;
        tail_code = compile_tail("<string>", "exec");
    }
    if (!head_code || !tail_code) {
        // The code compiles as a whole, but a part does not on its own (it needs a __future__
        // import made in the other): the whole runs as one block of statements.
        if (py_error::clear_if(gil, PyExc_Exception)) {
            if (!run_statements(gil, code)) fail();
        } else {
            fail();
        }
    } else if (run(gil, head_code.get())) {
        PyRef value = run(gil, tail_code.get());
        if (!value) fail();
        else if (tail_is_expression) keep_value(std::move(value));
    } else {
        fail();
    }
    return out;
}

}  // namespace gridlet
