#include "corvaxis/anatomy/AnatomicalStructureCollection.h"

#include <algorithm>

namespace corvaxis {

InstanceCounter& collectionCounter()
{
    static auto* counter = new InstanceCounter("collections");
    return *counter;
}

AnatomicalStructureCollection::AnatomicalStructureCollection(const AnatomicalStructureCollection& other)
    : Data(other)
{
    m_structures.reserve(other.m_structures.size());
    for (const auto& structure : other.m_structures)
        m_structures.push_back(structure->clone());
}

AnatomicalStructureCollection::~AnatomicalStructureCollection() = default;

std::unique_ptr<AnatomicalStructureCollection> AnatomicalStructureCollection::clone() const
{
    return std::unique_ptr<AnatomicalStructureCollection>(new AnatomicalStructureCollection(*this));
}

AnatomicalStructure* AnatomicalStructureCollection::anatomicalStructure(int index)
{
    return index >= 0 && index < numAnatomicalStructures() ? m_structures[static_cast<std::size_t>(index)].get()
                                                          : nullptr;
}

const AnatomicalStructure* AnatomicalStructureCollection::anatomicalStructure(int index) const
{
    return const_cast<AnatomicalStructureCollection*>(this)->anatomicalStructure(index);
}

AnatomicalStructure* AnatomicalStructureCollection::anatomicalStructureByIdentifier(const std::string& identifier)
{
    const auto it = std::ranges::find_if(
        m_structures, [&identifier](const auto& structure) { return structure->identifier() == identifier; });
    return it != m_structures.end() ? it->get() : nullptr;
}

const AnatomicalStructure* AnatomicalStructureCollection::anatomicalStructureByIdentifier(
    const std::string& identifier) const
{
    return const_cast<AnatomicalStructureCollection*>(this)->anatomicalStructureByIdentifier(identifier);
}

bool AnatomicalStructureCollection::addAnatomicalStructure(std::unique_ptr<AnatomicalStructure>& structure)
{
    if (!structure || !accepts(*structure))
        return false;
    m_structures.push_back(std::move(structure));
    notifyChanged();
    return true;
}

std::unique_ptr<AnatomicalStructure> AnatomicalStructureCollection::takeAnatomicalStructure(
    AnatomicalStructure* structure)
{
    const auto it = std::ranges::find_if(m_structures, [structure](const auto& held) { return held.get() == structure; });
    if (!structure || it == m_structures.end())
        return nullptr;
    std::unique_ptr<AnatomicalStructure> taken = std::move(*it);
    m_structures.erase(it);
    notifyChanged();
    return taken;
}

bool AnatomicalStructureCollection::accepts(const AnatomicalStructure&) const { return true; }

}  // namespace corvaxis
