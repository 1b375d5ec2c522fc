#pragma once
// The services a message handler uses, handed to it by the message table instead of the whole
// kernel: the reply sink, the worker pool, the runs in progress, the control queue, and the
// Python objects calls are looked up through.
#include <Python.h>

namespace gridlet {

class Kernel;
class ModuleLoader;
class CodeExecutor;
class Replies;
class WorkerPool;
class ActiveRuns;
class ControlQueue;

struct HandlerContext {
    Replies& replies;
    WorkerPool& pool;
    ActiveRuns& runs;
    ControlQueue& control;
    // The gridlet bridge module and the in-memory module loader (read with the GIL).
    PyObject* bridge = nullptr;
    ModuleLoader* loader = nullptr;
    // The persistent namespace execution requests run in.
    CodeExecutor* executor = nullptr;
    // The kernel itself, opaque: only passed on to the wire conversion of call arguments and
    // results (the bridge module's Serializer) and to the debug run. Null in tests that never
    // reach user code.
    Kernel* kernel = nullptr;
};

}  // namespace gridlet
