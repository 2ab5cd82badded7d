#pragma once

#include "corvaxis/core/InstanceCount.h"
#include "corvaxis/core/Parameter.h"
#include "corvaxis/core/Signal.h"

#include <memory>
#include <string>
#include <vector>

namespace corvaxis {

class Data;

/// A piece of extra information attached to a data object (display options, labels, ...).
/// Its state is its parameters, so it configures from and saves to Properties.
class DataComponentBase : public Configurable {
public:
    DataComponentBase() = default;
    DataComponentBase(const DataComponentBase&) = default;
    DataComponentBase& operator=(const DataComponentBase& other);
    ~DataComponentBase() override = default;

    /// The identifier under which the component is stored; unique per kind.
    virtual std::string id() const = 0;
    virtual std::unique_ptr<DataComponentBase> clone() const = 0;
    /// Takes over another component's values; used when a list already holds one of its kind.
    virtual void assign(const DataComponentBase& other);

private:
    [[no_unique_address]] CountedInstance<componentCounter> m_counted;
};

/// Components that want to know the data object they belong to.
class DataComponentWithParentInterface {
public:
    virtual void setParent(Data* parent) = 0;

protected:
    ~DataComponentWithParentInterface() = default;
};

/// The components of one data object, in order. A kind appears at most once.
class DataComponentList {
public:
    explicit DataComponentList(Data* parent) : m_parent(parent) {}
    DataComponentList(const DataComponentList&) = delete;
    DataComponentList& operator=(const DataComponentList&) = delete;

    std::size_t size() const { return m_components.size(); }
    DataComponentBase* at(std::size_t index) const { return m_components.at(index).get(); }
    const std::vector<std::unique_ptr<DataComponentBase>>& components() const { return m_components; }
    Data* parent() const { return m_parent; }

    /// Adds a component, or, when one of the same kind is there already, lets that one take over
    /// the new one's values. Returns the component that the list holds afterwards.
    DataComponentBase* add(std::unique_ptr<DataComponentBase> component);
    /// Removes and returns a component; nothing when it is not in the list.
    std::unique_ptr<DataComponentBase> take(const DataComponentBase* component);
    void clear();

    /// Replaces the content by copies of another list's components.
    void copyFrom(const DataComponentList& other);

    SignalImpl<> signalChanged;

private:
    Data* m_parent;
    std::vector<std::unique_ptr<DataComponentBase>> m_components;
};

}  // namespace corvaxis
