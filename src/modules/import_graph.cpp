#include "modules/import_graph.hpp"

#include <string>
#include <utility>
#include <vector>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/py_json.hpp"
#include "util/log.hpp"

namespace gridlet::import_graph {
namespace {

PyObject* g_original_import = nullptr;
PyObject* g_loader_class = nullptr;
PyObject* g_imports = nullptr;    // importer name -> set of imported workbook module names
PyObject* g_importers = nullptr;  // imported name -> set of importer names
PyObject* g_str_loader = nullptr;
PyObject* g_str_name = nullptr;
PyObject* g_str_package = nullptr;
PyObject* g_str_cache = nullptr;
PyObject* g_str_dot = nullptr;

// The interpreter-lifetime objects above are never released.

// Names of the workbook modules whose code runs on this thread, innermost last.
thread_local std::vector<PyRef> t_executing;

// Importers to unload whose own import was still running, with their log suffix. Never destroyed:
// entries left at exit must not be released after the interpreter is gone.
auto& g_pending = *new std::vector<std::pair<PyRef, std::string>>;

const GilHeld& gil() { return GilHeld::from_python(); }  // every function here runs under the GIL
bool g_finishing = false;

bool is_workbook_module(PyObject* module) {
    if (!g_loader_class || !PyModule_Check(module)) return false;
    PyObject* loader = PyDict_GetItemString(PyModule_GetDict(module), "__loader__");
    return loader && PyObject_TypeCheck(loader, reinterpret_cast<PyTypeObject*>(g_loader_class));
}

// True while the module's import is still running its top-level code: the import system puts
// the module back into sys.modules when that ends, so it cannot be taken out before.
bool initializing(PyObject* module) {
    PyObject* spec = PyDict_GetItemString(PyModule_GetDict(module), "__spec__");
    PyRef flag = PyRef::steal(spec ? PyObject_GetAttrString(spec, "_initializing") : nullptr);
    const bool yes = flag && PyObject_IsTrue(flag.get()) == 1;
    py_error::clear_expecting(gil(), PyExc_AttributeError, "import graph: __spec__._initializing");
    return yes;
}

// Removes `name` from sys.modules if a workbook module is there; false when that has to wait.
bool unload(PyObject* name, const std::string& suffix) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (!module || !is_workbook_module(module)) {
        py_error::clear_logged(gil(), "import graph: sys.modules lookup");
        return true;
    }
    if (initializing(module)) return false;
    if (PyDict_DelItem(modules, name) == 0)
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules{}",
                   py_json::utf8_of(GilHeld::from_python(), name), suffix);
    py_error::clear_logged(gil(), "import graph: unloading from sys.modules");
    return true;
}

void finish_pending() {
    if (g_finishing) return;
    g_finishing = true;
    auto pending = std::move(g_pending);
    g_pending.clear();
    for (auto& [name, suffix] : pending) {
        if (!unload(name.get(), suffix)) g_pending.emplace_back(std::move(name), std::move(suffix));
    }
    g_finishing = false;
}

bool ready() {
    if (g_imports) return true;
    g_imports = PyDict_New();
    g_importers = PyDict_New();
    g_str_loader = PyUnicode_InternFromString("__loader__");
    g_str_name = PyUnicode_InternFromString("__name__");
    g_str_package = PyUnicode_InternFromString("__package__");
    g_str_cache = PyUnicode_InternFromString("source_cache");
    g_str_dot = PyUnicode_InternFromString(".");
    if (g_imports && g_importers && g_str_loader && g_str_name && g_str_package && g_str_cache && g_str_dot)
        return true;
    py_error::clear_logged(gil(), "import graph: tables", py_error::Level::warning);
    drop(std::exchange(g_imports, nullptr));  // retried next time
    return false;
}

bool add_to(PyObject* table, PyObject* key, PyObject* value) {
    PyObject* set = PyDict_GetItemWithError(table, key);  // borrowed
    if (!set) {
        if (PyErr_Occurred()) return false;
        PyRef fresh = PyRef::steal(PySet_New(nullptr));
        if (!fresh || PyDict_SetItem(table, key, fresh.get()) < 0) return false;
        set = fresh.get();  // the table keeps it alive
    }
    return PySet_Add(set, value) == 0;
}

void record(PyObject* importer, PyObject* imported) {
    if (!ready()) return;
    int same = PyUnicode_Compare(importer, imported);
    if (same == 0) return;
    if (!add_to(g_importers, imported, importer) || !add_to(g_imports, importer, imported))
        py_error::clear_logged(gil(), "import graph: recording an import");
}

void forget_imports_of(PyObject* importer) {
    if (!ready()) return;
    PyRef imported = PyRef::borrow(PyDict_GetItemWithError(g_imports, importer));
    if (!imported) {
        py_error::clear_logged(gil(), "import graph: imports lookup");
        return;
    }
    PyDict_DelItem(g_imports, importer);
    PyRef it = PyRef::steal(PyObject_GetIter(imported.get()));
    while (PyRef name = PyRef::steal(it ? PyIter_Next(it.get()) : nullptr)) {
        PyObject* back = PyDict_GetItemWithError(g_importers, name.get());  // borrowed
        if (back && PySet_Discard(back, importer) >= 0 && PySet_GET_SIZE(back) == 0)
            PyDict_DelItem(g_importers, name.get());
    }
    py_error::clear_logged(gil(), "import graph: forgetting imports");
}

// The absolute name an import statement asked for: `name` itself, or for a relative import the
// importer's package cut by `level` (as the import system resolves it). Null if there is none.
PyRef absolute_name(PyObject* name, PyObject* globals, long level) {
    if (level <= 0) return PyRef::borrow(name);
    PyObject* package = PyDict_GetItemWithError(globals, g_str_package);  // borrowed
    if (!package || !PyUnicode_Check(package) || PyUnicode_GET_LENGTH(package) == 0) return {};
    PyRef parts = PyRef::steal(PyUnicode_RSplit(package, g_str_dot, level - 1));
    if (!parts || PyList_GET_SIZE(parts.get()) < level) return {};
    PyObject* base = PyList_GET_ITEM(parts.get(), 0);  // borrowed
    if (PyUnicode_GET_LENGTH(name) == 0) return PyRef::borrow(base);
    return PyRef::steal(PyUnicode_FromFormat("%U.%U", base, name));
}

void record_if_workbook(PyObject* cache, PyObject* importer, PyObject* name) {
    int held = PyDict_Contains(cache, name);
    if (held == 1) record(importer, name);
}

// An import statement run by workbook module `importer` succeeded: record every workbook module it
// named: the module and its package prefixes, and the submodules listed after `from ... import`.
void note_import(PyObject* loader, PyObject* globals, PyObject* name, PyObject* fromlist, PyObject* level) {
    PyObject* importer = PyDict_GetItemWithError(globals, g_str_name);  // borrowed
    if (!importer || !PyUnicode_Check(importer) || !name || !PyUnicode_Check(name)) {
        py_error::clear_logged(gil(), "import graph: importer name");
        return;
    }
    long lvl = level && PyLong_Check(level) ? PyLong_AsLong(level) : 0;
    PyRef cache = PyRef::steal(PyObject_GetAttr(loader, g_str_cache));
    PyRef full = cache && PyDict_Check(cache.get()) ? absolute_name(name, globals, lvl) : PyRef();
    if (!full) {
        py_error::clear_logged(gil(), "import graph: absolute name");
        return;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(full.get());
    for (Py_ssize_t dot = PyUnicode_FindChar(full.get(), '.', 0, length, 1); dot >= 0;
         dot = PyUnicode_FindChar(full.get(), '.', dot + 1, length, 1)) {
        if (PyRef prefix = PyRef::steal(PyUnicode_Substring(full.get(), 0, dot)))
            record_if_workbook(cache.get(), importer, prefix.get());
    }
    record_if_workbook(cache.get(), importer, full.get());
    if (fromlist && (PyTuple_Check(fromlist) || PyList_Check(fromlist))) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fromlist);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(fromlist, i);  // borrowed
            if (!PyUnicode_Check(item) || PyUnicode_CompareWithASCIIString(item, "*") == 0) continue;
            if (PyRef sub = PyRef::steal(PyUnicode_FromFormat("%U.%U", full.get(), item)))
                record_if_workbook(cache.get(), importer, sub.get());
        }
    }
    py_error::clear_logged(gil(), "import graph: noting an import");
}

PyObject* argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t index, const char* name) {
    if (index < nargs) return args[index];
    if (!kwnames) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), name) == 0) return args[nargs + i];
    return nullptr;
}

// builtins.__import__: the interpreter's own import, then a look at who imported.
PyObject* tracking_import(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!g_pending.empty()) finish_pending();
    PyObject* result = PyObject_Vectorcall(g_original_import, args, nargs, kwnames);
    if (!result) return nullptr;
    PyObject* globals = argument(args, nargs, kwnames, 1, "globals");
    if (!globals || !PyDict_Check(globals)) return result;
    PyObject* loader = PyDict_GetItemWithError(globals, g_str_loader);
    if (!loader) {
        py_error::clear_logged(gil(), "import graph: __loader__ lookup");
        return result;
    }
    if (!PyObject_TypeCheck(loader, reinterpret_cast<PyTypeObject*>(g_loader_class))) return result;
    PyRef held = PyRef::borrow(loader);  // the import may have replaced globals' entry
    note_import(held.get(), globals, argument(args, nargs, kwnames, 0, "name"),
                argument(args, nargs, kwnames, 3, "fromlist"), argument(args, nargs, kwnames, 4, "level"));
    return result;
}

std::string g_import_doc;
PyMethodDef g_import_def = {"__import__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tracking_import)),
                            METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

void install(const GilHeld& gil, PyObject* loader_class) {
    if (g_original_import || !ready()) return;
    if (!g_loader_class) g_loader_class = Py_NewRef(loader_class);
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyRef original = PyRef::steal(builtins ? PyObject_GetAttrString(builtins.get(), "__import__") : nullptr);
    if (!original) {
        py_error::clear_logged(gil, "import graph: builtins.__import__", py_error::Level::warning);
        return;
    }
    PyRef doc = PyRef::steal(PyObject_GetAttrString(original.get(), "__doc__"));
    if (const char* text = doc && PyUnicode_Check(doc.get()) ? PyUnicode_AsUTF8(doc.get()) : nullptr)
        g_import_doc = text;
    py_error::clear_logged(gil, "import graph: __import__.__doc__");
    g_import_def.ml_doc = g_import_doc.empty() ? nullptr : g_import_doc.c_str();
    PyRef module_name = PyRef::steal(PyUnicode_FromString("builtins"));
    PyRef hook = PyRef::steal(module_name ? PyCFunction_NewEx(&g_import_def, nullptr, module_name.get()) : nullptr);
    if (hook && PyObject_SetAttrString(builtins.get(), "__import__", hook.get()) == 0)
        g_original_import = original.release();  // kept for the life of the interpreter
    else py_error::clear_logged(gil, "import graph: installing __import__", py_error::Level::warning);
}

void forget(const GilHeld&, PyObject* name) { forget_imports_of(name); }

ExecScope::ExecScope(const GilHeld&, PyObject* name) {
    forget_imports_of(name);
    if (!t_executing.empty()) record(t_executing.back().get(), name);
    t_executing.push_back(PyRef::borrow(name));
}

ExecScope::~ExecScope() { t_executing.pop_back(); }

PyObject* importers_of(const GilHeld& gil, PyObject* name) {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out || !ready()) return out.release();
    PyRef seen = PyRef::steal(PySet_New(nullptr));
    PyRef queue = PyRef::steal(PyList_New(0));
    if (!seen || !queue || PySet_Add(seen.get(), name) < 0 || PyList_Append(queue.get(), name) < 0) {
        py_error::clear_logged(gil, "import graph: importers");
        return out.release();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(queue.get()); ++i) {
        PyObject* importers = PyDict_GetItemWithError(g_importers, PyList_GET_ITEM(queue.get(), i));  // borrowed
        if (!importers) continue;
        PyRef ordered = PyRef::steal(PySequence_List(importers));  // sorted: a stable, readable log order
        if (!ordered || PyList_Sort(ordered.get()) < 0) break;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(ordered.get()); ++j) {
            PyObject* importer = PyList_GET_ITEM(ordered.get(), j);  // borrowed
            if (PySet_Contains(seen.get(), importer) != 0) continue;
            if (PySet_Add(seen.get(), importer) < 0 || PyList_Append(queue.get(), importer) < 0 ||
                PyList_Append(out.get(), importer) < 0)
                break;
        }
    }
    py_error::clear_logged(gil, "import graph: importers");
    return out.release();
}

void settle(const GilHeld&) {
    if (!g_pending.empty()) finish_pending();
}

void unload_importers(const GilHeld& gil, PyObject* name, const char* suffix) {
    finish_pending();
    PyRef importers = PyRef::steal(importers_of(gil, name));
    for (Py_ssize_t i = 0; importers && i < PyList_GET_SIZE(importers.get()); ++i) {
        PyObject* importer = PyList_GET_ITEM(importers.get(), i);  // borrowed
        if (!unload(importer, suffix)) g_pending.emplace_back(PyRef::borrow(importer), suffix);
    }
    py_error::clear_logged(gil, "import graph: unloading importers");
}

}  // namespace gridlet::import_graph
