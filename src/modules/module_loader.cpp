#include "modules/module_loader.hpp"

#include <stdexcept>

#include "execution/active_runs.hpp"
#include "kernel/py_class.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "modules/import_graph.hpp"
#include "util/log.hpp"

namespace gridlet {
namespace {

PyObject* g_loader_class = nullptr;
PyObject* g_module_spec = nullptr;

PyRef cache_of(PyObject* self) { return PyRef::steal(PyObject_GetAttrString(self, "source_cache")); }

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
    PyRef cache = PyRef::steal(PyDict_New());
    if (!cache || PyObject_SetAttrString(self, "source_cache", cache.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* find_spec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"fullname", "path", "target", nullptr};
    PyObject *fullname, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:find_spec", const_cast<char**>(kwlist), &fullname, &path,
                                     &target))
        return nullptr;
    if (!require_str(fullname, "fullname")) return nullptr;
    PyRef cache = cache_of(self);
    if (!cache) return nullptr;
    int found =
        PyDict_Check(cache.get()) ? PyDict_Contains(cache.get(), fullname) : PySequence_Contains(cache.get(), fullname);
    if (found < 0) return nullptr;
    if (!found) Py_RETURN_NONE;
    return PyObject_CallFunctionObjArgs(g_module_spec, fullname, self, nullptr);
}

PyObject* create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

bool register_lines(PyObject* filename, PyObject* source) {
    PyRef linecache = PyRef::steal(PyImport_ImportModule("linecache"));
    if (!linecache) return false;
    PyRef cache = PyRef::steal(PyObject_GetAttrString(linecache.get(), "cache"));
    if (!cache) return false;
    PyRef raw = PyRef::steal(PyUnicode_Splitlines(source, 0));
    PyRef newline = PyRef::steal(PyUnicode_FromString("\n"));
    if (!raw || !newline) return false;
    PyRef lines = PyRef::steal(PyList_New(PyList_GET_SIZE(raw.get())));
    if (!lines) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw.get()); ++i) {
        PyObject* line = PyUnicode_Concat(PyList_GET_ITEM(raw.get(), i), newline.get());  // borrowed item
        if (!line) return false;
        PyList_SET_ITEM(lines.get(), i, line);  // steals
    }
    PyRef entry = PyRef::steal(Py_BuildValue("(nOOO)", PyUnicode_GET_LENGTH(source), Py_None, lines.get(), filename));
    return entry && PyObject_SetItem(cache.get(), filename, entry.get()) == 0;
}

// Drops leading traceback entries that belong to the kernel's own Python code, so the user's
// traceback starts in the module's lines.
bool is_kernel_frame(const GilHeld& gil, PyObject* tb) {
    PyRef frame = PyRef::steal(PyObject_GetAttrString(tb, "tb_frame"));
    PyRef globals = PyRef::steal(frame ? PyObject_GetAttrString(frame.get(), "f_globals") : nullptr);
    PyObject* name = globals ? PyDict_GetItemString(globals.get(), "__name__") : nullptr;  // borrowed
    py_error::clear_logged(gil, "InMemoryModuleLoader traceback frame");
    return name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "_gridlet_kernel") == 0;
}

PyRef trim_kernel_frames(const GilHeld& gil, PyRef tb) {
    while (tb && tb.get() != Py_None && is_kernel_frame(gil, tb.get())) {
        tb = PyRef::steal(PyObject_GetAttrString(tb.get(), "tb_next"));
        py_error::clear_logged(gil, "InMemoryModuleLoader traceback tb_next");
    }
    return tb;
}

PyObject* exec_module(PyObject* self, PyObject* module) {
    const GilHeld& gil = GilHeld::from_python();
    PyRef name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name) return nullptr;
    PyRef cache = cache_of(self);
    PyRef source = PyRef::steal(cache ? PyObject_GetItem(cache.get(), name.get()) : nullptr);
    if (!source) {
        py_error::clear_expecting(gil, PyExc_KeyError, "InMemoryModuleLoader source lookup");
        PyErr_Format(PyExc_ImportError, "No source code found for module '%U'", name.get());
        return nullptr;
    }
    PyRef filename = PyRef::steal(virtual_name(name.get()));
    if (!filename) return nullptr;
    if (!register_lines(filename.get(), source.get())) {
        ActiveRun::keep_interrupt();
        py_error::clear_logged(gil, "InMemoryModuleLoader linecache");
    }
    import_graph::ExecScope executing(gil, name.get());

    static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    PyRef code = PyRef::steal(PyObject_CallFunction(compile_fn, "OOs", source.get(), filename.get(), "exec"));
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (code && drop(PyEval_EvalCode(code.get(), dict, dict))) Py_RETURN_NONE;

    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    PyErr_NormalizeException(&t, &v, &b);
    PyRef type = PyRef::steal(t), value = PyRef::steal(v), tb = PyRef::steal(b);
    PyRef message = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
    if (!message) py_error::clear_logged(gil, "InMemoryModuleLoader error message");
    GLOG_ERROR("[InMemoryModuleLoader] Error executing module '{}': {}", text(name.get()),
               message ? text(message.get()) : "");
    tb = trim_kernel_frames(gil, std::move(tb));
    if (value) {
        PyException_SetTraceback(value.get(), tb ? tb.get() : Py_None);
        PyException_SetCause(value.get(), nullptr);  // raise ... from None
    }
    PyErr_Restore(type.release(), value.release(), tb.release());
    return nullptr;
}

PyObject* update_module_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "update_module(module_name, code) takes two arguments");
        return nullptr;
    }
    if (!require_str(args[0], "module_name") || !require_str(args[1], "code")) return nullptr;
    PyRef cache = cache_of(self);
    if (!cache || PyObject_SetItem(cache.get(), args[0], args[1]) < 0) return nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_Contains(modules, args[0]) == 1) {
        PyDict_DelItem(modules, args[0]);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules to force reload", text(args[0]));
    }
    import_graph::unload_importers(GilHeld::from_python(), args[0], " to force reload");
    Py_RETURN_NONE;
}

PyObject* delete_module_method(PyObject* self, PyObject* name) {
    const GilHeld& gil = GilHeld::from_python();
    if (!require_str(name, "module_name")) return nullptr;
    PyRef cache = cache_of(self);
    if (!cache) return nullptr;
    if (PyDict_Check(cache.get()) && PyDict_Contains(cache.get(), name) == 1) {
        PyDict_DelItem(cache.get(), name);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from source_cache", text(name));
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_Contains(modules, name) == 1) {
        PyDict_DelItem(modules, name);
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules", text(name));
    }
    import_graph::unload_importers(gil, name, "");
    import_graph::forget(gil, name);
    PyRef filename = PyRef::steal(virtual_name(name));
    PyRef linecache = PyRef::steal(PyImport_ImportModule("linecache"));
    PyRef lc = PyRef::steal(linecache ? PyObject_GetAttrString(linecache.get(), "cache") : nullptr);
    if (filename && lc && PyDict_Check(lc.get()) && PyDict_Contains(lc.get(), filename.get()) == 1) {
        PyDict_DelItem(lc.get(), filename.get());
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from linecache", text(filename.get()));
    }
    py_error::clear_logged(gil, "InMemoryModuleLoader.delete_module cleanup");
    Py_RETURN_NONE;
}

PyMethodDef loader_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(loader_init), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"find_spec", reinterpret_cast<PyCFunction>(find_spec), METH_VARARGS | METH_KEYWORDS,
     "Spec for a module held in source_cache, else None."},
    {"create_module", create_module, METH_O, "Default module creation."},
    {"exec_module", exec_module, METH_O, "Run the module's source under its virtual file name."},
    {"update_module", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_module_method)), METH_FASTCALL,
     "Store or replace a module's source; the next import runs it again, and so does the next import of every "
     "workbook module that imports it."},
    {"delete_module", delete_module_method, METH_O,
     "Forget a module everywhere the loader put it; workbook modules that import it run again on their next import."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

void ModuleLoader::register_class(const GilHeld& gil, PyObject* module) {
    PyRef spec = PyRef::steal(PyImport_ImportModule("importlib.machinery"));
    if (spec) spec = PyRef::steal(PyObject_GetAttrString(spec.get(), "ModuleSpec"));
    PyRef cls =
        spec ? py_class::define(gil, module, "InMemoryModuleLoader",
                                "import importlib.abc\n"
                                "class InMemoryModuleLoader(importlib.abc.MetaPathFinder, importlib.abc.Loader):\n"
                                "    'Finds and loads the workbook modules held in source_cache.'\n",
                                loader_methods)
             : PyRef();
    if (!cls) {
        PyErr_Print();
        throw std::runtime_error("cannot define InMemoryModuleLoader");
    }
    // Both live as long as the process.
    g_loader_class = cls.release();
    g_module_spec = spec.release();
    import_graph::install(gil, g_loader_class);
}

ModuleLoader::ModuleLoader(const GilHeld& gil) {
    PyRef m = PyRef::steal(PyImport_ImportModule("_gridlet_kernel"));
    if (!m) {
        PyErr_Print();
        throw std::runtime_error("cannot import _gridlet_kernel");
    }
    PyRef loader = PyRef::steal(PyObject_GetAttrString(m.get(), "in_memory_loader"));
    if (!loader) {
        py_error::clear_if(gil, PyExc_AttributeError);  // the first kernel creates it
        loader = PyRef::steal(PyObject_CallNoArgs(g_loader_class));
        if (loader) PyObject_SetAttrString(m.get(), "in_memory_loader", loader.get());
    }
    if (!loader) {
        PyErr_Print();
        throw std::runtime_error("cannot create the module loader");
    }
    instance_ = loader.release();  // lives as long as the process
}

void ModuleLoader::ensure_registered(const GilHeld& gil, bool log_if_added) {
    PyObject* meta_path = PySys_GetObject("meta_path");
    if (!meta_path || !PyList_Check(meta_path)) return;
    int present = PySequence_Contains(meta_path, instance_);
    if (present == 1) return;
    if (present < 0) py_error::clear_logged(gil, "sys.meta_path lookup");
    PyList_Insert(meta_path, 0, instance_);
    if (log_if_added) GLOG_DEBUG("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
}

PyObject* ModuleLoader::source_cache(const GilHeld& gil) const {
    PyRef cache = PyRef::steal(PyObject_GetAttrString(instance_, "source_cache"));
    if (!cache) py_error::clear_logged(gil, "InMemoryModuleLoader.source_cache");
    return cache.get();  // borrowed: the instance keeps it alive
}

bool ModuleLoader::has_source(const GilHeld& gil, const std::string& name) const {
    PyObject* cache = source_cache(gil);
    if (!cache) return false;
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
    int found = key ? PySequence_Contains(cache, key.get()) : -1;
    if (found < 0) py_error::clear_logged(gil, "InMemoryModuleLoader source lookup");
    return found == 1;
}

bool ModuleLoader::update_module(const GilHeld&, PyObject* name, PyObject* code) {
    return drop(PyObject_CallMethod(instance_, "update_module", "OO", name, code));
}

bool ModuleLoader::delete_module(const GilHeld&, PyObject* name) {
    return drop(PyObject_CallMethod(instance_, "delete_module", "O", name));
}

}  // namespace gridlet
