#pragma once
// Read-only view of a numpy array of numbers or booleans through the buffer protocol, giving each
// element as `.tolist()` / `.item()` would make it: bool, a 64-bit integer or a double.
#include <cstddef>
#include <cstdint>

#include "kernel/gil.hpp"

namespace gridlet::numeric_buffer {

// Exactly numpy.ndarray (not a subclass), told by its static type's name so numpy need not be loaded.
bool is_ndarray(PyObject* obj);

enum class Kind { boolean, signed_int, unsigned_int, floating };

class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View();

    // Opens `obj` when it is exactly a numpy.ndarray whose dtype is bool, an integer of 1-8 bytes,
    // float32 or float64 in native byte order. False (no error set) for anything else.
    bool open(const GilHeld&, PyObject* obj);

    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int d) const { return view_.shape[d]; }
    Py_ssize_t stride(int d) const { return view_.strides[d]; }
    const char* data() const { return static_cast<const char*>(view_.buf); }
    Kind kind() const { return kind_; }
    Py_ssize_t itemsize() const { return view_.itemsize; }

    bool bool_at(const char* p) const { return *reinterpret_cast<const unsigned char*>(p) != 0; }
    std::int64_t signed_at(const char* p) const;
    std::uint64_t unsigned_at(const char* p) const;
    double double_at(const char* p) const;

private:
    Py_buffer view_{};
    bool open_ = false;
    Kind kind_ = Kind::floating;
};

}  // namespace gridlet::numeric_buffer
