#pragma once

#include "corvaxis/core/DataComponent.h"
#include "corvaxis/core/InstanceCount.h"
#include "corvaxis/core/Signal.h"
#include "corvaxis/core/Types.h"

#include <memory>
#include <string>

namespace corvaxis {

/// Kinds of data objects; 0 stands for any kind where a kind is asked for.
enum DataKind : int { AnyKind = 0, ImageSetKind = 1, MeshKind = 2, PointCloudKind = 3, GraphKind = 4, CollectionKind = 5 };

/// Base of every data object: a name, a transformation matrix and a list of components.
/// signalChanged fires whenever the object changes, its matrix included.
class Data {
public:
    Data();
    Data(const Data& other);
    Data& operator=(const Data& other);
    virtual ~Data();

    virtual int kind() const = 0;
    /// Short name of the kind, as the file format and representations spell it.
    virtual std::string kindName() const = 0;
    /// A deep, independent copy of the same kind.
    virtual std::unique_ptr<Data> cloneData() const = 0;

    virtual Mat4 matrix() const { return m_matrix; }
    void setMatrix(const Mat4& matrix);

    const std::string& name() const { return m_name; }
    void setName(std::string name);

    DataComponentList& components() { return m_components; }
    const DataComponentList& components() const { return m_components; }

    SignalImpl<const Data*> signalChanged;

protected:
    void notifyChanged() { signalChanged.emitSignal(this); }

private:
    [[no_unique_address]] CountedInstance<dataObjectCounter> m_counted;
    Mat4 m_matrix = Mat4::Identity();
    std::string m_name;
    DataComponentList m_components;
};

}  // namespace corvaxis
