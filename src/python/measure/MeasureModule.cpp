// corvaxis._measure: figures of surfaces through the host's numerics, for the cohort's statistics
// (python/corvaxis/cohort/measure.py). The data module does not link the numerics library.

#include "common/Arrays.h"
#include "corvaxis/core/registration/SurfaceDistance.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_measure, module)
{
    using namespace corvaxis::python;
    module.doc() = "Figures of surfaces measured by the host.";
    module.def(
        "surface_distances",
        [](const py::object& points, const py::object& vertices, const py::object& faces) {
            const corvaxis::Points queries = pointsFromPython(points, "points");
            const corvaxis::registration::SurfaceDistance surface(pointsFromPython(vertices, "vertices"),
                                                                  trianglesFromPython(faces, "faces"));
            const Eigen::VectorXd distances = surface.distances(queries);
            return vectorToPython(distances.data(), distances.size());
        },
        py::arg("points"), py::arg("vertices"), py::arg("faces"),
        "Exact distance of every point (N, 3) to the triangle surface of vertices (M, 3) and faces (K, 3), as "
        "an (N,) array. ValueError for a surface without faces or a face that indexes a missing vertex.");
}
