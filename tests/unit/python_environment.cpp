#include "python_environment.hpp"

#include <mutex>

namespace test_support {

void ensure_python() {
    static std::once_flag once;
    std::call_once(once, [] {
        PyConfig config;
        PyConfig_InitIsolatedConfig(&config);
        PyConfig_SetString(&config, &config.program_name, L"/usr/bin/python3");
        Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        PyEval_SaveThread();
    });
}

}  // namespace test_support
