#pragma once

#include "corvaxis/anatomy/AnatomicalStructure.h"
#include "corvaxis/core/Data.h"

#include <memory>
#include <string>
#include <vector>

namespace corvaxis {

/// Live collections of every kind; each also counts as a data object.
InstanceCounter& collectionCounter();

/// A data object owning anatomical structures in index order (from 0).
///
/// Destroying the collection destroys its structures, which turns every handle to them invalid.
/// signalChanged fires after a structure was added or taken.
class AnatomicalStructureCollection : public Data {
public:
    AnatomicalStructureCollection() = default;
    AnatomicalStructureCollection& operator=(const AnatomicalStructureCollection&) = delete;
    ~AnatomicalStructureCollection() override;

    int kind() const override { return CollectionKind; }
    std::string kindName() const override { return "AnatomicalStructureCollection"; }
    std::unique_ptr<Data> cloneData() const override { return clone(); }
    /// A deep, independent copy of the same kind, holding clones of the structures.
    virtual std::unique_ptr<AnatomicalStructureCollection> clone() const;

    virtual int numAnatomicalStructures() const { return static_cast<int>(m_structures.size()); }
    /// The structure at index, or null when the index is out of range.
    virtual AnatomicalStructure* anatomicalStructure(int index);
    virtual const AnatomicalStructure* anatomicalStructure(int index) const;
    /// The first structure with this identifier, or null.
    AnatomicalStructure* anatomicalStructureByIdentifier(const std::string& identifier);
    const AnatomicalStructure* anatomicalStructureByIdentifier(const std::string& identifier) const;

    /// Takes the structure and appends it, returning true; or, when this collection does not
    /// accept it (or it is null), returns false and leaves it with the caller.
    virtual bool addAnatomicalStructure(std::unique_ptr<AnatomicalStructure>& structure);
    /// Removes the structure and hands it over; null when it is not one of this collection's.
    virtual std::unique_ptr<AnatomicalStructure> takeAnatomicalStructure(AnatomicalStructure* structure);

protected:
    /// Copies the data object's own content and clones every structure.
    AnatomicalStructureCollection(const AnatomicalStructureCollection& other);

    /// Which structures this collection takes; the general collection takes any.
    virtual bool accepts(const AnatomicalStructure& structure) const;

private:
    [[no_unique_address]] CountedInstance<collectionCounter> m_counted;
    std::vector<std::unique_ptr<AnatomicalStructure>> m_structures;
};

}  // namespace corvaxis
