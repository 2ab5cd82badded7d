#pragma once

#include "corvaxis/core/Parameter.h"
#include "corvaxis/core/Signal.h"

#include <atomic>
#include <concepts>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis {

/// A stamp no list has had before: revisions are unique across all lists, so that a holder of an
/// element reference never mistakes another list (made where a gone one was) for its own.
inline std::size_t nextListRevision()
{
    static std::atomic<std::size_t> next{0};
    return ++next;
}

/// What a list parameter needs of its elements: default and copy construction, their own
/// configuration, and a signal that fires when they change.
template <typename T>
concept ListElement = std::default_initializable<T> && std::copy_constructible<T> &&
                      requires(T& element, const T& constElement, Properties& properties) {
                          element.configure(&properties);
                          constElement.configuration(&properties);
                          { element.signalModified } -> std::same_as<SignalImpl<>&>;
                      };

/// A parameter holding a list of configurable elements by value, saved as sibling sub-blocks named
/// after the list. A change inside any element reaches the list's change signal exactly once.
/// Growing or shrinking the list may move its elements: a reference to an element is valid only
/// until the list changes; revision() tells holders of such a reference that it did.
template <ListElement T>
class SubPropertyList : public ParameterBase, public SignalReceiver {
public:
    SubPropertyList(std::string name, Configurable* owner) : ParameterBase(std::move(name), owner) {}

    // Connections are not copied: the copy connects to its own elements.
    SubPropertyList(const SubPropertyList& other) : ParameterBase(other), SignalReceiver()
    {
        copyElementsFrom(other);
    }
    SubPropertyList& operator=(const SubPropertyList& other)
    {
        if (this != &other) {
            ParameterBase::operator=(other);
            copyElementsFrom(other);
        }
        return *this;
    }
    /// Takes over the other list's elements, leaving it empty.
    SubPropertyList(SubPropertyList&& other) : ParameterBase(other), SignalReceiver() { takeElementsFrom(other); }
    SubPropertyList& operator=(SubPropertyList&& other)
    {
        if (this != &other) {
            ParameterBase::operator=(other);
            takeElementsFrom(other);
        }
        return *this;
    }
    ~SubPropertyList() override = default;

    std::size_t size() const { return m_elements.size(); }
    bool empty() const { return m_elements.empty(); }
    T& operator[](std::size_t index) { return m_elements[index]; }
    const T& operator[](std::size_t index) const { return m_elements[index]; }
    auto begin() { return m_elements.begin(); }
    auto end() { return m_elements.end(); }
    auto begin() const { return m_elements.begin(); }
    auto end() const { return m_elements.end(); }

    /// Changes with every change of the element array (not of the elements' content).
    std::size_t revision() const { return m_revision; }

    T& append(T element)
    {
        const T* before = m_elements.data();
        m_elements.push_back(std::move(element));
        arrayChanged();
        // Only a move of the array loses the elements' connections; otherwise connecting the
        // new element is enough, which keeps appending to a long list cheap.
        if (m_elements.data() == before)
            connect(m_elements.back());
        else
            updateSignalConnections();
        signalChanged.emitSignal(this);
        return m_elements.back();
    }

    /// Removes the elements for which the predicate holds; the change signal fires once if any went.
    template <typename Predicate>
    std::size_t removeIf(Predicate predicate)
    {
        std::size_t removed = 0;
        {
            // Closing the gaps assigns elements, whose own signals must not reach the list one by one.
            SignalBlocker blocker(signalChanged);
            removed = std::erase_if(m_elements, predicate);
            if (removed > 0) {
                arrayChanged();
                updateSignalConnections();
            }
        }
        if (removed > 0)
            signalChanged.emitSignal(this);
        return removed;
    }

    void configure(const Properties& properties) override
    {
        const std::vector<const Properties*> blocks = properties.subPropertiesAll(name());
        {
            SignalBlocker blocker(signalChanged);
            m_elements.clear();
            m_elements.resize(blocks.size());
            arrayChanged();
            for (std::size_t i = 0; i < blocks.size(); ++i)
                m_elements[i].configure(blocks[i]);
            updateSignalConnections();
        }
        signalChanged.emitSignal(this);
    }

    void configuration(Properties& properties) const override
    {
        for (const Properties* block : properties.subPropertiesAll(name()))
            properties.deleteSubProperty(block);
        for (const T& element : m_elements) {
            Properties* block = properties.addSubProperties(name());
            element.configuration(block);
            block->setName(name());
            block->setAttributes(attributes);
        }
    }

    void resetToDefault() override
    {
        if (m_elements.empty())
            return;
        m_elements.clear();
        arrayChanged();
        signalChanged.emitSignal(this);
    }

    /// Connects every element not yet connected, so each change reaches the list exactly once.
    void updateSignalConnections()
    {
        for (T& element : m_elements)
            connect(element);
    }

private:
    void connect(T& element)
    {
        if (!element.signalModified.isConnectedTo(this))
            element.signalModified.connect(this, [this] { signalChanged.emitSignal(this); });
    }

    void disconnectElements()
    {
        for (T& element : m_elements)
            element.signalModified.disconnect(this);
    }

    void copyElementsFrom(const SubPropertyList& other)
    {
        {
            SignalBlocker blocker(signalChanged);
            disconnectElements();
            m_elements = other.m_elements;
            arrayChanged();
            updateSignalConnections();
            attributes = other.attributes;
        }
        signalChanged.emitSignal(this);
    }

    void takeElementsFrom(SubPropertyList& other)
    {
        {
            SignalBlocker blocker(signalChanged);
            other.disconnectElements();
            std::vector<T> taken;
            taken.swap(other.m_elements);
            other.arrayChanged();
            disconnectElements();
            m_elements.swap(taken);
            arrayChanged();
            updateSignalConnections();
            attributes = other.attributes;
        }
        signalChanged.emitSignal(this);
    }

    void arrayChanged() { m_revision = nextListRevision(); }

    std::vector<T> m_elements;
    std::size_t m_revision = nextListRevision();
};

}  // namespace corvaxis
