#include "language/language_service.hpp"

#include <boost/json.hpp>

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

struct Query {
    const char* method;
    const char* reply;
    const char* list_key;
};

const Query* query_for(const std::string& kind) {
    static const Query completion{"get_completions", "completion_response", "completions"};
    static const Query signature{"get_signature_help", "signature_help_response", "signatures"};
    static const Query hover{"get_hover", "hover_response", "contents"};
    static const Query diagnostic{"get_diagnostics", "diagnostic_response", "diagnostics"};
    if (kind == "completion_request") return &completion;
    if (kind == "signature_help_request") return &signature;
    if (kind == "hover_request") return &hover;
    if (kind == "diagnostic_request") return &diagnostic;
    return nullptr;
}

PyRef py_of(const GilHeld& gil, const boost::json::object& m, std::string_view key, PyObject* fallback) {
    const auto* v = m.if_contains(key);
    if (!v) return PyRef::borrow(fallback);
    return PyRef::steal(py_json::to_python(gil, *v));
}

// Reads `key` from the bridge's mapping; `fallback_json` when absent.
void append_entry(const GilHeld& gil, PyObject* result, const char* key, std::string& out, const char* fallback_json) {
    PyRef v = PyRef::steal(result ? PyMapping_GetItemString(result, key) : nullptr);
    if (!v) {
        py_error::clear_expecting(gil, PyExc_KeyError, "language bridge result");  // KeyError: not given
        out += fallback_json;
        return;
    }
    try {
        py_json::append(gil, v.get(), out);
    } catch (const py_json::EncodeError&) {
        out += fallback_json;
    }
}

std::size_t entry_count(const GilHeld& gil, PyObject* result, const char* key) {
    PyRef v = PyRef::steal(result ? PyMapping_GetItemString(result, key) : nullptr);
    if (!v) {
        py_error::clear_expecting(gil, PyExc_KeyError, "language bridge result");
        return 0;
    }
    Py_ssize_t n = PySequence_Check(v.get()) && !PyUnicode_Check(v.get()) ? PySequence_Size(v.get()) : 0;
    if (n < 0) py_error::clear_logged(gil, "language bridge result size");
    return n < 0 ? 0 : std::size_t(n);
}

// Why a request cannot be passed to the bridge as it is: the first field of the wrong type, in the
// words the bridge uses for its own checks; empty when every field has a usable type.
std::string field_problem(const boost::json::object& m, bool diagnostics) {
    auto wrong = [](std::string_view key, std::string_view want, const boost::json::value& v) {
        return std::string(key) + " must be " + std::string(want) + ", not " + std::string(fields::python_type_name(v));
    };
    auto check = [&](std::string_view key, bool null_ok, bool (*ok)(const boost::json::value&),
                     std::string_view want) -> std::string {
        const auto* v = m.if_contains(key);
        if (!v || (null_ok && v->is_null()) || ok(*v)) return {};
        return wrong(key, want, *v);
    };
    auto is_text = [](const boost::json::value& v) { return v.is_string(); };
    auto is_integer = [](const boost::json::value& v) { return v.is_int64() || v.is_uint64(); };
    // workbook_id and request_id are only echoed; module_name is passed on for diagnostics only.
    std::string problem = check("code", true, is_text, "a string");
    if (diagnostics && problem.empty()) problem = check("module_name", true, is_text, "a string");
    if (diagnostics || !problem.empty()) return problem;
    problem = check("line", false, is_integer, "an integer");
    if (problem.empty()) problem = check("column", true, is_integer, "an integer");
    if (problem.empty()) problem = check("path", true, is_text, "a string");
    if (!problem.empty()) return problem;
    // dirty_files: a mapping path -> content, or a list of {"path", "content"} objects.
    const auto* dirty = m.if_contains("dirty_files");
    if (!dirty || dirty->is_null()) return {};
    if (dirty->is_object()) {
        for (const auto& entry : dirty->get_object())
            if (!entry.value().is_string()) return "dirty_files needs a text path and a text content for every file";
        return {};
    }
    if (!dirty->is_array())
        return wrong("dirty_files", "a mapping path -> content or a list of {path, content}", *dirty);
    for (const auto& entry : dirty->get_array()) {
        if (!entry.is_object()) return "dirty_files entries must be objects with path and content";
        const auto* path = entry.get_object().if_contains("path");
        const auto* content = entry.get_object().if_contains("content");
        if (!path || !path->is_string() || !content || !content->is_string())
            return "dirty_files needs a text path and a text content for every file";
    }
    return {};
}

}  // namespace

LanguageService::LanguageService(const GilHeld&, Kernel& kernel) : kernel_(kernel) {
    // Requests wait for the module and path changes that came before them.
    thread_.set_gate(&kernel.control());
    thread_.start(1);
}

PyObject* LanguageService::bridge(const GilHeld& gil) {
    if (bridge_ || load_failed_) return bridge_;
    PyRef module = PyRef::steal(PyImport_ImportModule("gridlet_services.lsp_bridge"));
    PyRef cls = PyRef::steal(module ? PyObject_GetAttrString(module.get(), "LSPBridge") : nullptr);
    bridge_ = cls ? PyObject_CallNoArgs(cls.get()) : nullptr;  // kept for the life of the process
    if (!bridge_) {
        load_failed_ = true;
        GLOG_ERROR("[LSP] Language-service bridge unavailable: {}", error_record_from_pending(gil).message);
    }
    return bridge_;
}

void LanguageService::submit(std::string kind, boost::json::object&& message) {
    // The sources are copied on the control thread, in arrival order: after every earlier update
    // and before any later one. The analysis itself runs on the language thread.
    kernel_.control().submit([this, kind = std::move(kind), message = std::move(message)](const GilHeld& gil) {
        PyObject* cache = kernel_.loader().source_cache(gil);
        PyRef modules = PyRef::steal(cache ? PyDict_Copy(cache) : PyDict_New());
        if (!modules) {
            py_error::clear_logged(gil, "language service: copying the module sources", py_error::Level::warning);
            modules = PyRef::steal(PyDict_New());
        }
        // The task owns the copy from here; it is released on the language thread, under its GIL.
        thread_.submit([this, kind, message, owned = modules.release()](const GilHeld& gil) {
            PyRef modules = PyRef::steal(owned);
            serve(gil, kind, message, modules.get());
        });
    });
}

void LanguageService::serve(const GilHeld& gil, const std::string& kind, const boost::json::object& m,
                            PyObject* modules) {
    const Query* q = query_for(kind);
    if (!q) return;
    const bool diagnostics = kind == "diagnostic_request";
    const auto* code_v = m.if_contains("code");
    const std::string code_len = std::to_string(code_v && code_v->is_string() ? code_v->get_string().size() : 0);
    if (kind == "completion_request") {
        const auto* dirty = m.if_contains("dirty_files");
        std::size_t count = dirty && dirty->is_array()    ? dirty->get_array().size()
                            : dirty && dirty->is_object() ? dirty->get_object().size()
                                                          : 0;
        GLOG_DEBUG("[LSP] Request received: line={}, column={}, path={}, code_length={}, dirty_files={}",
                   fields::display(m, "line", "1"), fields::display(m, "column", "0"), fields::display(m, "path"),
                   code_len, count);
    } else if (kind == "signature_help_request") {
        GLOG_DEBUG("[LSP] Signature help request: line={}, column={}, path={}, code_length={}",
                   fields::display(m, "line", "1"), fields::display(m, "column", "0"), fields::display(m, "path"),
                   code_len);
    } else if (kind == "hover_request") {
        GLOG_DEBUG("[LSP] Hover request: line={}, column={}, path={}, code_length={}", fields::display(m, "line", "1"),
                   fields::display(m, "column", "0"), fields::display(m, "path"), code_len);
    } else {
        GLOG_DEBUG("[LSP] Diagnostic request: code_length={}, module={}", code_len, fields::display(m, "module_name"));
    }

    std::string error_text = field_problem(m, diagnostics);
    PyRef result;
    PyObject* b = error_text.empty() ? bridge(gil) : nullptr;  // borrowed
    if (!error_text.empty()) {
        GLOG_WARN("[LSP] {} refused: {}", kind, error_text);
    } else if (!b) {
        error_text = "Language services are not available";
    } else {
        PyRef kwargs = PyRef::steal(PyDict_New());
        PyRef empty = PyRef::steal(PyUnicode_FromString(""));
        PyRef one = PyRef::steal(PyLong_FromLong(1));
        PyRef zero = PyRef::steal(PyLong_FromLong(0));
        auto put = [&](const char* key, PyRef value) {
            if (value && kwargs) PyDict_SetItemString(kwargs.get(), key, value.get());
            else py_error::clear_logged(gil, "language service: request argument");
        };
        put("code", py_of(gil, m, "code", empty.get()));
        if (diagnostics) {
            put("module_name", py_of(gil, m, "module_name", Py_None));
        } else {
            put("line", py_of(gil, m, "line", one.get()));
            put("column", py_of(gil, m, "column", zero.get()));
            put("path", py_of(gil, m, "path", Py_None));
            put("modules", PyRef::borrow(modules));
            put("dirty_files", py_of(gil, m, "dirty_files", Py_None));
        }
        PyRef method = PyRef::steal(PyObject_GetAttrString(b, q->method));
        PyRef args = PyRef::steal(PyTuple_New(0));
        result =
            PyRef::steal(method && args && kwargs ? PyObject_Call(method.get(), args.get(), kwargs.get()) : nullptr);
        if (!result) {
            error_text = error_record_from_pending(gil).message;
            GLOG_ERROR("[LSP] Bridge failed on {}: {}", kind, error_text);
        } else if (!PyMapping_Check(result.get())) {
            result.reset();
            error_text = "Language-service bridge returned no mapping";
        }
    }

    std::string reply = "{\"type\":\"";
    reply += q->reply;
    reply += "\",";
    auto key = [&](const char* k) {
        reply += '"';
        reply += k;
        reply += "\":";
    };
    if (kind == "hover_request") {
        key("contents");
        append_entry(gil, result.get(), "contents", reply, "null");
    } else {
        key(q->list_key);
        append_entry(gil, result.get(), q->list_key, reply, "[]");
    }
    if (kind == "signature_help_request") {
        reply += ',';
        key("activeSignature");
        append_entry(gil, result.get(), "activeSignature", reply, "0");
        reply += ',';
        key("activeParameter");
        append_entry(gil, result.get(), "activeParameter", reply, "0");
    }
    reply += ',';
    key("error");
    if (!error_text.empty()) json_text::append_string(reply, error_text);
    else append_entry(gil, result.get(), "error", reply, "null");
    reply += ",\"request_id\":" + fields::echo(m, "request_id") + ",\"workbook_id\":" + fields::echo(m, "workbook_id") +
             ",\"module_name\":" + fields::echo(m, "module_name") + "}";

    if (kind == "completion_request")
        GLOG_DEBUG("[LSP] Response: {} completions, error={}", entry_count(gil, result.get(), "completions"),
                   error_text.empty() ? "None" : error_text);
    else if (kind == "signature_help_request")
        GLOG_DEBUG("[LSP] Signature help response: {} signatures, error={}",
                   entry_count(gil, result.get(), "signatures"), error_text.empty() ? "None" : error_text);
    else if (kind == "hover_request")
        GLOG_DEBUG("[LSP] Hover response: has_contents={}, error={}",
                   reply.find("\"contents\":null") == std::string::npos ? "True" : "False",
                   error_text.empty() ? "None" : error_text);
    else
        GLOG_DEBUG("[LSP] Diagnostic response: {} diagnostics, error={}", entry_count(gil, result.get(), "diagnostics"),
                   error_text.empty() ? "None" : error_text);
    result.reset();
    const std::string rid = fields::echo(m, "request_id");
    kernel_.post_from_worker(gil, reply, {q->reply, rid});
}

void LanguageService::set_hover_mode(const boost::json::object& message) {
    std::string mode = fields::text(message, "mode", "compact").value();
    GLOG_DEBUG("[Kernel] Received set_hover_mode: {}", mode);
    thread_.submit([this, mode](const GilHeld& gil) {
        if (PyObject* b = bridge(gil)) {
            if (!drop(PyObject_CallMethod(b, "set_hover_mode", "s", mode.c_str())))
                GLOG_ERROR("[LSP] set_hover_mode failed: {}", error_record_from_pending(gil).message);
        } else {
            GLOG_WARN("[Kernel] LSP Bridge not available for hover mode change");
            return;
        }
        std::string reply;
        json_text::ObjectWriter w(reply);
        w.str("type", "hover_mode_updated").str("mode", mode).raw("workbook_id", kernel_.workbook_id_json());
        w.close();
        kernel_.post_from_worker(gil, reply, {"hover_mode_updated", {}});
    });
}

void LanguageService::update_sys_paths(std::vector<std::string> paths) {
    // A bridge loaded later reads sys.path itself.
    thread_.submit([this, paths = std::move(paths)](const GilHeld& gil) {
        if (!bridge_) return;
        PyRef list = PyRef::steal(PyList_New(0));
        if (!list) {
            py_error::clear_logged(gil, "language service: sys.path list", py_error::Level::warning);
            return;
        }
        for (const auto& p : paths) {
            PyRef s = PyRef::steal(py_json::str_of(gil, p));
            if (!s) {
                py_error::clear_logged(gil, "language service: sys.path entry");
                continue;
            }
            PyList_Append(list.get(), s.get());
        }
        if (!drop(PyObject_CallMethod(bridge_, "update_sys_paths", "O", list.get())))
            GLOG_ERROR("[LSP] update_sys_paths failed: {}", error_record_from_pending(gil).message);
    });
}

void LanguageService::delete_module(std::string name) {
    thread_.submit([this, name = std::move(name)](const GilHeld& gil) {
        if (!bridge_) return;
        if (!drop(PyObject_CallMethod(bridge_, "delete_module", "s", name.c_str())))
            GLOG_ERROR("[LSP] delete_module failed: {}", error_record_from_pending(gil).message);
    });
}

void LanguageService::shutdown() { thread_.shutdown(); }

}  // namespace gridlet
