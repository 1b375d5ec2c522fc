#include "kernel/python_objects.hpp"

#include <pybind11/embed.h>

#include <cmath>

#include "components/com_events.hpp"
#include "components/debugger.hpp"
#include "execution/display_data.hpp"
#include "execution/run_output.hpp"
#include "kernel/kernel.hpp"
#include "messaging/py_json.hpp"
#include "services/host_interaction.hpp"
#include "services/object_keeper.hpp"
#include "services/sys_request.hpp"

namespace py = pybind11;

namespace gridlet {
namespace {

struct KernelHandle {
    Kernel* kernel;
};

void require_str(const py::handle& v, const char* name) {
    if (!PyUnicode_CheckExact(v.ptr()))
        throw py::type_error(std::string(name) + " must be str, not " + Py_TYPE(v.ptr())->tp_name);
}

}  // namespace

void register_kernel_classes(py::module_& m) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const PythonErrorSet&) {
            // the Python exception is already set
        }
    });
    py::class_<KernelHandle>(m, "PythonKernel", "The kernel as user code sees it (gridlet._kernel_instance).")
        .def_property_readonly("workbook_id", [](KernelHandle& h) { return h.kernel->workbook_id(); })
        .def_property_readonly("has_active_debugger", [](KernelHandle& h) { return h.kernel->debugger() != nullptr; })
        .def_property_readonly("running", [](KernelHandle& h) { return h.kernel->running(); })
        .def_property_readonly(
            "current_run",
            [](KernelHandle&) -> py::object {
                RunOutput* run = RunOutput::current();
                if (!run) return py::none();
                return py::int_(run->serial());
            },
            "A number naming the run of user code on the calling thread, or None outside a run.")
        .def("send_display_data",
             [](KernelHandle& h, py::object data, py::object metadata) {
                 if (!display_data::send(GilHeld::from_python(), *h.kernel, data.ptr(), metadata.ptr()))
                     throw py::error_already_set();
             },
             py::arg("data"), py::arg("metadata") = py::none(),
             "Send one display_data message (a MIME bundle) with the calling run's fields.")
        .def("save_object",
             [](KernelHandle& h, py::object key, py::object obj) {
                 require_str(key, "key");
                 h.kernel->object_keeper().save(GilHeld::from_python(), key.ptr(), obj.ptr());
             },
             py::arg("key"), py::arg("obj"))
        .def("get_object",
             [](KernelHandle& h, py::object key) {
                 require_str(key, "key");
                 return py::reinterpret_steal<py::object>(
                     h.kernel->object_keeper().get(GilHeld::from_python(), key.ptr()));
             },
             py::arg("key"))
        .def("clear_object",
             [](KernelHandle& h, py::object key) {
                 require_str(key, "key");
                 h.kernel->object_keeper().clear(GilHeld::from_python(), key.ptr());
             },
             py::arg("key"))
        .def("clear_all_objects", [](KernelHandle& h) { h.kernel->object_keeper().clear_all(GilHeld::from_python()); })
        .def("get_object_registry",
             [](KernelHandle& h) {
                 return py::reinterpret_steal<py::object>(h.kernel->object_keeper().registry(GilHeld::from_python()));
             })
        .def("set_enable_events",
             [](KernelHandle& h, py::object enable) {
                 int truthy = PyObject_IsTrue(enable.ptr());
                 if (truthy < 0) throw py::error_already_set();
                 services::set_enable_events(*h.kernel, truthy > 0);
             },
             py::arg("enable"))
        .def("show_message_box",
             [](KernelHandle& h, py::object message, py::object title, py::object type) {
                 require_str(message, "message");
                 require_str(title, "title");
                 require_str(type, "type");
                 services::show_message_box(*h.kernel, py::cast<std::string>(message), py::cast<std::string>(title),
                                            py::cast<std::string>(type));
             },
             py::arg("message"), py::arg("title") = "Gridlet", py::arg("type") = "Info")
        .def("set_com_event_registrar",
             [](KernelHandle& h, py::object impl) {
                 // Hosts with their own COM bridge (and tests) provide the registrar as an object
                 // with apply_config(config) and deliver_com_response(request_id, response).
                 if (impl.is_none()) h.kernel->set_com_registrar(nullptr);
                 else h.kernel->set_com_registrar(make_python_com_event_registrar(GilHeld::from_python(), impl.ptr()));
             },
             py::arg("registrar"))
        .def("send_message",
             [](KernelHandle& h, py::dict message) {
                 std::string text;
                 try {
                     py_json::append(GilHeld::from_python(), message.ptr(), text);
                 } catch (const py_json::EncodeError& e) {
                     throw py::type_error(e.what());
                 }
                 std::string type = message.contains("type") ? py::str(message["type"]).cast<std::string>() : "unknown";
                 h.kernel->post_from_worker(GilHeld::from_python(), text, {type, {}});
             },
             py::arg("message"), "Send one message to the Business Layer (fire and forget).");

}

namespace python_objects {

PyObject* make_kernel_object(const GilHeld&, Kernel& kernel) {
    py::module_::import("_gridlet_kernel");
    return py::cast(KernelHandle{&kernel}).release().ptr();
}

PyObject* make_stream_sender(const GilHeld&, Kernel& kernel) {
    Kernel* k = &kernel;
    py::cpp_function fn(
        [k](py::object stream_type, py::object content) {
            require_str(content, "content");
            std::string kind = py::str(stream_type).cast<std::string>();
            k->send_stream(GilHeld::from_python(), kind == "stdout" ? StreamKind::out : StreamKind::err,
                           py_json::utf8_of(GilHeld::from_python(), content.ptr()));
        },
        py::name("send_stream_message"), py::arg("stream_type"), py::arg("content"));
    return fn.release().ptr();
}

PyObject* make_send_request_sync(const GilHeld&, Kernel& kernel) {
    Kernel* k = &kernel;
    py::cpp_function fn(
        [k](py::object req, py::object timeout) {
            double t = PyFloat_AsDouble(timeout.ptr());
            if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            if (std::isnan(t) || t < 0) throw py::value_error("timeout must be a non-negative number");
            PyObject* r = services::send_request_sync(GilHeld::from_python(), *k, req.ptr(), t);
            if (!r) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(r);
        },
        py::name("send_request_sync"), py::arg("req"), py::arg("timeout") = 30.0);
    return fn.release().ptr();
}

}  // namespace python_objects
}  // namespace gridlet
