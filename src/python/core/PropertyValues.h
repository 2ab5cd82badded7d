#pragma once

#include "corvaxis/core/Properties.h"

#include <pybind11/pybind11.h>

#include <string>

// Conversion of the host's typed values: bool, int, float and str map to the Python types of the
// same name, vectors to float64 arrays of shape (2,), (3,) or (4,), matrices to (4, 4) arrays.
namespace corvaxis::python {

namespace py = pybind11;

py::object valueToPython(const Properties::Value& value);

/// The value's type follows the Python object; what names it in messages ("value of 'x'").
Properties::Value valueFromPython(py::handle object, const std::string& what);

/// The value converted to the given type code (Properties::Type); ints widen to floats, nothing
/// else converts. TypeError naming what otherwise.
Properties::Value valueOfType(py::handle object, unsigned typeCode, const std::string& what);

/// A nested dict: values by name, sub-blocks as lists of dicts under their name.
py::dict asDict(const Properties& properties);

}  // namespace corvaxis::python
