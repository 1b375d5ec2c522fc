#include "invocation/fast_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "util/memory_release.hpp"
#include "util/shortest_float.hpp"
#include "util/utf8.hpp"

namespace gridlet::fast_repr {
namespace {

constexpr const char* kWhere = " while getting the repr of an object";

void append_hex(std::string& out, char tag, Py_UCS4 c, int digits) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('\\');
    out.push_back(tag);
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(hex[(c >> shift) & 0xF]);
}

}  // namespace

// str.__repr__: single quotes unless the text has a single quote and no double quote; the quote,
// the backslash, \t \n \r escaped; other control characters and non-printable characters as
// \xHH, \uHHHH or \UHHHHHHHH; printable characters as themselves.
bool append_str(std::string& out, PyObject* s) {
    if (PyUnicode_READY(s) < 0) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    bool has_single = false, has_double = false;
    if (kind == PyUnicode_1BYTE_KIND) {
        has_single = std::memchr(data, '\'', std::size_t(n)) != nullptr;
        has_double = std::memchr(data, '"', std::size_t(n)) != nullptr;
    }
    for (Py_ssize_t i = 0; kind != PyUnicode_1BYTE_KIND && i < n && !(has_single && has_double); ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        has_single |= c == '\'';
        has_double |= c == '"';
    }
    const char quote = has_single && !has_double ? '"' : '\'';
    // A long text's repr is about as long as the text: room for it at once (huge pages when big).
    if (n >= 65536)
        memory_release::reserve_large(
            out, out.size() + std::size_t(n) * (kind == PyUnicode_1BYTE_KIND ? 1 : 3) + std::size_t(n) / 16 + 2);
    out.push_back(quote);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (kind == PyUnicode_1BYTE_KIND) {
            // Runs of printable ASCII other than the quote and the backslash are copied as they are.
            const auto* bytes = static_cast<const unsigned char*>(data);
            Py_ssize_t j = i;
            while (j < n && bytes[j] >= ' ' && bytes[j] < 0x7F && bytes[j] != quote && bytes[j] != '\\') ++j;
            if (j > i) {
                out.append(reinterpret_cast<const char*>(bytes + i), std::size_t(j - i));
                i = j;
                if (i == n) break;
            }
        }
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == Py_UCS4(quote) || c == '\\') {
            out.push_back('\\');
            out.push_back(char(c));
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < ' ' || c == 0x7F) {
            append_hex(out, 'x', c, 2);
        } else if (c < 0x7F) {
            out.push_back(char(c));
        } else if (Py_UNICODE_ISPRINTABLE(c)) {
            utf8::append(out, c);
        } else if (c <= 0xFF) {
            append_hex(out, 'x', c, 2);
        } else if (c <= 0xFFFF) {
            append_hex(out, 'u', c, 4);
        } else {
            append_hex(out, 'U', c, 8);
        }
    }
    out.push_back(quote);
    return true;
}

namespace {

// Beyond 64 bits the digits come from int's own repr.
bool append_int(const GilHeld& gil, std::string& out, PyObject* v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow && !(x == -1 && PyErr_Occurred())) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, x);
        out.append(buf, res.ptr);
        return true;
    }
    if (!overflow) py_error::clear_logged(gil, "repr: int value", py_error::Level::warning);
    const PyRef text = PyRef::steal(PyLong_Type.tp_repr(v));
    if (!text) return false;
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!s) return false;
    out.append(s, std::size_t(len));
    return true;
}

bool append_object(const GilHeld& gil, PyObject* v, std::string& out) {
    const PyRef r = PyRef::steal(PyObject_Repr(v));
    if (!r) return false;
    out += py_json::utf8_of(gil, r.get());
    return true;
}

class Writer {
public:
    Writer(const GilHeld& gil, std::string& out) : gil_(gil), out_(out) {}

    // One value, entered as PyObject_Repr enters it, so nesting hits the recursion limit where
    // repr() would.
    bool value(PyObject* v) {
        if (Py_EnterRecursiveCall(kWhere)) return false;
        const bool ok = entered(v);
        Py_LeaveRecursiveCall();
        return ok;
    }

private:
    bool entered(PyObject* v) {
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyFloat_Type) {
            append_float(out_, PyFloat_AS_DOUBLE(v));
            return true;
        }
        if (t == &PyUnicode_Type) return append_str(out_, v);
        if (v == Py_None) {
            out_ += "None";
            return true;
        }
        if (v == Py_True || v == Py_False) {
            out_ += v == Py_True ? "True" : "False";
            return true;
        }
        if (t == &PyLong_Type) return append_int(gil_, out_, v);
        if (t != &PyList_Type && t != &PyTuple_Type && t != &PyDict_Type) return append_object(gil_, v, out_);
        return container(v, t);
    }

    bool container(PyObject* v, PyTypeObject* t) {
        const bool is_dict = t == &PyDict_Type;
        const bool is_tuple = t == &PyTuple_Type;
        const Py_ssize_t size = is_dict ? PyDict_GET_SIZE(v) : Py_SIZE(v);
        const char open = is_dict ? '{' : is_tuple ? '(' : '[';
        const char close = is_dict ? '}' : is_tuple ? ')' : ']';
        if (size == 0) {
            out_.push_back(open);
            out_.push_back(close);
            return true;
        }
        const int seen = Py_ReprEnter(v);
        if (seen != 0) {
            if (seen < 0) return false;
            out_.push_back(open);
            out_ += "...";
            out_.push_back(close);
            return true;
        }
        // The container and the element being written are held: an element's repr runs Python code,
        // which could change the container.
        const PyRef held = PyRef::borrow(v);
        out_.push_back(open);
        bool ok = true;
        if (is_dict) {
            Py_ssize_t pos = 0;
            PyObject *k, *val;  // borrowed from the dict
            bool first = true;
            while (ok && PyDict_Next(v, &pos, &k, &val)) {
                if (!first) out_ += ", ";
                first = false;
                const PyRef key = PyRef::borrow(k), item = PyRef::borrow(val);
                ok = value(key.get());
                if (ok) {
                    out_ += ": ";
                    ok = value(item.get());
                }
            }
        } else {
            // A list is read again at each step: an element's repr may change it.
            for (Py_ssize_t i = 0; ok && i < Py_SIZE(v); ++i) {
                if (i) out_ += ", ";
                const PyRef item = PyRef::borrow(is_tuple ? PyTuple_GET_ITEM(v, i) : PyList_GET_ITEM(v, i));
                ok = value(item.get());
            }
            if (is_tuple && size == 1) out_.push_back(',');
        }
        out_.push_back(close);
        Py_ReprLeave(v);
        return ok;
    }

    const GilHeld& gil_;
    std::string& out_;
};

}  // namespace

void append_float(std::string& out, double d) {
    char buf[shortest_float::kMaxChars];
    out.append(buf, shortest_float::repr(buf, d));
}

bool append(const GilHeld& gil, PyObject* value, std::string& out) {
    Writer w(gil, out);
    return w.value(value);
}

}  // namespace gridlet::fast_repr
