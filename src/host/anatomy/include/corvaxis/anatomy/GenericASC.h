#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"

#include <memory>
#include <string>

namespace corvaxis {

/// A collection of generic structures, all of one dimensionality.
///
/// It accepts only GenericAnatomicalStructure whose is2D equals the collection's flag: the usual
/// 3-D collection, GenericASC(false), refuses 2-D structures, and GenericASC(true) refuses 3-D
/// ones. Identifiers need not be unique; lookup by identifier returns the first match.
class GenericASC : public AnatomicalStructureCollection {
public:
    explicit GenericASC(bool is2D = false) : m_is2D(is2D) {}

    std::string kindName() const override { return "GenericASC"; }
    /// A GenericASC with the same flag and clones of the structures.
    std::unique_ptr<AnatomicalStructureCollection> clone() const override;

    bool is2D() const { return m_is2D; }

protected:
    GenericASC(const GenericASC& other) = default;
    bool accepts(const AnatomicalStructure& structure) const override;

private:
    bool m_is2D;
};

}  // namespace corvaxis
