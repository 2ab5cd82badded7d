#include "AnatomyDataBindings.h"

#include "algorithms/LabelMapBindings.h"
#include "algorithms/RegistrationBindings.h"
#include "algorithms/ShapeModelBindings.h"
#include "binding_detail/ExceptionTranslation.h"
#include "binding_detail/KeyDeclarations.h"
#include "binding_detail/KeyValueDataWrapper.h"
#include "binding_detail/KeysTree.h"
#include "structures/CollectionBindings.h"
#include "structures/StructureBindings.h"
#include "styling/DisplayOptionsBindings.h"
#include "styling/StyleBindings.h"

#include "corvaxis/anatomy/styling/ASCDisplayOptions.h"
#include "corvaxis/anatomy/styling/Selector.h"
#include "corvaxis/anatomy/styling/StyleSheet.h"

#include <memory>

namespace py = pybind11;

namespace corvaxis {

using AnatomyPlugin::Selector;
using AnatomyPlugin::SelectorElem;
using AnatomyPlugin::StyleSheet;

AnatomyDataBindings::AnatomyDataBindings(py::module_& module)
    : m_module(module),
      m_selectorElemClass(py::class_<SelectorElem, std::unique_ptr<SelectorElem>>(
          module, "SelectorElem", "SelectorElem is a class for querying objects.")),
      m_selectorClass(py::class_<Selector, std::unique_ptr<Selector>>(
          module, "Selector", "Selector is a class combining with logical OR multiple SelectorElem objects.")),
      m_styleSheetClass(py::class_<StyleSheet, std::unique_ptr<StyleSheet>>(
          module, "StyleSheet", "Class for managing a logically grouped set of style rules."))
{
}

void AnatomyDataBindings::bind()
{
    binding_detail::bindAnatomicalStructureInvalidException(m_module);
    binding_detail::bindKeyValueDataWrapper<Vec3>(m_module, "Vec3");
    binding_detail::bindKeyValueDataWrapper<Vec4>(m_module, "Vec4");
    binding_detail::bindKeyValueDataWrapper<SharedImageSet>(m_module, "SharedImageSet");
    binding_detail::bindKeyValueDataWrapper<Mesh>(m_module, "Mesh");
    binding_detail::bindKeyValueDataWrapper<PointCloud>(m_module, "PointCloud");
    binding_detail::bindKeyValueDataWrapper<Graph>(m_module, "Graph");
    binding_detail::bindKeys();
    bindAnatomicalStructure(m_module);
    bindGenericAnatomicalStructure(m_module);
    binding_detail::bindASCDisplayOptions(m_module);
    PySDKDevTools::registerDataComponent<ASCDisplayOptions>("asc_display_options");
    bindAnatomicalStructureCollection(m_module);
    bindGenericASC(m_module);
    bindASCRegistration(m_module);
    bindGenerateLinearShapeModel(m_module);
    bindGenericASCFromLabelMap(m_module);
    bindStyleSheets();
}

void AnatomyDataBindings::bindStyleSheets()
{
    binding_detail::bindSelectorMethods(m_selectorElemClass, m_selectorClass);
    binding_detail::bindStyleSheetMethods(m_styleSheetClass);
    bindStylePropertyEnum();
}

void AnatomyDataBindings::bindStylePropertyEnum() const
{
    binding_detail::bindStylePropertyEnumeration(m_module);
}

}  // namespace corvaxis
