#include "messaging/py_json.hpp"

#include <boost/json.hpp>

#include <cmath>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_bigint.hpp"
#include "messaging/json_text.hpp"

namespace gridlet::py_json {
namespace {

// Containers nest at most this deep, as many levels as the parser accepts (json_parse::kMaxDepth),
// so that what arrives can always be sent back and a self-containing list is refused.
constexpr int kMaxDepth = 1000;

// Text of a str holding lone surrogates, which have no UTF-8 form: the "surrogatepass" bytes, where
// each surrogate takes three bytes; json_text writes those as \udXXX escapes.
std::string surrogate_text(const GilHeld& gil, PyObject* str) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        py_error::clear_logged(gil, "JSON: str without a surrogatepass form", py_error::Level::warning);
        return std::string();
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
}

// Bytes that are not even that form (never made by the parser) are replaced rather than refused.
PyObject* str_from(const GilHeld& gil, const char* data, std::size_t size) {
    PyObject* s = PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "surrogatepass");
    if (s || !py_error::clear_if(gil, PyExc_UnicodeDecodeError)) return s;
    return PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace");
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// Beyond 64 bits: the exact digits of int's own repr (a subclass's __repr__ is not asked).
void append_long(const GilHeld& gil, PyObject* obj, std::string& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow && !(v == -1 && PyErr_Occurred())) {
        json_text::append_int(out, v);
        return;
    }
    if (!overflow) py_error::clear_logged(gil, "JSON: int value", py_error::Level::warning);
    PyRef text = PyRef::steal(PyLong_Type.tp_repr(obj));
    Py_ssize_t len = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
    if (!s) {
        py_error::clear_logged(gil, "JSON: int digits", py_error::Level::warning);
        throw EncodeError("Integer cannot be represented");
    }
    out.append(s, std::size_t(len));
}

void append_key(const GilHeld& gil, PyObject* key, std::string& out) {
    if (PyUnicode_Check(key)) {
        append_str(gil, key, out);
    } else if (key == Py_None) {
        out += "\"null\"";
    } else if (PyBool_Check(key)) {
        out += key == Py_True ? "\"true\"" : "\"false\"";
    } else if (PyLong_Check(key)) {
        std::string digits;
        append_long(gil, key, digits);
        json_text::append_string(out, digits);
    } else if (PyFloat_Check(key)) {
        // A key is text, so it is written as the standard library's json writes float keys: the
        // float's repr (1e15 -> "1000000000000000.0"), NaN and the infinities by name.
        const double d = PyFloat_AS_DOUBLE(key);
        if (std::isnan(d)) {
            out += "\"NaN\"";
        } else if (std::isinf(d)) {
            out += d > 0 ? "\"Infinity\"" : "\"-Infinity\"";
        } else {
            char* text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) {
                py_error::clear_logged(gil, "JSON: float key", py_error::Level::warning);
                throw EncodeError("Float key cannot be represented");
            }
            json_text::append_string(out, text);
            PyMem_Free(text);
        }
    } else {
        throw EncodeError("Dict key must be str, not " + type_name(key));
    }
}

void enter_container(int depth) {
    if (depth >= kMaxDepth) throw EncodeError("Recursion limit reached while encoding JSON");
}

void append_depth(const GilHeld& gil, PyObject* obj, std::string& out, int depth) {
    if (obj == Py_None) {
        out += "null";
    } else if (obj == Py_True) {
        out += "true";
    } else if (obj == Py_False) {
        out += "false";
    } else if (PyUnicode_Check(obj)) {
        append_str(gil, obj, out);
    } else if (PyLong_Check(obj)) {
        append_long(gil, obj, out);
    } else if (PyFloat_Check(obj)) {
        json_text::append_double(out, PyFloat_AS_DOUBLE(obj));
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        enter_container(depth);
        // The list and each item are held while written, and the size is read again after every
        // item: the walk stays safe should anything run meanwhile (a finalizer) change the list.
        const PyRef seq = PyRef::borrow(obj);
        out.push_back('[');
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out.push_back(',');
            const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
            append_depth(gil, item.get(), out, depth + 1);
            n = PySequence_Fast_GET_SIZE(seq.get());
        }
        out.push_back(']');
    } else if (PyDict_Check(obj)) {
        enter_container(depth);
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        const PyRef dict = PyRef::borrow(obj);
        while (PyDict_Next(dict.get(), &pos, &k, &v)) {
            if (!first) out.push_back(',');
            first = false;
            append_key(gil, k, out);
            out.push_back(':');
            append_depth(gil, v, out, depth + 1);
        }
        out.push_back('}');
    } else {
        throw EncodeError("Type is not JSON serializable: " + type_name(obj));
    }
}

}  // namespace

void append_str(const GilHeld& gil, PyObject* str, std::string& out) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s) {
        json_text::append_string(out, std::string_view(s, std::size_t(len)));
        return;
    }
    py_error::clear_expecting(gil, PyExc_UnicodeEncodeError, "JSON: str text");  // lone surrogates
    json_text::append_string(out, surrogate_text(gil, str));
}

void append(const GilHeld& gil, PyObject* obj, std::string& out) { append_depth(gil, obj, out, 0); }

std::string utf8_of(const GilHeld& gil, PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s) return std::string(s, std::size_t(len));
    py_error::clear_expecting(gil, PyExc_UnicodeEncodeError, "JSON: str text");  // lone surrogates
    return surrogate_text(gil, str);
}

PyObject* to_python(const GilHeld& gil, const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::null:
            Py_RETURN_NONE;
        case boost::json::kind::bool_:
            return PyBool_FromLong(v.get_bool());
        case boost::json::kind::int64:
            return PyLong_FromLongLong(v.get_int64());
        case boost::json::kind::uint64:
            return PyLong_FromUnsignedLongLong(v.get_uint64());
        case boost::json::kind::double_:
            return PyFloat_FromDouble(v.get_double());
        case boost::json::kind::string: {
            const auto& s = v.get_string();
            return str_from(gil, s.data(), s.size());
        }
        case boost::json::kind::array: {
            const auto& a = v.get_array();
            PyRef list = PyRef::steal(PyList_New(Py_ssize_t(a.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < a.size(); ++i) {
                PyObject* item = to_python(gil, a[i]);
                if (!item) return nullptr;
                PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);  // steals item
            }
            return list.release();
        }
        case boost::json::kind::object: {
            if (const auto* digits = json_bigint::digits(v)) return PyLong_FromString(digits->c_str(), nullptr, 10);
            PyRef dict = PyRef::steal(PyDict_New());
            if (!dict) return nullptr;
            for (const auto& kv : v.get_object()) {
                PyRef key = PyRef::steal(str_from(gil, kv.key().data(), kv.key().size()));
                if (!key) return nullptr;
                PyRef val = PyRef::steal(to_python(gil, kv.value()));
                if (!val || PyDict_SetItem(dict.get(), key.get(), val.get()) < 0) return nullptr;
            }
            return dict.release();
        }
    }
    Py_RETURN_NONE;
}

}  // namespace gridlet::py_json

namespace gridlet::py_json {

PyObject* str_of(const GilHeld& gil, std::string_view text) { return str_from(gil, text.data(), text.size()); }

}  // namespace gridlet::py_json
