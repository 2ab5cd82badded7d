#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis::binding_detail {

/// Creates the Python class AnatomicalStructureInvalidException (once per process, base
/// Exception), sets it on the module and registers, ahead of all earlier translators, the
/// translation of the native exception of that name into it.
void bindAnatomicalStructureInvalidException(pybind11::module_& module);

}  // namespace corvaxis::binding_detail
