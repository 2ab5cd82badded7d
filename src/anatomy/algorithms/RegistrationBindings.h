#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines ASCRegistration (an Algorithm registering one collection onto another), its nested
/// RegistrationMethod enumeration and its registration_method property.
void bindASCRegistration(pybind11::module_& module);

}  // namespace corvaxis
