// corvaxis._styling: the effective style of one object of a collection, through the host's cascade.
// It shares the type registry of corvaxis._core and corvaxis.anatomy, whose classes it takes and
// returns; python/corvaxis/styling.py imports those first.

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/anatomy/styling/ASCDisplayOptions.h"

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

PYBIND11_MODULE(_styling, module)
{
    module.doc() = "Resolved styles of the objects of anatomical structure collections.";
    module.def("resolve", [](const corvaxis::AnatomicalStructureCollection& collection, const std::string& identifier,
                             const std::string& kind, const std::string& key) {
        const auto contentType = corvaxis::AnatomyPlugin::kindFromName(kind);
        if (!contentType)
            throw py::value_error(fmt::format(
                "kind must be one of structure, keypoint, plane, image, mesh, pointcloud, graph; got '{}'", kind));
        return corvaxis::resolveStyle(collection, identifier, *contentType, key);
    }, py::arg("collection"), py::arg("identifier"), py::arg("kind"), py::arg("key"),
       "The effective style properties of one object, as host Properties.");
}
