#pragma once
// Which workbook modules import which other workbook modules, recorded as the imports happen.
//
// Two sources feed it:
// - builtins.__import__ is wrapped by a C function that, after the import succeeded, looks at the
//   importing frame's globals (the import statement passes them): only when their `__loader__` is
//   an InMemoryModuleLoader does it record anything. Every `import` and `from ... import` that a
//   workbook module runs, at top level or later inside its functions, is seen this way, including
//   imports of modules already in sys.modules, which never reach the meta-path finder. For any
//   other code the cost is one dict lookup.
// - exec_module notes the workbook module being executed on the thread, so an import that reaches
//   the loader some other way (importlib.import_module in a module's top-level code) is recorded
//   against the module whose code is running.
//
// Edges are names: "importer imports imported". When a module runs again, the edges it recorded
// before are dropped and recorded afresh. All state is changed with the GIL held.
#include "kernel/gil.hpp"

namespace gridlet::import_graph {

// Wraps builtins.__import__ once per process. `loader_class` is the InMemoryModuleLoader class.
void install(const GilHeld&, PyObject* loader_class);

// Marks `name` as the workbook module executing on this thread for the scope's lifetime: drops the
// edges `name` recorded in an earlier run and records that the module executing below it (if any)
// imports it.
class ExecScope {
public:
    ExecScope(const GilHeld&, PyObject* name);
    ~ExecScope();
    ExecScope(const ExecScope&) = delete;
    ExecScope& operator=(const ExecScope&) = delete;
};

// Drops the edges recorded for what `name` imports (the module is gone).
void forget(const GilHeld&, PyObject* name);

// The workbook modules that import `name`, directly or through other workbook modules, each once,
// nearest first; `name` itself is never included, even in a cycle. New list reference.
PyObject* importers_of(const GilHeld&, PyObject* name);

// Removes from sys.modules every workbook module that imports `name` (importers_of), so that its
// next import runs it again and binds the new `name`; each removal is logged at debug level as
// "[InMemoryModuleLoader] Removed 'NAME' from sys.modules" + `suffix`. A module whose own import
// is still running its top-level code is removed once that import has finished (see settle):
// that run ends with the old code, as any run under way does.
void unload_importers(const GilHeld&, PyObject* name, const char* suffix);

// Removes the importers left waiting by unload_importers whose import has finished. Runs before
// every import statement; code that looks a module up in sys.modules directly calls it first.
void settle(const GilHeld&);

}  // namespace gridlet::import_graph
