#pragma once
// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes, the interpreter start for
// the targets that need Python, and a check that stops the run with a message.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// Consumes the input front to back; past the end every read yields zero / empty.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    std::size_t left() const { return std::size_t(end_ - p_); }
    std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    std::uint32_t below(std::uint32_t n) { return n ? byte() % n : 0; }
    std::string_view take(std::size_t n) {
        n = n < left() ? n : left();
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    std::string_view rest() { return take(left()); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Aborts with `what` (and the input is kept by libFuzzer as a crash) when `ok` is false.
void check(bool ok, std::string_view what);

// Starts the interpreter once, with the gridlet package on sys.path; the GIL is released after.
void start_python();

// Runs Python source in __main__ (for helpers the targets define); aborts when it fails.
void run_python(const char* source);
// A callable defined in __main__ (borrowed reference).
PyObject* main_attr(const char* name);

// `v` as the JSON writer sends it: non-finite doubles become null.
boost::json::value as_sent(const boost::json::value& v);
// Same value: numbers by numeric value (int64 and uint64 alike, doubles bitwise), objects by keys.
bool same_json(const boost::json::value& a, const boost::json::value& b);

}  // namespace fuzz
