#pragma once

#include "common/Arrays.h"
#include "common/Snapshots.h"
#include "common/Text.h"

#include "corvaxis/anatomy/AnatomicalStructureInvalidException.h"
#include "corvaxis/anatomy/AnatomicalStructureWrapper.h"
#include "corvaxis/anatomy/KeyValueStore.h"
#include "corvaxis/core/Graph.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/String.h"

#include <fmt/format.h>
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis::binding_detail {

/// How one value type crosses between a store and Python. Values are always copied or cloned:
/// nothing that Python holds ever aliases what a store holds.
template <typename T>
struct StoreValueTraits;

template <typename Vector>
struct VectorValueTraits {
    using Input = python::FixedArray<Vector::RowsAtCompileTime>;
    using Output = Input;
    static Output copyOut(const Vector& value) { return Output{value}; }
};

template <>
struct StoreValueTraits<Vec3> : VectorValueTraits<Vec3> {};
template <>
struct StoreValueTraits<Vec4> : VectorValueTraits<Vec4> {};

/// Meshes, point clouds and graphs are copied with their copy constructors.
template <typename Object>
struct CopiedObjectTraits {
    using Input = std::shared_ptr<Object>;
    using Output = std::shared_ptr<Object>;
    static Output copyOut(const std::unique_ptr<Object>& value) { return std::make_shared<Object>(*value); }
    static std::unique_ptr<Object> copyIn(const Object& value) { return std::make_unique<Object>(value); }
};

template <>
struct StoreValueTraits<Mesh> : CopiedObjectTraits<Mesh> {};
template <>
struct StoreValueTraits<PointCloud> : CopiedObjectTraits<PointCloud> {};
template <>
struct StoreValueTraits<Graph> : CopiedObjectTraits<Graph> {};

/// Image sets are cloned; a clone may yield nothing (None going out, a removal going in).
template <>
struct StoreValueTraits<SharedImageSet> {
    using Input = std::shared_ptr<SharedImageSet>;
    using Output = std::shared_ptr<SharedImageSet>;
    static Output copyOut(const std::unique_ptr<SharedImageSet>& value) { return value->clone(); }
    static std::unique_ptr<SharedImageSet> copyIn(const SharedImageSet& value) { return value.clone(); }
};

template <typename T>
constexpr bool isVectorStore = std::is_same_v<T, Vec3> || std::is_same_v<T, Vec4>;

/// Python mapping over one key-value store of a structure. It refers to the live store and keeps
/// a copy of the structure handle, which it asks before every use whether the store still exists.
///
/// Safe by construction: every stretch of code that touches the store starts with that check and
/// runs no Python code (values are copied into C++ containers first and only then turned into
/// Python objects), so nothing can destroy the structure between the check and the access.
template <typename T>
class KeyValueDataWrapper {
public:
    using Store = KeyValueStore<T>;
    using Traits = StoreValueTraits<T>;

    /// Read access to the entries' attributes. It keeps the structure handle as well, so that a
    /// lookup after the structure is gone is refused instead of reaching a destroyed store.
    class Attributes {
    public:
        Attributes(Store* store, AnatomicalStructureWrapper structure, std::string name)
            : m_store(store), m_structure(std::move(structure)), m_name(std::move(name))
        {
        }

        Properties get(const python::Text& key) const
        {
            if (!m_structure.isValid())
                throw AnatomicalStructureInvalidException(invalidMessage(m_name));
            // Looking an absent key up with inserting access would leave an empty entry behind.
            if (!m_store->has(key))
                python::raiseError(PyExc_KeyError, missingKeyMessage(*m_store, key));
            return (*m_store)[key].attributes();
        }

    private:
        Store* m_store;
        AnatomicalStructureWrapper m_structure;
        std::string m_name;
    };

    KeyValueDataWrapper(Store& store, AnatomicalStructureWrapper structure, std::string name)
        : m_store(&store), m_structure(std::move(structure)), m_name(std::move(name))
    {
    }

    bool valid() const { return m_structure.isValid(); }

    void checkIsValid() const
    {
        if (!m_structure.isValid())
            throw AnatomicalStructureInvalidException(invalidMessage(m_name));
    }

    typename Traits::Output get(const python::Text& key) const
    {
        checkIsValid();
        if (!m_store->has(key))
            python::raiseError(PyExc_KeyError, missingKeyMessage(*m_store, key));
        return Traits::copyOut(std::as_const(*m_store)[key].value());
    }

    void set(const python::Text& key, const typename Traits::Input& value)
    {
        checkIsValid();
        assign(key, value);
    }

    void remove(const python::Text& key)
    {
        checkIsValid();
        if (!m_store->has(key))
            python::raiseError(PyExc_KeyError, missingKeyMessage(*m_store, key));
        m_store->take(key);
    }

    bool contains(const python::Text& key) const
    {
        checkIsValid();
        return m_store->has(key);
    }

    std::size_t size() const
    {
        checkIsValid();
        return m_store->size();
    }

    std::vector<std::string> keys() const
    {
        checkIsValid();
        return storeKeys(*m_store);
    }

    std::vector<typename Traits::Output> values() const
    {
        checkIsValid();
        std::vector<typename Traits::Output> result;
        result.reserve(m_store->size());
        for (const auto& [key, entry] : *m_store)
            result.push_back(Traits::copyOut(entry.value()));
        return result;
    }

    pybind11::dict asdict() const
    {
        checkIsValid();
        std::vector<std::pair<std::string, typename Traits::Output>> items;
        items.reserve(m_store->size());
        for (const auto& [key, entry] : *m_store)
            items.emplace_back(key, Traits::copyOut(entry.value()));
        pybind11::dict result;
        for (auto& [key, value] : items)
            result[pybind11::str(key)] = pybind11::cast(std::move(value));
        return result;
    }

    std::string repr() const
    {
        checkIsValid();
        std::vector<std::string> quoted;
        for (const auto& [key, entry] : *m_store)
            quoted.push_back(fmt::format("'{}'", key));
        return fmt::format("<KeyValueDataWrapper for {}, Keys: [{}] >", m_name, String::join(quoted, ","));
    }

    /// Converts the whole dict before the store is touched, so a bad item changes nothing; then
    /// optionally clears the store and applies the items in ascending key order.
    void setFromDict(const pybind11::dict& dict, bool clear)
    {
        checkIsValid();
        std::map<std::string, typename Traits::Input> converted;
        for (const auto& [key, value] : python::itemsSnapshot(dict)) {
            try {
                std::string text = pybind11::cast<python::Text>(key);
                converted.insert_or_assign(std::move(text), pybind11::cast<typename Traits::Input>(value));
            }
            catch (const pybind11::cast_error& error) {
                throw pybind11::value_error(std::string("Type mismatch in dictionary conversion: ") + error.what());
            }
        }
        // Conversion ran Python code, which may have destroyed the structure: ask again.
        checkIsValid();
        if (clear)
            m_store->clear();
        for (const auto& [key, value] : converted)
            assign(key, value);
    }

    Attributes attributes() const { return Attributes(m_store, m_structure, m_name); }

    /// Whether both wrappers work on the same store of the same live structure.
    bool wraps(const KeyValueDataWrapper& other) const
    {
        checkIsValid();
        return other.valid() && m_store == other.m_store;
    }

private:
    static std::string invalidMessage(const std::string& name)
    {
        return "AnatomicalStructure holding " + name + " key value store is no longer valid";
    }

    static std::vector<std::string> storeKeys(const Store& store)
    {
        std::vector<std::string> result;
        result.reserve(store.size());
        for (const auto& [key, entry] : store)
            result.push_back(key);
        return result;
    }

    static std::string missingKeyMessage(const Store& store, const std::string& key)
    {
        return "Key '" + key + "' not found. Available keys: " + String::join(storeKeys(store), ", ");
    }

    void assign(const std::string& key, const typename Traits::Input& value)
    {
        if constexpr (std::is_same_v<T, Vec3>) {
            // A keypoint with a NaN component stands for "no keypoint": it removes the key.
            if (value.value.hasNaN())
                m_store->take(key);
            else
                (*m_store)[key] = value.value;
        }
        else if constexpr (std::is_same_v<T, Vec4>) {
            // A plane with a NaN component is refused; a new key must not get an empty entry.
            if (value.value.hasNaN())
                Store::logRefusedReplacement();
            else
                (*m_store)[key].replace(value.value);
        }
        else {
            if (!value)
                throw pybind11::value_error("Cannot set a null shared_ptr to a KeyValueStore expecting unique_ptr");
            std::unique_ptr<T> copy = Traits::copyIn(*value);
            if (!copy)
                m_store->take(key);
            else
                (*m_store)[key] = std::move(copy);
        }
    }

    Store* m_store;
    AnatomicalStructureWrapper m_structure;
    std::string m_name;
};

/// Defines the Python class "KeyValueDataWrapper" + suffix for the store of T, with its nested
/// class _Attributes.
template <typename T>
void bindKeyValueDataWrapper(pybind11::module_& module, const std::string& suffix);

}  // namespace corvaxis::binding_detail
