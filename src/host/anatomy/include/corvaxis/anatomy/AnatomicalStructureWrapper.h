#pragma once

#include "corvaxis/anatomy/AnatomicalStructure.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

#include <memory>
#include <string>

namespace corvaxis {

/// A handle to one anatomical structure, which it either refers to (owned elsewhere, usually by
/// a collection) or owns (shared among the copies of the owning handle).
///
/// Lifetime by construction: every structure owns a shared life token (StructureLifetime) that
/// its destructor marks dead. Each handle keeps a copy of that token, which outlives the
/// structure, and asks it before every access; the raw pointer is followed only while the token
/// says the structure lives. So no handle, and nothing built on a handle, reaches freed memory,
/// whoever destroys the structure: a destroyed collection, a structure taken and dropped, or the
/// last owning handle let go. There is deliberately no unchecked access.
class AnatomicalStructureWrapper {
public:
    /// Refers to a structure owned elsewhere; a null pointer gives a handle that is never valid.
    explicit AnatomicalStructureWrapper(AnatomicalStructure* structure);
    /// Owns the structure; copies of this handle share the ownership.
    explicit AnatomicalStructureWrapper(std::unique_ptr<AnatomicalStructure> structure);
    /// A new handle to the same structure, valid exactly when the original is.
    AnatomicalStructureWrapper(const AnatomicalStructureWrapper&) = default;
    AnatomicalStructureWrapper& operator=(const AnatomicalStructureWrapper&) = default;
    virtual ~AnatomicalStructureWrapper() = default;

    /// Whether the structure still exists.
    bool isValid() const { return m_lifetime && m_lifetime->alive(); }
    /// Whether this handle keeps its structure alive.
    bool ownsStructure() const { return m_owned != nullptr; }

    /// The structure; throws AnatomicalStructureInvalidException naming it when it is gone.
    AnatomicalStructure* operator->() { return checked(); }
    const AnatomicalStructure* operator->() const { return checked(); }
    AnatomicalStructure& operator*() { return *checked(); }
    const AnatomicalStructure& operator*() const { return *checked(); }

protected:
    AnatomicalStructure* checked() const;

private:
    std::shared_ptr<const StructureLifetime> m_lifetime;
    AnatomicalStructure* m_structure;
    std::shared_ptr<AnatomicalStructure> m_owned;
};

/// A handle that owns a new generic structure.
class GenericAnatomicalStructureWrapper : public AnatomicalStructureWrapper {
public:
    GenericAnatomicalStructureWrapper();
    explicit GenericAnatomicalStructureWrapper(std::string identifier);
    explicit GenericAnatomicalStructureWrapper(std::unique_ptr<GenericAnatomicalStructure> structure);

    GenericAnatomicalStructure* operator->() { return static_cast<GenericAnatomicalStructure*>(checked()); }
    const GenericAnatomicalStructure* operator->() const
    {
        return static_cast<const GenericAnatomicalStructure*>(checked());
    }
    GenericAnatomicalStructure& operator*() { return *operator->(); }
    const GenericAnatomicalStructure& operator*() const { return *operator->(); }
};

}  // namespace corvaxis
