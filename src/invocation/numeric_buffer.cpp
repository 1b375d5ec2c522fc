#include "invocation/numeric_buffer.hpp"

#include <bit>
#include <cstring>

#include "kernel/py_error.hpp"

namespace gridlet::numeric_buffer {
namespace {

static_assert(std::endian::native == std::endian::little, "buffer formats are read as little-endian");

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);  // strided views need not be aligned
    return v;
}

}  // namespace

bool is_ndarray(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    return !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(t->tp_name, "numpy.ndarray") == 0;
}

View::~View() {
    if (open_) PyBuffer_Release(&view_);
}

bool View::open(const GilHeld& gil, PyObject* obj) {
    if (!is_ndarray(obj)) return false;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
        // datetime and other dtypes have no buffer form (object arrays have one, refused below)
        py_error::clear_expecting(gil, PyExc_ValueError, "numpy array buffer");
        return false;
    }
    open_ = true;
    const char* f = view_.format ? view_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;  // native order (this build is little-endian only)
    if (!f[0] || f[1] || (view_.ndim > 0 && (!view_.strides || !view_.shape))) return false;
    const Py_ssize_t size = view_.itemsize;
    switch (*f) {
        case '?':
            kind_ = Kind::boolean;
            return size == 1;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
            kind_ = Kind::signed_int;
            return size == 1 || size == 2 || size == 4 || size == 8;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
            kind_ = Kind::unsigned_int;
            return size == 1 || size == 2 || size == 4 || size == 8;
        case 'f':
            kind_ = Kind::floating;
            return size == 4;
        case 'd':
            kind_ = Kind::floating;
            return size == 8;
        default:
            return false;
    }
}

std::int64_t View::signed_at(const char* p) const {
    switch (view_.itemsize) {
        case 1:
            return load<std::int8_t>(p);
        case 2:
            return load<std::int16_t>(p);
        case 4:
            return load<std::int32_t>(p);
        default:
            return load<std::int64_t>(p);
    }
}

std::uint64_t View::unsigned_at(const char* p) const {
    switch (view_.itemsize) {
        case 1:
            return load<std::uint8_t>(p);
        case 2:
            return load<std::uint16_t>(p);
        case 4:
            return load<std::uint32_t>(p);
        default:
            return load<std::uint64_t>(p);
    }
}

double View::double_at(const char* p) const { return view_.itemsize == 4 ? double(load<float>(p)) : load<double>(p); }

}  // namespace gridlet::numeric_buffer
