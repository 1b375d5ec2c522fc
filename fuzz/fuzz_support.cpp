#include "fuzz_support.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fuzz {

void check(bool ok, std::string_view what) {
    if (ok) return;
    std::fprintf(stderr, "FUZZ CHECK FAILED: %.*s\n", int(what.size()), what.data());
    std::abort();
}

void start_python() {
    static std::once_flag once;
    std::call_once(once, [] {
        PyConfig config;
        PyConfig_InitIsolatedConfig(&config);
        PyConfig_SetString(&config, &config.program_name, L"/usr/bin/python3");
        PyStatus st = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        check(!PyStatus_Exception(st), "Python initialisation failed");
        PyObject* path = PySys_GetObject("path");
        PyObject* dir = PyUnicode_FromString(GRIDLET_FUZZ_PYTHON_DIR);
        check(path && dir && PyList_Insert(path, 0, dir) == 0, "cannot extend sys.path");
        Py_DECREF(dir);
        PyEval_SaveThread();
    });
}

void run_python(const char* source) {
    PyObject* main = PyImport_AddModule("__main__");
    PyObject* g = PyModule_GetDict(main);
    PyObject* r = PyRun_String(source, Py_file_input, g, g);
    if (!r) {
        PyErr_Print();
        check(false, "helper Python code failed");
    }
    Py_DECREF(r);
}

PyObject* main_attr(const char* name) {
    PyObject* g = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* f = PyDict_GetItemString(g, name);
    check(f != nullptr, name);
    return f;
}

boost::json::value as_sent(const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::double_:
            return std::isfinite(v.get_double()) ? v : boost::json::value(nullptr);
        case boost::json::kind::array: {
            boost::json::array a;
            for (const auto& e : v.get_array()) a.push_back(as_sent(e));
            return a;
        }
        case boost::json::kind::object: {
            boost::json::object o;
            for (const auto& kv : v.get_object()) o[kv.key()] = as_sent(kv.value());
            return o;
        }
        default:
            return v;
    }
}

bool same_json(const boost::json::value& a, const boost::json::value& b) {
    using boost::json::kind;
    auto integral = [](const boost::json::value& v) { return v.is_int64() || v.is_uint64(); };
    if (integral(a) && integral(b)) {
        if (a.is_int64() && b.is_int64()) return a.get_int64() == b.get_int64();
        if (a.is_uint64() && b.is_uint64()) return a.get_uint64() == b.get_uint64();
        const auto& s = a.is_int64() ? a : b;
        const auto& u = a.is_int64() ? b : a;
        return s.get_int64() >= 0 && std::uint64_t(s.get_int64()) == u.get_uint64();
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case kind::null:
            return true;
        case kind::bool_:
            return a.get_bool() == b.get_bool();
        case kind::double_: {
            double x = a.get_double(), y = b.get_double();
            return std::memcmp(&x, &y, sizeof x) == 0;
        }
        case kind::string:
            return a.get_string() == b.get_string();
        case kind::array: {
            const auto &x = a.get_array(), &y = b.get_array();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!same_json(x[i], y[i])) return false;
            return true;
        }
        case kind::object: {
            const auto &x = a.get_object(), &y = b.get_object();
            if (x.size() != y.size()) return false;
            for (const auto& kv : x) {
                const auto* other = y.if_contains(kv.key());
                if (!other || !same_json(kv.value(), *other)) return false;
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace fuzz
