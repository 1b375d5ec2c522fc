#pragma once
// Objects user code keeps by name across runs; every change is announced to the Business Layer.
#include <mutex>

#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;

class ObjectKeeper {
public:
    explicit ObjectKeeper(Kernel& kernel);

    // `key` is an exact str (checked by the caller). Throws std::invalid_argument for "".
    void save(const GilHeld&, PyObject* key, PyObject* obj);
    PyObject* get(const GilHeld&, PyObject* key);  // new reference (None when absent)
    void clear(const GilHeld&, PyObject* key);
    void clear_all(const GilHeld&);
    // [{"key","type","repr"}, ...] in insertion order; new reference, nullptr with an exception set.
    PyObject* registry(const GilHeld&);
    // Answers get_object_registry.
    void send_registry(const GilHeld&);

private:
    void announce(const GilHeld&, const char* action, PyObject* key, PyObject* obj);

    Kernel& kernel_;
    std::mutex mutex_;
    PyObject* objects_ = nullptr;  // dict: str -> object
};

}  // namespace gridlet
