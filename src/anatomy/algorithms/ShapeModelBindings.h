#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines GenerateLinearShapeModel, whose call runs the host algorithm and returns its collections.
void bindGenerateLinearShapeModel(pybind11::module_& module);

}  // namespace corvaxis
