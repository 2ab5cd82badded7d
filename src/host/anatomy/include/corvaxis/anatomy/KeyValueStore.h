#pragma once

#include "corvaxis/core/Graph.h"
#include "corvaxis/core/Log.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/Properties.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/Signal.h"
#include "corvaxis/core/TransformHelpers.h"
#include "corvaxis/core/Types.h"

#include <Eigen/LU>

#include <limits>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace corvaxis {

/// Named values of one type held by an anatomical structure: its keypoints (Vec3), planes (Vec4),
/// images, meshes, point clouds or graphs (owned objects).
///
/// Each entry keeps, besides its value and attributes, the value expressed in the owner's local
/// frame (frameMatrix, the owner's local-to-world matrix, may be null). Object entries follow
/// their object's change signal, so the local value tracks later matrix changes of the object.
/// Additions, changes and removals are announced through the three signals; misuse is logged at
/// level 4 under "AnatomyPlugin.KeyValueStore" and never raised.
///
/// Keys sort byte-wise; iteration and clear() follow that order. Lookups, insertion and the
/// assignment of an entry are logarithmic in the number of entries.
template <typename T>
class KeyValueStore : public SignalReceiver {
public:
    static constexpr bool isVectorStore = std::is_same_v<T, Vec3> || std::is_same_v<T, Vec4>;

    /// The vector itself, or the exclusively owned object.
    using Value = std::conditional_t<isVectorStore, T, std::unique_ptr<T>>;
    /// The value in the owner's frame: a vector of the same size, or the object's matrix.
    using LocalValue = std::conditional_t<isVectorStore, T, Mat4>;
    /// How removed and previous values reach the signals: vectors read-only, objects by reference.
    using SignalValue = std::conditional_t<isVectorStore, const T&, T&>;

    static constexpr const char* logCategory = "AnatomyPlugin.KeyValueStore";

    class Entry : public SignalReceiver {
    public:
        /// An entry belonging to no map position of the store; stores make their own entries.
        /// Such an entry can hold a value, but announces nothing.
        explicit Entry(KeyValueStore& store) : m_store(&store) {}
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        /// Member order makes the attributes go first, then the owned object, then the receiver base.
        ~Entry() override = default;

        /// Assigns a valid value and discards the previous one; an invalid value is refused and
        /// logged, leaving the entry as it was.
        Entry& operator=(Value newValue)
        {
            if (!isValid(newValue)) {
                logRefusedAssignment();
                return *this;
            }
            replace(std::move(newValue));
            return *this;
        }

        /// Stores a valid value and returns the previous one (the argument itself when refused).
        /// Emits signalEntryAdded for the first value, signalEntryChanged for later ones.
        Value replace(Value newValue);

        const Value& value() const { return m_value; }
        /// Logs when the entry holds no valid value, then returns the attributes all the same.
        const Properties& attributes() const
        {
            if (!isValid(m_value))
                logMessage([] { return std::string("Invalid entry (nullptr/NaN) present in KeyValueStore"); });
            return m_attributes;
        }
        /// Writable attributes (for instance "synchronization"), without the validity report.
        Properties& editAttributes() { return m_attributes; }
        KeyValueStore& store() const { return *m_store; }
        const LocalValue& localValue() const { return m_localValue; }
        bool hasValue() const { return m_hasValue; }

        /// Recomputes the local value from the value and the store's frame, unless the attribute
        /// "synchronization" is present and false.
        void synchronizeLocal();
        /// Puts back a local value as it was recorded (by a file), which may differ from what
        /// synchronizeLocal would compute now.
        void restoreLocalValue(const LocalValue& localValue) { m_localValue = localValue; }

    private:
        friend class KeyValueStore;

        Value m_value = emptyValue();
        Properties m_attributes;
        KeyValueStore* m_store;
        LocalValue m_localValue = emptyLocalValue();
        bool m_hasValue = false;
        // The entry's key inside the map; null for an entry that no map position holds.
        const std::string* m_key = nullptr;
    };

    using Map = std::map<std::string, Entry>;

    explicit KeyValueStore(const Mat4* frameMatrix = nullptr) : m_frameMatrix(frameMatrix) {}
    KeyValueStore(const KeyValueStore&) = delete;
    KeyValueStore& operator=(const KeyValueStore&) = delete;
    ~KeyValueStore() override = default;

    bool has(const std::string& key) const { return m_entries.contains(key); }

    /// The entry for key, inserted without a value when absent. Emits nothing.
    Entry& operator[](const std::string& key);
    /// The entry for key, which must be present (test has() first). An absent key is logged and
    /// answered with a shared empty entry that holds no valid value.
    const Entry& operator[](const std::string& key) const;

    /// Removes the entry and returns its value; the empty value when the key is absent.
    Value take(const std::string& key);
    /// Removes every entry in key order, announcing each removal.
    void clear();

    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    typename Map::const_iterator begin() const { return m_entries.begin(); }
    typename Map::const_iterator end() const { return m_entries.end(); }

    const Mat4* frameMatrix() const { return m_frameMatrix; }
    /// Recomputes every entry's local value, after the owner's frame has changed.
    void synchronizeLocalValues();
    /// Makes this store hold independent copies of another store's entries: values, attributes
    /// and local values. Announces each copied entry as added.
    void copyEntriesFrom(const KeyValueStore& other);

    /// Whether a value may enter a store: a vector without NaN, or a non-null object.
    static bool isValid(const Value& value)
    {
        if constexpr (isVectorStore)
            return !value.hasNaN();
        else
            return value != nullptr;
    }
    /// The value that stands for "none": a NaN vector or a null object.
    static Value emptyValue()
    {
        if constexpr (isVectorStore)
            return T::Constant(std::numeric_limits<double>::quiet_NaN());
        else
            return nullptr;
    }
    /// Logs the refusal that assignment gives, for callers that refuse an invalid value themselves
    /// without creating an entry for it.
    static void logRefusedAssignment()
    {
        logMessage([] { return std::string("Attempted to insert invalid entry (nullptr/NaN) into KeyValueStore!"); });
    }
    /// Logs the refusal that replace() gives, for callers that refuse an invalid value
    /// themselves without creating an entry for it.
    static void logRefusedReplacement()
    {
        logMessage([] { return std::string("Attempting to insert invalid entry (nullptr/NaN) into KeyValueStore"); });
    }

    SignalImpl<const std::string&, Entry&> signalEntryAdded;
    SignalImpl<const std::string&, SignalValue> signalEntryRemoved;
    SignalImpl<const std::string&, SignalValue, Entry&> signalEntryChanged;

private:
    static LocalValue emptyLocalValue()
    {
        if constexpr (isVectorStore)
            return T::Constant(std::numeric_limits<double>::quiet_NaN());
        else
            return Mat4::Identity();
    }

    template <typename BuildMessage>
    static void logMessage(BuildMessage&& buildMessage)
    {
        Log::logIfAccepted(Log::Error, logCategory, std::forward<BuildMessage>(buildMessage));
    }

    /// Removes the entry at it and announces it; the object (if any) goes back to the caller.
    Value eraseEntry(typename Map::iterator it);

    static Value copyValue(const Value& value);

    Map m_entries;
    const Mat4* m_frameMatrix;
};

template <typename T>
typename KeyValueStore<T>::Value KeyValueStore<T>::Entry::replace(Value newValue)
{
    if (!isValid(newValue)) {
        logRefusedReplacement();
        return newValue;
    }
    Value previous = std::exchange(m_value, std::move(newValue));
    synchronizeLocal();
    if constexpr (!isVectorStore) {
        if (previous)
            previous->signalChanged.disconnect(this);
        m_value->signalChanged.connect(this, [this](const Data*) { synchronizeLocal(); });
    }
    const bool hadValue = std::exchange(m_hasValue, true);

    // Identity, not key equality: only the entry that the map holds under its key may announce.
    const auto found = m_key ? m_store->m_entries.find(*m_key) : m_store->m_entries.end();
    if (found == m_store->m_entries.end() || &found->second != this) {
        logMessage([] { return std::string("Entry that was not part of map tried to emit signal"); });
        return previous;
    }
    if (hadValue) {
        if constexpr (isVectorStore)
            m_store->signalEntryChanged.emitSignal(found->first, previous, *this);
        else
            m_store->signalEntryChanged.emitSignal(found->first, *previous, *this);
    }
    else {
        m_store->signalEntryAdded.emitSignal(found->first, *this);
    }
    return previous;
}

template <typename T>
void KeyValueStore<T>::Entry::synchronizeLocal()
{
    bool synchronization = true;
    if (m_attributes.param("synchronization", synchronization) && !synchronization)
        return;
    if constexpr (isVectorStore) {
        TransformHelpers::worldToLocal(m_value, m_store->m_frameMatrix, m_localValue);
    }
    else {
        // An entry without an object has no matrix to follow.
        if (!m_value)
            return;
        const Mat4 objectMatrix = m_value->matrix();
        m_localValue = m_store->m_frameMatrix ? Mat4(m_store->m_frameMatrix->inverse() * objectMatrix) : objectMatrix;
    }
}

template <typename T>
typename KeyValueStore<T>::Entry& KeyValueStore<T>::operator[](const std::string& key)
{
    auto [it, inserted] = m_entries.try_emplace(key, *this);
    if (inserted)
        it->second.m_key = &it->first;
    return it->second;
}

template <typename T>
const typename KeyValueStore<T>::Entry& KeyValueStore<T>::operator[](const std::string& key) const
{
    const auto it = m_entries.find(key);
    if (it != m_entries.end())
        return it->second;
    logMessage([&key] { return "Attempted to access missing element with key " + key; });
    // Never inserted anywhere and never handed out writable, so it stays empty.
    static KeyValueStore emptyStore;
    static const Entry emptyEntry(emptyStore);
    return emptyEntry;
}

template <typename T>
typename KeyValueStore<T>::Value KeyValueStore<T>::eraseEntry(typename Map::iterator it)
{
    Entry& entry = it->second;
    if constexpr (!isVectorStore) {
        if (entry.m_value)
            entry.m_value->signalChanged.disconnect(&entry);
    }
    const bool announced = std::exchange(entry.m_hasValue, false);
    Value value = std::exchange(entry.m_value, emptyValue());
    const std::string key = it->first;
    m_entries.erase(it);
    // An entry that never held a value was never announced as added, so it leaves silently.
    if (announced) {
        if constexpr (isVectorStore)
            signalEntryRemoved.emitSignal(key, value);
        else
            signalEntryRemoved.emitSignal(key, *value);
    }
    return value;
}

template <typename T>
typename KeyValueStore<T>::Value KeyValueStore<T>::take(const std::string& key)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return emptyValue();
    return eraseEntry(it);
}

template <typename T>
void KeyValueStore<T>::clear()
{
    // One entry at a time from the front: slots of the removal signal may change the store.
    while (!m_entries.empty())
        eraseEntry(m_entries.begin());
}

template <typename T>
void KeyValueStore<T>::synchronizeLocalValues()
{
    for (auto& [key, entry] : m_entries)
        entry.synchronizeLocal();
}

template <typename T>
typename KeyValueStore<T>::Value KeyValueStore<T>::copyValue(const Value& value)
{
    if constexpr (isVectorStore) {
        return value;
    }
    else if constexpr (std::is_same_v<T, SharedImageSet>) {
        if (!value)
            return nullptr;
        if (auto copy = value->clone())
            return copy;
        // A set without images has no clone; an empty set with the same description stands in.
        auto copy = std::make_unique<SharedImageSet>();
        copy->setName(value->name());
        copy->setMatrix(value->matrix());
        copy->setModality(value->modality());
        copy->components().copyFrom(value->components());
        return copy;
    }
    else {
        return value ? std::make_unique<T>(*value) : nullptr;
    }
}

template <typename T>
void KeyValueStore<T>::copyEntriesFrom(const KeyValueStore& other)
{
    if (&other == this)
        return;
    for (const auto& [key, source] : other.m_entries) {
        Entry& entry = (*this)[key];
        entry.m_attributes = source.m_attributes;
        if (isValid(source.m_value))
            entry.replace(copyValue(source.m_value));
        entry.m_localValue = source.m_localValue;
    }
}

extern template class KeyValueStore<Vec3>;
extern template class KeyValueStore<Vec4>;
extern template class KeyValueStore<SharedImageSet>;
extern template class KeyValueStore<Mesh>;
extern template class KeyValueStore<PointCloud>;
extern template class KeyValueStore<Graph>;

}  // namespace corvaxis
