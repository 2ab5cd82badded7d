#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(graph, module)
{
    py::module_::import("corvaxis._core");
    module.doc() = "Geometric graphs.";
}
