#include "kernel/interpreter.hpp"

#include <Python.h>

#include <stdexcept>
#include <system_error>

#include "kernel/py_ref.hpp"
#include "kernel/python_memory.hpp"

namespace gridlet {
void link_embedded_module();
}

namespace gridlet::interpreter {

std::filesystem::path find_python_dir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    auto dir = ec ? std::filesystem::current_path() : exe.parent_path();
    for (auto candidate : {dir / "python", dir / ".." / "lib" / "gridlet" / "python", dir / ".." / "python"}) {
        if (std::filesystem::exists(candidate / "gridlet" / "__init__.py", ec))
            return std::filesystem::weakly_canonical(candidate, ec);
    }
    throw std::runtime_error("cannot find the gridlet Python package next to " + dir.string());
}

void start(const std::filesystem::path& python_dir) {
    link_embedded_module();
    python_memory::install_raw_allocator();
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    config.install_signal_handlers = 0;
    PyStatus st = PyConfig_SetString(&config, &config.program_name, L"/usr/bin/python3");
    if (!PyStatus_Exception(st)) st = PyConfig_SetString(&config, &config.executable, L"/usr/bin/python3");
    if (!PyStatus_Exception(st)) st = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(st)) throw std::runtime_error(st.err_msg ? st.err_msg : "Python initialisation failed");

    PyObject* path = PySys_GetObject("path");
    PyRef dir = PyRef::steal(PyUnicode_DecodeFSDefault(python_dir.c_str()));
    if (!path || !dir || PyList_Insert(path, 0, dir.get()) < 0) throw std::runtime_error("cannot extend sys.path");
}

}  // namespace gridlet::interpreter
