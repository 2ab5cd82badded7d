#pragma once

#include "corvaxis/anatomy/KeyValueStore.h"
#include "corvaxis/core/InstanceCount.h"
#include "corvaxis/core/Types.h"

#include <memory>
#include <string>

namespace corvaxis {

/// Shared between a structure and every handle to it: tells whether the structure still exists
/// and under which identifier it was last known, so that a handle can answer both after the
/// structure is gone.
/// Live structures of every kind, owned by collections or by handles.
InstanceCounter& structureCounter();

class StructureLifetime {
public:
    bool alive() const { return m_alive; }
    const std::string& identifier() const { return m_identifier; }

private:
    friend class AnatomicalStructure;
    bool m_alive = true;
    std::string m_identifier;
};

/// One anatomical structure: a local frame (matrixToWorld, local to world) and six named stores
/// whose entries keep their values also in that local frame.
///
/// Structures are neither copied nor moved (the stores point at matrixToWorld); clone() makes an
/// independent copy.
class AnatomicalStructure {
    [[no_unique_address]] CountedInstance<structureCounter> m_counted;
    // Declared first: the stores below keep a pointer to the matrix.
    std::shared_ptr<StructureLifetime> m_lifetime = std::make_shared<StructureLifetime>();
    bool m_is2D;
    Mat4 m_matrixToWorld = Mat4::Identity();

public:
    AnatomicalStructure(const AnatomicalStructure&) = delete;
    AnatomicalStructure& operator=(const AnatomicalStructure&) = delete;
    /// Marks the life token dead, so every handle to this structure turns invalid at once.
    virtual ~AnatomicalStructure();

    virtual std::string identifier() const = 0;
    /// The name shown to people; the identifier unless a kind of structure knows better.
    virtual std::string displayName() const { return identifier(); }
    /// A deep, independent copy: every store value and attribute, the matrix and the flags.
    virtual std::unique_ptr<AnatomicalStructure> clone() const = 0;

    /// Sets the local-to-world matrix. With updateLocalValues true every entry of the six stores
    /// recomputes its local value against the new frame (entries whose "synchronization"
    /// attribute is false keep theirs); with false the local values stay as they were, expressed
    /// in the previous frame, for callers that move the structure together with its local content.
    virtual void setMatrixToWorld(const Mat4& matrix, bool updateLocalValues);

    bool is2D() const { return m_is2D; }
    const Mat4& matrixToWorld() const { return m_matrixToWorld; }

    /// The token that handles keep; it outlives the structure.
    std::shared_ptr<const StructureLifetime> lifetime() const { return m_lifetime; }

    KeyValueStore<Vec3> keypoints{&m_matrixToWorld};
    KeyValueStore<Vec4> planes{&m_matrixToWorld};
    KeyValueStore<SharedImageSet> images{&m_matrixToWorld};
    KeyValueStore<Mesh> meshes{&m_matrixToWorld};
    KeyValueStore<PointCloud> pointclouds{&m_matrixToWorld};
    KeyValueStore<Graph> graphs{&m_matrixToWorld};

protected:
    explicit AnatomicalStructure(bool is2D);

    /// Makes this structure's matrix and stores independent copies of another's (for clone()).
    void copyContentFrom(const AnatomicalStructure& other);
    /// Kinds that keep their identifier themselves report every change, so that handles can
    /// name the structure after it is gone.
    void setLastKnownIdentifier(const std::string& identifier) { m_lifetime->m_identifier = identifier; }
    /// Lets a derived destructor turn handles invalid before its own members go.
    void markDestroyed() { m_lifetime->m_alive = false; }
};

}  // namespace corvaxis
