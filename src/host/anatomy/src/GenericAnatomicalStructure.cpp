#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

namespace corvaxis {

GenericAnatomicalStructure::GenericAnatomicalStructure(std::string identifier, bool is2D)
    : AnatomicalStructure(is2D), m_identifier(std::move(identifier))
{
    setLastKnownIdentifier(m_identifier);
}

GenericAnatomicalStructure::~GenericAnatomicalStructure() { markDestroyed(); }

void GenericAnatomicalStructure::setIdentifier(std::string identifier)
{
    const bool changed = identifier != m_identifier;
    m_identifier = std::move(identifier);
    setLastKnownIdentifier(m_identifier);
    if (changed)
        signalModified.emitSignal();
}

std::unique_ptr<AnatomicalStructure> GenericAnatomicalStructure::clone() const
{
    auto copy = std::make_unique<GenericAnatomicalStructure>(m_identifier, is2D());
    copy->copyContentFrom(*this);
    return copy;
}

}  // namespace corvaxis
