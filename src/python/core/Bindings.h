#pragma once

#include <pybind11/pybind11.h>

// The parts of corvaxis._core. Every part first declares its classes, so that all signatures can
// name every class whatever the order of the parts, and then binds their members.
namespace corvaxis::python {

namespace py = pybind11;

void declareProperties(py::module_& module);
void declareData(py::module_& module);
void declareImages(py::module_& module);
void declareMesh(py::module_& module);
void declarePointCloud(py::module_& module);
void declareAlgorithm(py::module_& module);

void bindProperties(py::module_& module);
void bindData(py::module_& module);
void bindImages(py::module_& module);
void bindMesh(py::module_& module);
void bindPointCloud(py::module_& module);
void bindAlgorithm(py::module_& module);
void bindLog(py::module_& module);
void bindFiles(py::module_& module);
void bindThreads(py::module_& module);

}  // namespace corvaxis::python
