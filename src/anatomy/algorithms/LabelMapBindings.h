#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines the module function generic_asc_from_label_map (a collection from a label image).
void bindGenericASCFromLabelMap(pybind11::module_& module);

}  // namespace corvaxis
