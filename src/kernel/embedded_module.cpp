// _gridlet_kernel: the thin embedded module that registers the kernel's Python-visible pieces.
#include <pybind11/embed.h>

#include "execution/stream_classes.hpp"
#include "modules/module_loader.hpp"

namespace gridlet {
void register_kernel_classes(pybind11::module_& m);
}

PYBIND11_EMBEDDED_MODULE(_gridlet_kernel, m) {
    m.doc() = "Python-visible parts of gridlet-kernel";
    const gridlet::GilHeld& gil = gridlet::GilHeld::from_python();
    gridlet::streams::register_classes(gil, m.ptr());
    gridlet::ModuleLoader::register_class(gil, m.ptr());
    gridlet::register_kernel_classes(m);
}

namespace gridlet {
// Referenced by the interpreter start so the module's registration is always linked in.
void link_embedded_module() {}
}  // namespace gridlet
