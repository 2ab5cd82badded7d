#include "corvaxis/anatomy/AnatomicalStructureWrapper.h"

#include "corvaxis/anatomy/AnatomicalStructureInvalidException.h"

#include <fmt/format.h>

namespace corvaxis {

AnatomicalStructureWrapper::AnatomicalStructureWrapper(AnatomicalStructure* structure)
    : m_lifetime(structure ? structure->lifetime() : nullptr), m_structure(structure)
{
}

AnatomicalStructureWrapper::AnatomicalStructureWrapper(std::unique_ptr<AnatomicalStructure> structure)
    : m_lifetime(structure ? structure->lifetime() : nullptr), m_structure(structure.get()),
      m_owned(std::move(structure))
{
}

AnatomicalStructure* AnatomicalStructureWrapper::checked() const
{
    if (isValid())
        return m_structure;
    if (!m_lifetime)
        throw AnatomicalStructureInvalidException("AnatomicalStructure handle refers to no structure");
    if (m_lifetime->identifier().empty())
        throw AnatomicalStructureInvalidException("AnatomicalStructure no longer exists");
    throw AnatomicalStructureInvalidException(
        fmt::format("AnatomicalStructure '{}' no longer exists", m_lifetime->identifier()));
}

GenericAnatomicalStructureWrapper::GenericAnatomicalStructureWrapper()
    : GenericAnatomicalStructureWrapper(std::make_unique<GenericAnatomicalStructure>())
{
}

GenericAnatomicalStructureWrapper::GenericAnatomicalStructureWrapper(std::string identifier)
    : GenericAnatomicalStructureWrapper(std::make_unique<GenericAnatomicalStructure>(std::move(identifier)))
{
}

GenericAnatomicalStructureWrapper::GenericAnatomicalStructureWrapper(
    std::unique_ptr<GenericAnatomicalStructure> structure)
    : AnatomicalStructureWrapper(std::unique_ptr<AnatomicalStructure>(std::move(structure)))
{
}

}  // namespace corvaxis
