#include "corvaxis/anatomy/GenericASC.h"

#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

namespace corvaxis {

std::unique_ptr<AnatomicalStructureCollection> GenericASC::clone() const
{
    return std::unique_ptr<AnatomicalStructureCollection>(new GenericASC(*this));
}

bool GenericASC::accepts(const AnatomicalStructure& structure) const
{
    return dynamic_cast<const GenericAnatomicalStructure*>(&structure) != nullptr && structure.is2D() == m_is2D;
}

}  // namespace corvaxis
