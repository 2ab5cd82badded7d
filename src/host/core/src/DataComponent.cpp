#include "corvaxis/core/DataComponent.h"

#include "corvaxis/core/Properties.h"
#include "corvaxis/core/String.h"

#include <typeinfo>

namespace corvaxis {

DataComponentBase& DataComponentBase::operator=(const DataComponentBase& other)
{
    assign(other);
    return *this;
}

void DataComponentBase::assign(const DataComponentBase& other)
{
    Properties values;
    other.configuration(&values);
    configure(&values);
}

DataComponentBase* DataComponentList::add(std::unique_ptr<DataComponentBase> component)
{
    if (!component)
        return nullptr;
    DataComponentBase& added = *component;
    // Components defined in Python share one native type; their identifier tells them apart.
    const bool matchById = String::contains(typeid(added).name(), "PyDataComponent");
    for (const auto& held : m_components) {
        const bool sameKind = matchById ? held->id() == added.id() : typeid(*held) == typeid(added);
        if (sameKind) {
            // Taking over values may run slots that change this list; keep the component, not the slot.
            DataComponentBase* target = held.get();
            target->assign(added);
            return target;
        }
    }
    if (auto* withParent = dynamic_cast<DataComponentWithParentInterface*>(&added))
        withParent->setParent(m_parent);
    m_components.push_back(std::move(component));
    signalChanged.emitSignal();
    return &added;
}

std::unique_ptr<DataComponentBase> DataComponentList::take(const DataComponentBase* component)
{
    for (auto it = m_components.begin(); it != m_components.end(); ++it)
        if (it->get() == component) {
            std::unique_ptr<DataComponentBase> taken = std::move(*it);
            m_components.erase(it);
            signalChanged.emitSignal();
            return taken;
        }
    return nullptr;
}

void DataComponentList::clear()
{
    if (m_components.empty())
        return;
    m_components.clear();
    signalChanged.emitSignal();
}

void DataComponentList::copyFrom(const DataComponentList& other)
{
    if (&other == this)
        return;
    m_components.clear();
    for (const auto& component : other.m_components) {
        std::unique_ptr<DataComponentBase> copy = component->clone();
        if (auto* withParent = dynamic_cast<DataComponentWithParentInterface*>(copy.get()))
            withParent->setParent(m_parent);
        m_components.push_back(std::move(copy));
    }
    signalChanged.emitSignal();
}

}  // namespace corvaxis
