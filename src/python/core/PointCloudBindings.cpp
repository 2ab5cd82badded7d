#include "Bindings.h"

#include "../common/Arrays.h"
#include "../common/Repr.h"

#include "corvaxis/core/PointCloud.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

namespace corvaxis::python {

namespace {

using PointCloudClass = py::class_<PointCloud, Data, std::shared_ptr<PointCloud>>;

std::optional<Points> normalsFromPython(const py::object& normals)
{
    if (normals.is_none())
        return std::nullopt;
    return pointsFromPython(normals, "normals");
}

}  // namespace

void declarePointCloud(py::module_& module)
{
    PointCloudClass(module, "PointCloud", "A set of points with optional per-point normals.");
}

void bindPointCloud(py::module_& module)
{
    PointCloudClass cls(module.attr("PointCloud"));
    cls.def(py::init([](const PointCloud& other) { return std::make_shared<PointCloud>(other); }), py::arg("other"),
            "A deep copy of another point cloud.")
        .def(py::init([](const py::object& points, const py::object& normals) {
            return std::make_shared<PointCloud>(pointsFromPython(points, "points"), normalsFromPython(normals));
        }), py::arg("points"), py::arg("normals") = py::none(), "points and normals: (N, 3) finite numbers.")
        .def_property_readonly("points", [](const PointCloud& self) { return pointsToPython(self.points()); })
        .def_property_readonly("normals", [](const PointCloud& self) -> std::optional<py::array_t<double>> {
            if (!self.normals())
                return std::nullopt;
            return pointsToPython(*self.normals());
        }, "(N, 3) per-point normals, or None.")
        .def_property_readonly("num_points", &PointCloud::numPoints)
        .def("set_points", [](PointCloud& self, const py::object& points, const py::object& normals) {
            self.setPoints(pointsFromPython(points, "points"), normalsFromPython(normals));
        }, py::arg("points"), py::arg("normals") = py::none())
        .def("__repr__", [](const PointCloud& self) {
            return fmt::format("<PointCloud, points={}, normals={}{}>", self.numPoints(), self.normals() ? "True" : "False",
                               nameSuffix(self));
        });
}

}  // namespace corvaxis::python
