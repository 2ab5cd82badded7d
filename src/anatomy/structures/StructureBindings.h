#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines AnatomicalStructure (the structure handle) with its properties and methods.
void bindAnatomicalStructure(pybind11::module_& module);
/// Defines GenericAnatomicalStructure, a handle that owns a generic structure of its own.
void bindGenericAnatomicalStructure(pybind11::module_& module);

}  // namespace corvaxis
