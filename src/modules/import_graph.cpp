#include "modules/import_graph.hpp"

#include <string>
#include <utility>
#include <vector>

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

// Names of the workbook modules whose code runs on this thread, innermost last (strong refs).
thread_local std::vector<PyObject*> t_executing;

// Importers to unload whose own import was still running (strong refs, with their log suffix).
std::vector<std::pair<PyObject*, std::string>> g_pending;
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
    PyObject* flag = spec ? PyObject_GetAttrString(spec, "_initializing") : nullptr;
    const bool yes = flag && PyObject_IsTrue(flag) == 1;
    Py_XDECREF(flag);
    PyErr_Clear();
    return yes;
}

// Removes `name` from sys.modules if a workbook module is there; false when that has to wait.
bool unload(PyObject* name, const std::string& suffix) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (!module || !is_workbook_module(module)) {
        PyErr_Clear();
        return true;
    }
    if (initializing(module)) return false;
    if (PyDict_DelItem(modules, name) == 0)
        GLOG_DEBUG("[InMemoryModuleLoader] Removed '{}' from sys.modules{}", py_json::utf8_of(GilHeld::from_python(), name),
                   suffix);
    PyErr_Clear();
    return true;
}

void finish_pending() {
    if (g_finishing) return;
    g_finishing = true;
    auto pending = std::move(g_pending);
    g_pending.clear();
    for (auto& [name, suffix] : pending) {
        if (unload(name, suffix)) {
            Py_DECREF(name);
        } else {
            g_pending.emplace_back(name, std::move(suffix));
        }
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
    if (g_imports && g_importers && g_str_loader && g_str_name && g_str_package && g_str_cache && g_str_dot) return true;
    PyErr_Clear();
    Py_CLEAR(g_imports);
    return false;
}

bool add_to(PyObject* table, PyObject* key, PyObject* value) {
    PyObject* set = PyDict_GetItemWithError(table, key);  // borrowed
    if (!set) {
        if (PyErr_Occurred()) return false;
        set = PySet_New(nullptr);
        if (!set) return false;
        int rc = PyDict_SetItem(table, key, set);
        Py_DECREF(set);
        if (rc < 0) return false;
    }
    return PySet_Add(set, value) == 0;
}

void record(PyObject* importer, PyObject* imported) {
    if (!ready()) return;
    int same = PyUnicode_Compare(importer, imported);
    if (same == 0) return;
    if (!add_to(g_importers, imported, importer) || !add_to(g_imports, importer, imported)) PyErr_Clear();
}

void forget_imports_of(PyObject* importer) {
    if (!ready()) return;
    PyObject* imported = PyDict_GetItemWithError(g_imports, importer);
    if (!imported) {
        PyErr_Clear();
        return;
    }
    Py_INCREF(imported);
    PyDict_DelItem(g_imports, importer);
    PyObject* it = PyObject_GetIter(imported);
    while (PyObject* name = it ? PyIter_Next(it) : nullptr) {
        PyObject* back = PyDict_GetItemWithError(g_importers, name);
        if (back && PySet_Discard(back, importer) >= 0 && PySet_GET_SIZE(back) == 0) PyDict_DelItem(g_importers, name);
        Py_DECREF(name);
    }
    Py_XDECREF(it);
    Py_DECREF(imported);
    PyErr_Clear();
}

// The absolute name an import statement asked for: `name` itself, or for a relative import the
// importer's package cut by `level` (as the import system resolves it). New reference or nullptr.
PyObject* absolute_name(PyObject* name, PyObject* globals, long level) {
    if (level <= 0) return Py_NewRef(name);
    PyObject* package = PyDict_GetItemWithError(globals, g_str_package);
    if (!package || !PyUnicode_Check(package) || PyUnicode_GET_LENGTH(package) == 0) return nullptr;
    PyObject* parts = PyUnicode_RSplit(package, g_str_dot, level - 1);
    if (!parts) return nullptr;
    PyObject* out = nullptr;
    if (PyList_GET_SIZE(parts) >= level) {
        PyObject* base = PyList_GET_ITEM(parts, 0);
        out = PyUnicode_GET_LENGTH(name) == 0 ? Py_NewRef(base) : PyUnicode_FromFormat("%U.%U", base, name);
    }
    Py_DECREF(parts);
    return out;
}

void record_if_workbook(PyObject* cache, PyObject* importer, PyObject* name) {
    int held = PyDict_Contains(cache, name);
    if (held == 1) record(importer, name);
}

// An import statement run by workbook module `importer` succeeded: record every workbook module it
// named: the module and its package prefixes, and the submodules listed after `from ... import`.
void note_import(PyObject* loader, PyObject* globals, PyObject* name, PyObject* fromlist, PyObject* level) {
    PyObject* importer = PyDict_GetItemWithError(globals, g_str_name);
    if (!importer || !PyUnicode_Check(importer) || !name || !PyUnicode_Check(name)) {
        PyErr_Clear();
        return;
    }
    long lvl = level && PyLong_Check(level) ? PyLong_AsLong(level) : 0;
    PyObject* cache = PyObject_GetAttr(loader, g_str_cache);
    PyObject* full = cache && PyDict_Check(cache) ? absolute_name(name, globals, lvl) : nullptr;
    if (full) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(full);
        Py_ssize_t dot = PyUnicode_FindChar(full, '.', 0, length, 1);
        while (dot >= 0) {
            PyObject* prefix = PyUnicode_Substring(full, 0, dot);
            if (prefix) record_if_workbook(cache, importer, prefix);
            Py_XDECREF(prefix);
            dot = PyUnicode_FindChar(full, '.', dot + 1, length, 1);
        }
        record_if_workbook(cache, importer, full);
        if (fromlist && (PyTuple_Check(fromlist) || PyList_Check(fromlist))) {
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(fromlist);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PySequence_Fast_GET_ITEM(fromlist, i);
                if (!PyUnicode_Check(item) || PyUnicode_CompareWithASCIIString(item, "*") == 0) continue;
                PyObject* sub = PyUnicode_FromFormat("%U.%U", full, item);
                if (sub) record_if_workbook(cache, importer, sub);
                Py_XDECREF(sub);
            }
        }
        Py_DECREF(full);
    }
    Py_XDECREF(cache);
    PyErr_Clear();
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
        PyErr_Clear();
        return result;
    }
    if (!PyObject_TypeCheck(loader, reinterpret_cast<PyTypeObject*>(g_loader_class))) return result;
    Py_INCREF(loader);
    note_import(loader, globals, argument(args, nargs, kwnames, 0, "name"), argument(args, nargs, kwnames, 3, "fromlist"),
                argument(args, nargs, kwnames, 4, "level"));
    Py_DECREF(loader);
    return result;
}

std::string g_import_doc;
PyMethodDef g_import_def = {"__import__",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tracking_import)),
                            METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace

void install(const GilHeld&, PyObject* loader_class) {
    if (g_original_import || !ready()) return;
    if (!g_loader_class) g_loader_class = Py_NewRef(loader_class);
    PyObject* builtins = PyImport_ImportModule("builtins");
    PyObject* original = builtins ? PyObject_GetAttrString(builtins, "__import__") : nullptr;
    if (!original) {
        Py_XDECREF(original);
        Py_XDECREF(builtins);
        PyErr_Clear();
        return;
    }
    if (PyObject* doc = PyObject_GetAttrString(original, "__doc__"); doc && PyUnicode_Check(doc)) {
        const char* text = PyUnicode_AsUTF8(doc);
        if (text) g_import_doc = text;
        Py_DECREF(doc);
    } else {
        Py_XDECREF(doc);
    }
    PyErr_Clear();
    g_import_def.ml_doc = g_import_doc.empty() ? nullptr : g_import_doc.c_str();
    PyObject* module_name = PyUnicode_FromString("builtins");
    PyObject* hook = module_name ? PyCFunction_NewEx(&g_import_def, nullptr, module_name) : nullptr;
    Py_XDECREF(module_name);
    if (hook && PyObject_SetAttrString(builtins, "__import__", hook) == 0) {
        g_original_import = original;  // keeps the reference
    } else {
        Py_DECREF(original);
        PyErr_Clear();
    }
    Py_XDECREF(hook);
    Py_DECREF(builtins);
}

void forget(const GilHeld&, PyObject* name) { forget_imports_of(name); }

ExecScope::ExecScope(const GilHeld&, PyObject* name) {
    forget_imports_of(name);
    if (!t_executing.empty()) record(t_executing.back(), name);
    t_executing.push_back(Py_NewRef(name));
}

ExecScope::~ExecScope() {
    PyObject* name = t_executing.back();
    t_executing.pop_back();
    Py_DECREF(name);
}

PyObject* importers_of(const GilHeld&, PyObject* name) {
    PyObject* out = PyList_New(0);
    if (!out || !ready()) return out;
    PyObject* seen = PySet_New(nullptr);
    PyObject* queue = PyList_New(0);
    if (!seen || !queue || PySet_Add(seen, name) < 0 || PyList_Append(queue, name) < 0) {
        Py_XDECREF(seen);
        Py_XDECREF(queue);
        PyErr_Clear();
        return out;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(queue); ++i) {
        PyObject* importers = PyDict_GetItemWithError(g_importers, PyList_GET_ITEM(queue, i));
        if (!importers) continue;
        PyObject* ordered = PySequence_List(importers);  // sorted: a stable, readable log order
        if (!ordered || PyList_Sort(ordered) < 0) {
            Py_XDECREF(ordered);
            break;
        }
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(ordered); ++j) {
            PyObject* importer = PyList_GET_ITEM(ordered, j);
            if (PySet_Contains(seen, importer) != 0) continue;
            if (PySet_Add(seen, importer) < 0 || PyList_Append(queue, importer) < 0 || PyList_Append(out, importer) < 0)
                break;
        }
        Py_DECREF(ordered);
    }
    Py_DECREF(seen);
    Py_DECREF(queue);
    PyErr_Clear();
    return out;
}

void settle(const GilHeld&) {
    if (!g_pending.empty()) finish_pending();
}

void unload_importers(const GilHeld& gil, PyObject* name, const char* suffix) {
    finish_pending();
    PyObject* importers = importers_of(gil, name);
    for (Py_ssize_t i = 0; importers && i < PyList_GET_SIZE(importers); ++i) {
        PyObject* importer = PyList_GET_ITEM(importers, i);
        if (!unload(importer, suffix)) g_pending.emplace_back(Py_NewRef(importer), suffix);
    }
    Py_XDECREF(importers);
    PyErr_Clear();
}

}  // namespace gridlet::import_graph
