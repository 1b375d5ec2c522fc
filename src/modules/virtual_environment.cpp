#include "modules/virtual_environment.hpp"

#include <algorithm>
#include <set>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

PyObject* path_list() { return PySys_GetObject("path"); }  // borrowed

PyRef py_text(const std::string& s) { return PyRef::steal(py_json::str_of(GilHeld::from_python(), s)); }

}  // namespace

VirtualEnvironment::VirtualEnvironment(const GilHeld& gil, std::string workbook_id)
    : workbook_id_(std::move(workbook_id)), original_path_(sys_path(gil)) {}

std::vector<std::string> VirtualEnvironment::sys_path(const GilHeld& gil) {
    std::vector<std::string> out;
    PyObject* list = path_list();
    if (!list || !PyList_Check(list)) return out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyUnicode_Check(item)) out.push_back(py_json::utf8_of(gil, item));
    }
    return out;
}

bool VirtualEnvironment::in_sys_path(const GilHeld& gil, const std::string& path) {
    PyRef p = py_text(path);
    int found = p ? PySequence_Contains(path_list(), p.get()) : -1;
    if (found < 0) py_error::clear_logged(gil, "sys.path lookup");
    return found == 1;
}

bool VirtualEnvironment::remove_from_sys_path(const GilHeld& gil, const std::string& path) {
    PyObject* list = path_list();
    PyRef p = py_text(path);
    Py_ssize_t at = p ? PySequence_Index(list, p.get()) : -1;
    if (at < 0) {
        py_error::clear_expecting(gil, PyExc_ValueError, "sys.path removal");  // ValueError: not there
        return false;
    }
    PySequence_DelItem(list, at);
    return true;
}

void VirtualEnvironment::insert_sys_path(const GilHeld&, Py_ssize_t index, const std::string& path) {
    if (PyRef p = py_text(path)) PyList_Insert(path_list(), index, p.get());
}

void VirtualEnvironment::append_sys_path(const GilHeld&, const std::string& path) {
    if (PyRef p = py_text(path)) PyList_Append(path_list(), p.get());
}

void VirtualEnvironment::add_path(const GilHeld& gil, const std::string& path) {
    if (std::find(custom_paths_.begin(), custom_paths_.end(), path) != custom_paths_.end()) return;
    custom_paths_.push_back(path);
    if (!in_sys_path(gil, path)) insert_sys_path(gil, 0, path);
}

void VirtualEnvironment::remove_path(const GilHeld& gil, const std::string& path) {
    auto it = std::find(custom_paths_.begin(), custom_paths_.end(), path);
    if (it == custom_paths_.end()) return;
    custom_paths_.erase(it);
    remove_from_sys_path(gil, path);
}

void VirtualEnvironment::reset_path(const GilHeld& gil) {
    PyObject* list = path_list();
    PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr);
    for (const auto& p : original_path_) append_sys_path(gil, p);
    custom_paths_.clear();
}

std::vector<std::string> VirtualEnvironment::unload_modules_from(const GilHeld& gil,
                                                                 const std::vector<std::string>& stale) {
    std::vector<std::string> unload;
    if (stale.empty()) return unload;
    PyObject* modules = PyImport_GetModuleDict();
    PyRef items = PyRef::steal(PyDict_Items(modules));  // snapshot
    if (!items) {
        py_error::clear_logged(gil, "sys.modules snapshot");
        return unload;
    }
    std::set<std::string> packages;
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(name)) continue;
        std::string n = py_json::utf8_of(gil, name);
        names.push_back(n);
        PyRef file = PyRef::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(pair, 1), "__file__"));
        if (!file) {
            // no __file__ (built-in modules); a module whose attribute lookup fails is logged
            py_error::clear_expecting(gil, PyExc_AttributeError, "module __file__");
            continue;
        }
        if (PyUnicode_Check(file.get())) {
            std::string f = py_json::utf8_of(gil, file.get());
            for (const auto& s : stale) {
                if (f.starts_with(s)) {
                    packages.insert(n.substr(0, n.find('.')));
                    break;
                }
            }
        }
    }
    for (const auto& n : names)
        if (packages.count(n.substr(0, n.find('.')))) unload.push_back(n);
    std::stable_sort(unload.begin(), unload.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '.') > std::count(b.begin(), b.end(), '.');
    });
    for (const auto& n : unload) {
        PyRef key = py_text(n);
        if (key && PyDict_Contains(modules, key.get()) == 1) {
            PyDict_DelItem(modules, key.get());
            GLOG_DEBUG("Unloaded module: {}", n);
        }
    }
    py_error::clear_logged(gil, "unloading modules");
    return unload;
}

}  // namespace gridlet
