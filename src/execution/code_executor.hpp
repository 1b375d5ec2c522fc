#pragma once
// Runs code strings in one namespace that persists across runs: the `__main__` module's, used as
// both globals and locals, as in an interactive Python. An expression returns its value; anything
// else runs as statements, cut once at a "; " between two top-level statements so that the part
// after it can return a value. Errors of user code, the interpreter's exit and interrupt
// exceptions included, become error records and never escape.
#include <optional>
#include <string>
#include <unordered_map>

#include "execution/tracebacks.hpp"
#include "kernel/gil.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet {

struct ExecOutcome {
    bool success = true;
    PyObject* result = nullptr;  // new reference, or nullptr for "no value"
    std::optional<ErrorRecord> error;

    ExecOutcome() = default;
    ExecOutcome(const ExecOutcome&) = delete;
    ExecOutcome(ExecOutcome&& o) noexcept : success(o.success), result(o.result), error(std::move(o.error)) {
        o.result = nullptr;
    }
    ExecOutcome& operator=(ExecOutcome&& o) noexcept {
        std::swap(success, o.success);
        std::swap(result, o.result);
        std::swap(error, o.error);
        return *this;
    }
    ~ExecOutcome() { Py_XDECREF(result); }
};

class CodeExecutor {
public:
    CodeExecutor(const GilHeld&, PyObject* bridge_module);
    ~CodeExecutor();

    // `code` must be a str. Output goes wherever the calling thread's streams route it.
    ExecOutcome execute(const GilHeld&, PyObject* code);
    // A new `__main__` module (__builtins__, gridlet, excel, context, __name__) installed in
    // sys.modules; code that still runs keeps the namespace it started with.
    void reset_namespace(const GilHeld&);

    // The one dict that code runs in, as globals and locals: the `__main__` module's namespace.
    PyObject* namespace_dict() const { return namespace_.get(); }

private:
    PyRef fresh_main_module(const GilHeld&);
    PyRef run(const GilHeld&, PyObject* compiled);
    bool run_statements(const GilHeld&, PyObject* source);
    // Code objects of recently run short sources, keyed by mode and text. Requests repeat (the
    // same snippet from the add-in, the same expression typed again), and compiling - or failing
    // to compile as an expression - costs more than running most of them. A null entry records
    // "not an expression".
    PyRef cached_compile(const GilHeld&, PyObject* source, const char* filename, const char* mode, bool& hit);
    // The statement split of `code` (see statement_split.hpp), kept in the same cache.
    PyRef cached_split(const GilHeld&, PyObject* code);
    void remember(std::string key, PyObject* value);  // value (borrowed) may be null
    std::unordered_map<std::string, PyRef> code_cache_;

    PyRef bridge_;
    PyRef module_;     // sys.modules["__main__"] as this executor made it
    PyRef namespace_;  // its __dict__
};

}  // namespace gridlet
