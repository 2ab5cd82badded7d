#pragma once

#include "host/BindingsInterface.h"

#include <pybind11/pybind11.h>

namespace corvaxis {

/// The top-level bindings object of corvaxis.anatomy: sets the module docstring and runs the
/// anatomy bindings object.
class AnatomyBindings : public PySDKDevTools::BindingsInterface {
public:
    explicit AnatomyBindings(pybind11::module_& module) : m_module(module) {}

    void bind() override;
    void createMembersDocumentation();

private:
    pybind11::module_& m_module;
};

}  // namespace corvaxis
