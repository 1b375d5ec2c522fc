#include "invocation/plain_walk.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "invocation/fast_repr.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "util/shortest_float.hpp"

namespace gridlet::plain_walk {
namespace {

// As the wire walk: deeper nesting is left to the separate walks (and the Python path).
constexpr int kMaxDepth = 200;

constexpr const char* kWhere = " while getting the repr of an object";

class Walker {
public:
    Walker(const GilHeld& gil, std::string& json, std::string& repr) : gil_(gil), json_(json), repr_(repr) {}

    // A list or tuple at nesting `depth`; the caller has written the separators before it.
    bool sequence(PyObject* seq, int depth) {
        if (depth >= kMaxDepth) return false;
        // repr() enters the container and then each element: both levels must be allowed, or the
        // separate walks raise the RecursionError repr() would.
        if (Py_EnterRecursiveCall(kWhere)) return give_up();
        const bool room = !Py_EnterRecursiveCall(kWhere);
        if (room) Py_LeaveRecursiveCall();
        const bool ok = room ? items(seq, depth) : give_up();
        Py_LeaveRecursiveCall();
        return ok;
    }

private:
    bool give_up() {
        py_error::clear_expecting(gil_, PyExc_RecursionError, "plain walk: recursion limit");
        return false;
    }

    bool items(PyObject* seq, int depth) {
        const bool is_tuple = Py_TYPE(seq) == &PyTuple_Type;
        json_.push_back('[');
        repr_.push_back(is_tuple ? '(' : '[');
        // Nothing in this walk runs Python code (it allocates no object the collector tracks, so
        // no finalizer runs); the container is held and its size read at each step all the same.
        const PyRef held = PyRef::borrow(seq);
        Py_ssize_t i = 0;
        for (; i < Py_SIZE(seq); ++i) {
            PyObject* item = is_tuple ? PyTuple_GET_ITEM(seq, i) : PyList_GET_ITEM(seq, i);
            if (!element(item, i > 0, depth)) return false;
        }
        if (is_tuple && i == 1) repr_.push_back(',');
        json_.push_back(']');
        repr_.push_back(is_tuple ? ')' : ']');
        return true;
    }

    // One element, after its separators when `sep`.
    bool element(PyObject* v, bool sep, int depth) {
        PyTypeObject* t = Py_TYPE(v);
        // A number goes into one buffer per text, separators first, then one copy each.
        char j[shortest_float::kMaxChars + 2], r[shortest_float::kMaxChars + 2];
        char* jp = j;
        char* rp = r;
        if (sep) {
            *jp++ = ',';
            *rp++ = ',';
            *rp++ = ' ';
        }
        if (t == &PyFloat_Type) {
            const double d = PyFloat_AS_DOUBLE(v);
            if (std::isfinite(d)) {
                const shortest_float::Decimal dec = shortest_float::decompose(d);
                jp = shortest_float::write_json(jp, dec);
                rp = shortest_float::write_repr(rp, dec);
            } else {
                jp = shortest_float::json(jp, d);
                rp = shortest_float::repr(rp, d);
            }
        } else if (t == &PyLong_Type) {
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow || (x == -1 && PyErr_Occurred())) {
                py_error::clear_logged(gil_, "plain walk: int value", py_error::Level::warning);
                return big_int(v, sep);
            }
            char* end = std::to_chars(jp, j + sizeof j, x).ptr;
            const std::size_t len = std::size_t(end - jp);
            std::memcpy(rp, jp, len);
            jp = end;
            rp += len;
        } else if (v == Py_None || t == &PyBool_Type) {
            const char* jt = v == Py_None ? "null" : v == Py_True ? "true" : "false";
            const char* rt = v == Py_None ? "None" : v == Py_True ? "True" : "False";
            const std::size_t jl = std::strlen(jt), rl = std::strlen(rt);
            std::memcpy(jp, jt, jl);
            std::memcpy(rp, rt, rl);
            jp += jl;
            rp += rl;
        } else {
            json_.append(j, jp);
            repr_.append(r, rp);
            if (t == &PyList_Type || t == &PyTuple_Type) return sequence(v, depth + 1);
            if (t == &PyUnicode_Type) return text(v);
            return false;
        }
        json_.append(j, jp);
        repr_.append(r, rp);
        return true;
    }

    // Beyond 64 bits: int's own digits, the same in both texts.
    bool big_int(PyObject* v, bool sep) {
        const PyRef digits = PyRef::steal(PyLong_Type.tp_repr(v));
        Py_ssize_t len = 0;
        const char* s = digits ? PyUnicode_AsUTF8AndSize(digits.get(), &len) : nullptr;
        if (!s) {
            py_error::clear_logged(gil_, "plain walk: int digits", py_error::Level::warning);
            return false;
        }
        if (sep) {
            json_.push_back(',');
            repr_ += ", ";
        }
        json_.append(s, std::size_t(len));
        repr_.append(s, std::size_t(len));
        return true;
    }

    bool text(PyObject* s) {
        py_json::append_str(gil_, s, json_);
        if (fast_repr::append_str(repr_, s)) return true;
        py_error::clear_logged(gil_, "plain walk: str repr", py_error::Level::warning);
        return false;
    }

    const GilHeld& gil_;
    std::string& json_;
    std::string& repr_;
};

}  // namespace

bool append(const GilHeld& gil, PyObject* value, std::string& json, std::string& repr) {
    PyTypeObject* t = Py_TYPE(value);
    if (t != &PyList_Type && t != &PyTuple_Type) return false;
    Walker walker(gil, json, repr);
    return walker.sequence(value, 0);
}

}  // namespace gridlet::plain_walk
