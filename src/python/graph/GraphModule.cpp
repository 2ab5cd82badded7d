#include "../common/Arrays.h"
#include "../common/Text.h"
#include "../common/Repr.h"

#include "corvaxis/core/Graph.h"

#include <fmt/format.h>

namespace py = pybind11;
using namespace corvaxis;
using namespace corvaxis::python;

namespace {

using GraphClass = py::class_<Graph, Data, std::shared_ptr<Graph>>;

py::dict featureDict(const Graph::Features& features)
{
    py::dict result;
    for (const auto& [name, values] : features)
        result[py::str(name)] = featuresToPython(values);
    return result;
}

void bindGraph(GraphClass& cls)
{
    cls.def(py::init([](const Graph& other) { return std::make_shared<Graph>(other); }), py::arg("other"),
            "A deep copy of another graph.")
        .def(py::init([](const py::object& nodes, const py::object& edges, bool directed) {
            return std::make_shared<Graph>(pointsFromPython(nodes, "nodes"), edgesFromPython(edges, "edges"), directed);
        }), py::arg("nodes"), py::arg("edges"), py::arg("directed") = false,
            "nodes: (N, 3) finite positions; edges: (M, 2) node indices.")
        .def_property_readonly("nodes", [](const Graph& self) { return pointsToPython(self.nodes()); })
        .def_property_readonly("edges", [](const Graph& self) { return indicesToPython(self.edges()); })
        .def_property_readonly("directed", &Graph::directed)
        .def_property_readonly("num_nodes", &Graph::numNodes)
        .def_property_readonly("num_edges", &Graph::numEdges)
        .def_property_readonly("node_features", [](const Graph& self) { return featureDict(self.nodeFeatures()); },
                               "A new dict of copies: name to an (N, K) array.")
        .def_property_readonly("edge_features", [](const Graph& self) { return featureDict(self.edgeFeatures()); },
                               "A new dict of copies: name to an (M, K) array.")
        .def("set_node_feature", [](Graph& self, const Text& name, const py::object& values) {
            self.setNodeFeature(name, featuresFromPython(values, "values"));
        }, py::arg("name"), py::arg("values"), "values: (N,) or (N, K), one row per node; a 1-D array is one column.")
        .def("set_edge_feature", [](Graph& self, const Text& name, const py::object& values) {
            self.setEdgeFeature(name, featuresFromPython(values, "values"));
        }, py::arg("name"), py::arg("values"), "values: (M,) or (M, K), one row per edge; a 1-D array is one column.")
        .def("remove_node_feature", [](Graph& self, const Text& name) {
            if (!self.removeNodeFeature(name))
                raiseError(PyExc_KeyError, name);
        }, py::arg("name"))
        .def("remove_edge_feature", [](Graph& self, const Text& name) {
            if (!self.removeEdgeFeature(name))
                raiseError(PyExc_KeyError, name);
        }, py::arg("name"))
        .def("__repr__", [](const Graph& self) {
            return fmt::format("<Graph, nodes={}, edges={}, directed={}{}>", self.numNodes(), self.numEdges(),
                               self.directed() ? "True" : "False", nameSuffix(self));
        });
}

}  // namespace

PYBIND11_MODULE(graph, module)
{
    // Data must be registered before Graph can derive from it.
    py::module_::import("corvaxis._core");
    module.doc() = "Geometric graphs.";
    GraphClass cls(module, "Graph", "A geometric graph: node positions, edges, and named node and edge features.");
    bindGraph(cls);
}
