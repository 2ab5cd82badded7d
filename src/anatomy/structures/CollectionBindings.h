#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines AnatomicalStructureCollection (a data object holding structures).
void bindAnatomicalStructureCollection(pybind11::module_& module);
/// Defines GenericASC, the collection of generic structures that scripts can create.
void bindGenericASC(pybind11::module_& module);

}  // namespace corvaxis
