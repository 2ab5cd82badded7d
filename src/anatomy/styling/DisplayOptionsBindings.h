#pragma once

#include <pybind11/pybind11.h>

namespace corvaxis::binding_detail {

/// Defines ASCDisplayOptions (base DataComponentBase) with its style-sheet methods.
void bindASCDisplayOptions(pybind11::module_& module);

}  // namespace corvaxis::binding_detail

namespace PySDKDevTools {

/// Makes a component kind known to the host package's DataComponentList: a read-only property of
/// the given name (the first component of exactly that type, or None) and an add overload.
template <typename Component>
void registerDataComponent(const char* name);

}  // namespace PySDKDevTools
