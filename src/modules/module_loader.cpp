#include "modules/module_loader.hpp"

#include <stdexcept>

#include "execution/active_runs.hpp"
#include "messaging/py_json.hpp"
#include "modules/import_graph.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

PyObject* g_loader_class = nullptr;
PyObject* g_module_spec = nullptr;

PyObject* cache_of(PyObject* self) { return PyObject_GetAttrString(self, "source_cache"); }

bool require_str(PyObject* v, const char* what) {
    if (PyUnicode_Check(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(v)->tp_name);
    return false;
}

std::string text(PyObject* s) { return py_json::utf8_of(GilHeld::from_python(), s); }

PyObject* virtual_name(PyObject* name) { return PyUnicode_FromFormat("<virtual:%U>", name); }

PyObject* loader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!PyArg_ParseTuple(args, ":InMemoryModuleLoader")) return nullptr;
    (void)kwargs;
    PyObject* cache = PyDict_New();
    int rc = PyObject_SetAttrString(self, "source_cache", cache);
    Py_DECREF(cache);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* find_spec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"fullname", "path", "target", nullptr};
    PyObject *fullname, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:find_spec", const_cast<char**>(kwlist), &fullname, &path,
                                     &target))
        return nullptr;
    if (!require_str(fullname, "fullname")) return nullptr;
    PyObject* cache = cache_of(self);
    if (!cache) return nullptr;
    int found = PyDict_Check(cache) ? PyDict_Contains(cache, fullname) : PySequence_Contains(cache, fullname);
    Py_DECREF(cache);
    if (found < 0) return nullptr;
    if (!found) Py_RETURN_NONE;
    return PyObject_CallFunctionObjArgs(g_module_spec, fullname, self, nullptr);
}

PyObject* create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

bool register_lines(PyObject* filename, PyObject* source) {
    PyObject* linecache = PyImport_ImportModule("linecache");
    if (!linecache) return false;
    PyObject* cache = PyObject_GetAttrString(linecache, "cache");
    Py_DECREF(linecache);
    if (!cache) return false;
    PyObject* raw = PyUnicode_Splitlines(source, 0);
    PyObject* newline = PyUnicode_FromString("\n");
    PyObject* lines = raw ? PyList_New(PyList_GET_SIZE(raw)) : nullptr;
    for (Py_ssize_t i = 0; lines && i < PyList_GET_SIZE(raw); ++i)
        PyList_SET_ITEM(lines, i, PyUnicode_Concat(PyList_GET_ITEM(raw, i), newline));
    bool ok = false;
    if (lines) {
        PyObject* entry = Py_BuildValue("(nOOO)", PyUnicode_GET_LENGTH(source), Py_None, lines, filename);
        ok = entry && PyObject_SetItem(cache, filename, entry) == 0;
        Py_XDECREF(entry);
    }
    Py_XDECREF(lines);
    Py_XDECREF(raw);
    Py_DECREF(newline);
    Py_DECREF(cache);
    return ok;
}

// Drops leading traceback entries that belong to the kernel's own Python code, so the user's
// traceback starts in the module's lines.
PyObject* trim_kernel_frames(PyObject* tb) {
    while (tb && tb != Py_None) {
        PyObject* frame = PyObject_GetAttrString(tb, "tb_frame");
        PyObject* globals = frame ? PyObject_GetAttrString(frame, "f_globals") : nullptr;
        PyObject* name = globals ? PyDict_GetItemString(globals, "__name__") : nullptr;
        bool kernel_frame = name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "_gridlet_kernel") == 0;
        Py_XDECREF(globals);
        Py_XDECREF(frame);
        PyErr_Clear();
        if (!kernel_frame) break;
        PyObject* next = PyObject_GetAttrString(tb, "tb_next");
        PyErr_Clear();
        Py_DECREF(tb);
        tb = next;
    }
    return tb;
}

PyObject* exec_module(PyObject* self, PyObject* module) {
    PyObject* name = PyObject_GetAttrString(module, "__name__");
    if (!name) return nullptr;
    PyObject* cache = cache_of(self);
    PyObject* source = cache ? PyObject_GetItem(cache, name) : nullptr;
    Py_XDECREF(cache);
    if (!source) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "No source code found for module '%U'", name);
        Py_DECREF(name);
        return nullptr;
    }
    PyObject* filename = virtual_name(name);
    if (!register_lines(filename, source)) {
        ActiveRun::keep_interrupt();
        PyErr_Clear();
    }
    import_graph::ExecScope executing(GilHeld::from_python(), name);

    static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    PyObject* code = PyObject_CallFunction(compile_fn, "OOs", source, filename, "exec");
    PyObject* result = nullptr;
    if (code) {
        PyObject* dict = PyModule_GetDict(module);
        result = PyEval_EvalCode(code, dict, dict);
        Py_DECREF(code);
    }
    Py_DECREF(source);
    Py_DECREF(filename);
    if (result) {
        Py_DECREF(result);
        Py_DECREF(name);
        Py_RETURN_NONE;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* message = value ? PyObject_Str(value) : nullptr;
    if (!message) PyErr_Clear();
    GLOG_ERROR("[InMemoryModuleLoader] Error executing module '{}': {}", text(name), message ? text(message) : "");
    Py_XDECREF(message);
    Py_DECREF(name);
    tb = trim_kernel_frames(tb);
    if (value) {
        PyException_SetTraceback(value, tb ? tb : Py_None);
        PyException_SetCause(value, nullptr);  // raise ... from None
    }
    PyErr_Restore(type, value, tb);
    return nullptr;
}

PyObject* update_module_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "update_module(module_name, code) takes two arguments");
        return nullptr;
    }
    if (!require_str(args[0], "module_name") || !require_str(args[1], "code")) return nullptr;
    PyObject* cache = cache_of(self);
    if (!cache) return nullptr;
    int rc = PyObject_SetItem(cache, args[0], args[1]);
    Py_DECREF(cache);
    if (rc < 0) return nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_Contains(modules, args[0]) == 1) {
        PyDict_DelItem(modules, args[0]);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules to force reload", text(args[0]));
    }
    import_graph::unload_importers(GilHeld::from_python(), args[0], " to force reload");
    Py_RETURN_NONE;
}

PyObject* delete_module_method(PyObject* self, PyObject* name) {
    if (!require_str(name, "module_name")) return nullptr;
    PyObject* cache = cache_of(self);
    if (!cache) return nullptr;
    if (PyDict_Check(cache) && PyDict_Contains(cache, name) == 1) {
        PyDict_DelItem(cache, name);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from source_cache", text(name));
    }
    Py_DECREF(cache);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_Contains(modules, name) == 1) {
        PyDict_DelItem(modules, name);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules", text(name));
    }
    import_graph::unload_importers(GilHeld::from_python(), name, "");
    import_graph::forget(GilHeld::from_python(), name);
    PyObject* filename = virtual_name(name);
    PyObject* linecache = PyImport_ImportModule("linecache");
    PyObject* lc = linecache ? PyObject_GetAttrString(linecache, "cache") : nullptr;
    if (lc && PyDict_Check(lc) && PyDict_Contains(lc, filename) == 1) {
        PyDict_DelItem(lc, filename);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from linecache", text(filename));
    }
    Py_XDECREF(lc);
    Py_XDECREF(linecache);
    Py_DECREF(filename);
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef loader_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(loader_init), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"find_spec", reinterpret_cast<PyCFunction>(find_spec), METH_VARARGS | METH_KEYWORDS,
     "Spec for a module held in source_cache, else None."},
    {"create_module", create_module, METH_O, "Default module creation."},
    {"exec_module", exec_module, METH_O, "Run the module's source under its virtual file name."},
    {"update_module", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_module_method)),
     METH_FASTCALL,
     "Store or replace a module's source; the next import runs it again, and so does the next import of every "
     "workbook module that imports it."},
    {"delete_module", delete_module_method, METH_O,
     "Forget a module everywhere the loader put it; workbook modules that import it run again on their next import."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void ModuleLoader::register_class(const GilHeld&, PyObject* module) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals, "__name__", PyModule_GetNameObject(module));
    PyObject* r = PyRun_String(
        "import importlib.abc, importlib.machinery\n"
        "class InMemoryModuleLoader(importlib.abc.MetaPathFinder, importlib.abc.Loader):\n"
        "    'Finds and loads the workbook modules held in source_cache.'\n"
        "_spec = importlib.machinery.ModuleSpec\n",
        Py_file_input, globals, globals);
    if (!r) {
        PyErr_Print();
        throw std::runtime_error("cannot define InMemoryModuleLoader");
    }
    Py_DECREF(r);
    g_loader_class = PyDict_GetItemString(globals, "InMemoryModuleLoader");
    g_module_spec = PyDict_GetItemString(globals, "_spec");
    Py_INCREF(g_loader_class);
    Py_INCREF(g_module_spec);
    for (PyMethodDef* d = loader_methods; d->ml_name; ++d) {
        PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(g_loader_class), d);
        PyObject_SetAttrString(g_loader_class, d->ml_name, descr);
        Py_DECREF(descr);
    }
    PyModule_AddObjectRef(module, "InMemoryModuleLoader", g_loader_class);
    import_graph::install(GilHeld::from_python(), g_loader_class);
    Py_DECREF(globals);
}

ModuleLoader::ModuleLoader(const GilHeld&) {
    PyObject* m = PyImport_ImportModule("_gridlet_kernel");
    if (!m) {
        PyErr_Print();
        throw std::runtime_error("cannot import _gridlet_kernel");
    }
    instance_ = PyObject_GetAttrString(m, "in_memory_loader");
    if (!instance_) {
        PyErr_Clear();
        instance_ = PyObject_CallNoArgs(g_loader_class);
        PyObject_SetAttrString(m, "in_memory_loader", instance_);
    }
    Py_DECREF(m);
    if (!instance_) {
        PyErr_Print();
        throw std::runtime_error("cannot create the module loader");
    }
}

void ModuleLoader::ensure_registered(const GilHeld&, bool log_if_added) {
    PyObject* meta_path = PySys_GetObject("meta_path");
    if (!meta_path || !PyList_Check(meta_path)) return;
    int present = PySequence_Contains(meta_path, instance_);
    if (present == 1) return;
    PyErr_Clear();
    PyList_Insert(meta_path, 0, instance_);
    if (log_if_added) GLOG_DEBUG("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
}

PyObject* ModuleLoader::source_cache(const GilHeld&) const {
    PyObject* cache = PyObject_GetAttrString(instance_, "source_cache");
    if (!cache) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(cache);  // the instance keeps it alive
    return cache;
}

bool ModuleLoader::has_source(const GilHeld& gil, const std::string& name) const {
    PyObject* cache = source_cache(gil);
    if (!cache) return false;
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
    int found = key ? PySequence_Contains(cache, key) : -1;
    Py_XDECREF(key);
    if (found < 0) PyErr_Clear();
    return found == 1;
}

bool ModuleLoader::update_module(const GilHeld&, PyObject* name, PyObject* code) {
    PyObject* r = PyObject_CallMethod(instance_, "update_module", "OO", name, code);
    Py_XDECREF(r);
    return r != nullptr;
}

bool ModuleLoader::delete_module(const GilHeld&, PyObject* name) {
    PyObject* r = PyObject_CallMethod(instance_, "delete_module", "O", name);
    Py_XDECREF(r);
    return r != nullptr;
}

}  // namespace gridlet
