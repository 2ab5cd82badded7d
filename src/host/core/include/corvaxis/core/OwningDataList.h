#pragma once

#include "corvaxis/core/Data.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace corvaxis {

/// An ordered list of data objects that it owns; algorithms hand their results out in one.
class OwningDataList {
public:
    OwningDataList() = default;
    OwningDataList(OwningDataList&&) noexcept = default;
    OwningDataList& operator=(OwningDataList&&) noexcept = default;

    void add(std::unique_ptr<Data> data) { m_items.push_back(std::move(data)); }
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    Data* at(std::size_t index) const { return m_items.at(index).get(); }
    std::unique_ptr<Data> take(std::size_t index)
    {
        std::unique_ptr<Data> taken = std::move(m_items.at(index));
        m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
        return taken;
    }

    /// Moves out every element that is a T (or derives from it) and, unless kind is AnyKind, is
    /// of that kind. Both the moved elements and those left behind keep their order.
    template <typename T>
    std::vector<std::unique_ptr<T>> extractAll(int kind = AnyKind)
    {
        const auto qualifies = [kind](const std::unique_ptr<Data>& item) {
            return item && (kind == AnyKind || item->kind() == kind) && dynamic_cast<T*>(item.get());
        };
        const auto firstOther = std::stable_partition(m_items.begin(), m_items.end(), qualifies);
        std::vector<std::unique_ptr<T>> extracted;
        for (auto it = m_items.begin(); it != firstOther; ++it)
            extracted.emplace_back(static_cast<T*>(it->release()));
        m_items.erase(m_items.begin(), firstOther);
        return extracted;
    }

private:
    std::vector<std::unique_ptr<Data>> m_items;
};

}  // namespace corvaxis
