#include "messaging/py_json.hpp"

#include <boost/json.hpp>

#include <cmath>

#include "messaging/json_bigint.hpp"
#include "messaging/json_text.hpp"

namespace gridlet::py_json {
namespace {

// Containers nest at most this deep, as many levels as the parser accepts (json_parse::kMaxDepth),
// so that what arrives can always be sent back and a self-containing list is refused.
constexpr int kMaxDepth = 1000;

// Text of a str holding lone surrogates, which have no UTF-8 form: the "surrogatepass" bytes, where
// each surrogate takes three bytes; json_text writes those as \udXXX escapes.
std::string surrogate_text(PyObject* str) {
    PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (!bytes) {
        PyErr_Clear();
        return std::string();
    }
    std::string out(PyBytes_AS_STRING(bytes), std::size_t(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

// Bytes that are not even that form (never made by the parser) are replaced rather than refused.
PyObject* str_from(const char* data, std::size_t size) {
    PyObject* s = PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "surrogatepass");
    if (s || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return s;
    PyErr_Clear();
    return PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace");
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

void append_long(PyObject* obj, std::string& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow && !(v == -1 && PyErr_Occurred())) {
        json_text::append_int(out, v);
        return;
    }
    PyErr_Clear();
    PyObject* text = PyLong_Type.tp_repr(obj);
    if (!text) {
        PyErr_Clear();
        throw EncodeError("Integer cannot be represented");
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &len);
    out.append(s, std::size_t(len));
    Py_DECREF(text);
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
        append_long(key, digits);
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
                PyErr_Clear();
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
        append_long(obj, out);
    } else if (PyFloat_Check(obj)) {
        json_text::append_double(out, PyFloat_AS_DOUBLE(obj));
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        enter_container(depth);
        PyObject* seq = obj;
        Py_INCREF(seq);  // a list may shrink while we walk it through user __eq__ etc.; hold it
        out.push_back('[');
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out.push_back(',');
            PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
            Py_INCREF(item);
            try {
                append_depth(gil, item, out, depth + 1);
            } catch (...) {
                Py_DECREF(item);
                Py_DECREF(seq);
                throw;
            }
            Py_DECREF(item);
            n = PySequence_Fast_GET_SIZE(seq);
        }
        out.push_back(']');
        Py_DECREF(seq);
    } else if (PyDict_Check(obj)) {
        enter_container(depth);
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        Py_INCREF(obj);
        try {
            while (PyDict_Next(obj, &pos, &k, &v)) {
                if (!first) out.push_back(',');
                first = false;
                append_key(gil, k, out);
                out.push_back(':');
                append_depth(gil, v, out, depth + 1);
            }
        } catch (...) {
            Py_DECREF(obj);
            throw;
        }
        Py_DECREF(obj);
        out.push_back('}');
    } else {
        throw EncodeError("Type is not JSON serializable: " + type_name(obj));
    }
}

}  // namespace

void append_str(const GilHeld&, PyObject* str, std::string& out) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s) {
        json_text::append_string(out, std::string_view(s, std::size_t(len)));
        return;
    }
    PyErr_Clear();
    json_text::append_string(out, surrogate_text(str));
}

void append(const GilHeld& gil, PyObject* obj, std::string& out) { append_depth(gil, obj, out, 0); }

std::string utf8_of(const GilHeld&, PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s) return std::string(s, std::size_t(len));
    PyErr_Clear();
    return surrogate_text(str);
}

PyObject* to_python(const GilHeld& gil, const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::null: Py_RETURN_NONE;
        case boost::json::kind::bool_: return PyBool_FromLong(v.get_bool());
        case boost::json::kind::int64: return PyLong_FromLongLong(v.get_int64());
        case boost::json::kind::uint64: return PyLong_FromUnsignedLongLong(v.get_uint64());
        case boost::json::kind::double_: return PyFloat_FromDouble(v.get_double());
        case boost::json::kind::string: {
            const auto& s = v.get_string();
            return str_from(s.data(), s.size());
        }
        case boost::json::kind::array: {
            const auto& a = v.get_array();
            PyObject* list = PyList_New(Py_ssize_t(a.size()));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < a.size(); ++i) {
                PyObject* item = to_python(gil, a[i]);
                if (!item) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyList_SET_ITEM(list, Py_ssize_t(i), item);
            }
            return list;
        }
        case boost::json::kind::object: {
            if (const auto* digits = json_bigint::digits(v)) return PyLong_FromString(digits->c_str(), nullptr, 10);
            PyObject* dict = PyDict_New();
            if (!dict) return nullptr;
            for (const auto& kv : v.get_object()) {
                PyObject* key = str_from(kv.key().data(), kv.key().size());
                PyObject* val = key ? to_python(gil, kv.value()) : nullptr;
                if (!val || PyDict_SetItem(dict, key, val) < 0) {
                    Py_XDECREF(key);
                    Py_XDECREF(val);
                    Py_DECREF(dict);
                    return nullptr;
                }
                Py_DECREF(key);
                Py_DECREF(val);
            }
            return dict;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace gridlet::py_json

namespace gridlet::py_json {

PyObject* str_of(const GilHeld&, std::string_view text) { return str_from(text.data(), text.size()); }

}  // namespace gridlet::py_json
