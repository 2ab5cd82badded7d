#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

// Conversions between NumPy arrays and the host's geometry types. Everything coming in is checked
// and copied; everything going out is a new array that owns its data.
namespace corvaxis::python {

namespace py = pybind11;

/// The shape as Python writes it: "(4, 2)", "(3,)", "()".
std::string shapeText(const py::array& array);

/// The NumPy array for any array-like; ValueError naming the argument when NumPy cannot build one.
py::array asArray(py::handle object, const char* name, const char* expectedShape);

/// TypeError unless the array holds integers or floats (also integers when integersOnly).
void requireNumbers(const py::array& array, const char* name, const char* expectedShape, bool integersOnly = false);

/// (N, 3) finite numbers.
Points pointsFromPython(py::handle object, const char* name);
/// (M, 3) and (M, 2) indices in the 32-bit range; whether they exist is the data object's check.
Triangles trianglesFromPython(py::handle object, const char* name);
Edges edgesFromPython(py::handle object, const char* name);
/// (N,) or (N, K) numbers; a 1-D array is one column.
FeatureMatrix featuresFromPython(py::handle object, const char* name);
/// (4, 4) finite numbers.
Mat4 matrixFromPython(py::handle object, const char* name);

py::array pointsToPython(const Points& points);
/// Indices go out as int64, NumPy's usual integer type.
py::array indicesToPython(const Triangles& triangles);
py::array indicesToPython(const Edges& edges);
py::array featuresToPython(const FeatureMatrix& features);
py::array matrixToPython(const Mat4& matrix);
py::array vectorToPython(const double* values, py::ssize_t size);

}  // namespace corvaxis::python
