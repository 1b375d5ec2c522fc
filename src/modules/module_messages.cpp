#include "modules/module_messages.hpp"

#include <boost/json.hpp>

#include "execution/tracebacks.hpp"
#include "kernel/kernel.hpp"
#include "kernel/py_ref.hpp"
#include "language/language_service.hpp"
#include "messaging/fields.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "modules/module_loader.hpp"
#include "util/log.hpp"

namespace gridlet::modules {
namespace {

void reply(Kernel& kernel, const char* type, const std::string& name) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", type).str("module_name", name);
    w.close();
    kernel.send_json(msg, {type, {}});
}

void reply_error(Kernel& kernel, const char* text) {
    std::string msg;
    json_text::ObjectWriter w(msg);
    w.str("type", "error").str("message", text);
    w.close();
    kernel.send_json(msg, {"error", {}});
}

PyObject* py_text(const std::string& s) { return py_json::str_of(GilHeld::from_python(), s); }

}  // namespace

void handle_update_module(Kernel& kernel, const GilHeld& gil, const boost::json::object& message) {
    auto name = fields::text(message, "module_name", "", true);
    if (!name || name->empty()) {
        GLOG_WARN("[Kernel] Received update_module without module_name");
        reply_error(kernel, "update_module requires module_name");
        return;
    }
    auto code = fields::text(message, "code", "", true);
    if (!code) throw fields::FieldError("update_module requires code to be a string");
    {
        PyRef n = PyRef::steal(py_text(*name));
        PyRef c = PyRef::steal(py_text(*code));
        bool ok = n && c && kernel.loader().update_module(gil, n.get(), c.get());
        if (!ok) throw std::runtime_error(error_record_from_pending(gil).message);
    }
    GLOG_INFO("[Kernel] Updated virtual module: {}", *name);
    reply(kernel, "module_updated", *name);
}

void handle_delete_module(Kernel& kernel, const GilHeld& gil, const boost::json::object& message) {
    auto name = fields::text(message, "module_name", "", true);
    if (!name || name->empty()) {
        GLOG_WARN("[Kernel] Received delete_module without module_name");
        reply_error(kernel, "delete_module requires module_name");
        return;
    }
    {
        PyRef n = PyRef::steal(py_text(*name));
        bool ok = n && kernel.loader().delete_module(gil, n.get());
        if (!ok) throw std::runtime_error(error_record_from_pending(gil).message);
    }
    kernel.language().delete_module(*name);
    GLOG_INFO("[Kernel] Deleted virtual module: {}", *name);
    reply(kernel, "module_deleted", *name);
}

}  // namespace gridlet::modules
