#pragma once
// Runs code strings in one namespace that persists across runs. An expression returns its value;
// anything else runs as statements. Errors of user code, the interpreter's exit and interrupt
// exceptions included, become error records and never escape.
#include <optional>
#include <string>
#include <unordered_map>

#include "execution/tracebacks.hpp"
#include "kernel/gil.hpp"

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
    // Fresh globals (__builtins__, gridlet, excel, context) and empty locals.
    void reset_namespace(const GilHeld&);

    PyObject* globals() const { return globals_; }
    PyObject* locals() const { return locals_; }

private:
    PyObject* fresh_globals(const GilHeld&);
    PyObject* compile(const GilHeld&, PyObject* source, const char* filename, const char* mode);
    bool run_statements(const GilHeld&, PyObject* source);
    // Code objects of recently run short sources, keyed by mode and text. Requests repeat (the
    // same snippet from the add-in, the same expression typed again), and compiling - or failing
    // to compile as an expression - costs more than running most of them. A null entry records
    // "not an expression".
    PyObject* cached_compile(const GilHeld&, PyObject* source, const char* filename, const char* mode, bool& hit);
    std::unordered_map<std::string, PyObject*> code_cache_;

    PyObject* bridge_ = nullptr;
    PyObject* globals_ = nullptr;
    PyObject* locals_ = nullptr;
};

}  // namespace gridlet
