#pragma once
// The embedded interpreter for unit tests that touch Python: started once, GIL released between tests.
#include <Python.h>

namespace test_support {
void ensure_python();
}
