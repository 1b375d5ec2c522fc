#pragma once
// InMemoryModuleLoader: the workbook's modules held as source and imported by name. A Python class
// whose bases are importlib.abc.MetaPathFinder and importlib.abc.Loader, with C++ methods and a
// real dict `source_cache`; one instance sits at the front of sys.meta_path.
#include <string>

#include "kernel/gil.hpp"

namespace gridlet {

class ModuleLoader {
public:
    explicit ModuleLoader(const GilHeld&);

    static void register_class(const GilHeld&, PyObject* module);
    static std::string virtual_file_name(const std::string& module_name) { return "<virtual:" + module_name + ">"; }

    // Inserts the loader at sys.meta_path[0] if it is not there.
    void ensure_registered(const GilHeld&, bool log_if_added);
    PyObject* instance() const { return instance_; }
    PyObject* source_cache(const GilHeld&) const;  // borrowed
    bool has_source(const GilHeld&, const std::string& name) const;

    // Both also remove from sys.modules the workbook modules that import the module, directly or
    // through other workbook modules (see import_graph.hpp), so their next import binds the new code.
    // Raise TypeError (Python error set, returns false) for non-str arguments.
    bool update_module(const GilHeld&, PyObject* name, PyObject* code);
    bool delete_module(const GilHeld&, PyObject* name);

private:
    PyObject* instance_ = nullptr;
};

}  // namespace gridlet
