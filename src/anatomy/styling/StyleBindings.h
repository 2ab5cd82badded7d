#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis::binding_detail {

/// Adds the methods of SelectorElem and Selector to their (empty) classes.
void bindSelectorMethods(pybind11::handle selectorElemClass, pybind11::handle selectorClass);
/// Adds the members of StyleSheet to its (empty) class.
void bindStyleSheetMethods(pybind11::handle styleSheetClass);
/// Defines the string enumeration StyleProperty on the module.
void bindStylePropertyEnumeration(pybind11::module_& module);

}  // namespace corvaxis::binding_detail
