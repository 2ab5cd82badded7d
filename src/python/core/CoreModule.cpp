#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_core, module)
{
    module.doc() = "Data objects, properties and logging of the corvaxis host.";
}
