#pragma once

#include "host/BindingsInterface.h"

#include <pybind11/pybind11.h>

namespace corvaxis {

/// Defines the contents of corvaxis.anatomy in a fixed order: every definition comes after the
/// classes that it derives from, takes or returns.
class AnatomyDataBindings : public PySDKDevTools::BindingsInterface {
public:
    /// Creates the three style classes empty, so that their names are known to every signature
    /// defined before their methods are.
    explicit AnatomyDataBindings(pybind11::module_& module);

    void bind() override;

private:
    /// The methods of SelectorElem, Selector and StyleSheet; ends with bindStylePropertyEnum().
    void bindStyleSheets();
    /// StyleProperty, the last attribute these bindings add to the module.
    void bindStylePropertyEnum() const;

    pybind11::module_& m_module;
    // Owned references, released in reverse order (members are destroyed last to first); the
    // module keeps its own references to the classes.
    pybind11::object m_selectorElemClass;
    pybind11::object m_selectorClass;
    pybind11::object m_styleSheetClass;
};

}  // namespace corvaxis
