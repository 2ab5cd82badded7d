#include "Bindings.h"

#include "../common/Arrays.h"
#include "../common/Repr.h"

#include "corvaxis/core/Mesh.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

namespace corvaxis::python {

namespace {

using MeshClass = py::class_<Mesh, Data, std::shared_ptr<Mesh>>;

}  // namespace

void declareMesh(py::module_& module)
{
    MeshClass(module, "Mesh", "A triangle mesh: vertices, faces indexing them, optional per-vertex normals.");
}

void bindMesh(py::module_& module)
{
    MeshClass cls(module.attr("Mesh"));
    cls.def(py::init([](const Mesh& other) { return std::make_shared<Mesh>(other); }), py::arg("other"),
            "A deep copy of another mesh.")
        .def(py::init([](const py::object& vertices, const py::object& faces) {
            return std::make_shared<Mesh>(pointsFromPython(vertices, "vertices"), trianglesFromPython(faces, "faces"));
        }), py::arg("vertices"), py::arg("faces"), "vertices: (N, 3) finite numbers; faces: (M, 3) vertex indices.")
        .def_property_readonly("vertices", [](const Mesh& self) { return pointsToPython(self.vertices()); })
        .def_property_readonly("faces", [](const Mesh& self) { return indicesToPython(self.faces()); })
        .def_property("normals", [](const Mesh& self) -> std::optional<py::array_t<double>> {
            if (!self.normals())
                return std::nullopt;
            return pointsToPython(*self.normals());
        }, [](Mesh& self, const py::object& normals) {
            if (normals.is_none())
                self.setNormals(std::nullopt);
            else
                self.setNormals(pointsFromPython(normals, "normals"));
        }, "(N, 3) per-vertex normals, or None.")
        .def_property_readonly("num_vertices", &Mesh::numVertices)
        .def_property_readonly("num_faces", &Mesh::numFaces)
        .def("set_geometry", [](Mesh& self, const py::object& vertices, const py::object& faces) {
            self.setGeometry(pointsFromPython(vertices, "vertices"), trianglesFromPython(faces, "faces"));
        }, py::arg("vertices"), py::arg("faces"), "Replaces vertices and faces; drops the normals.")
        .def("compute_normals", &Mesh::computeNormals, "Per-vertex normals from the area-weighted face normals.")
        .def("__repr__", [](const Mesh& self) {
            return fmt::format("<Mesh, vertices={}, faces={}{}>", self.numVertices(), self.numFaces(), nameSuffix(self));
        });
}

}  // namespace corvaxis::python
