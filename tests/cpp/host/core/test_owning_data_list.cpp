#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/OwningDataList.h"
#include "corvaxis/core/PointCloud.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using corvaxis::Data;
using corvaxis::Mesh;
using corvaxis::OwningDataList;
using corvaxis::PointCloud;

namespace {
struct FineMesh : Mesh {};

// A data object whose kind is chosen per object, to exercise the kind filter alone.
struct Item : Data {
    explicit Item(int k) : k(k) {}
    int kind() const override { return k; }
    std::string kindName() const override { return "Item"; }
    std::unique_ptr<Data> cloneData() const override { return std::make_unique<Item>(*this); }
    int k;
};
struct SpecialItem : Item {
    using Item::Item;
};

template <typename T>
std::vector<const Data*> pointers(const std::vector<std::unique_ptr<T>>& items)
{
    std::vector<const Data*> result;
    for (const auto& item : items)
        result.push_back(item.get());
    return result;
}

std::vector<const Data*> pointers(const OwningDataList& list)
{
    std::vector<const Data*> result;
    for (std::size_t i = 0; i < list.size(); ++i)
        result.push_back(list.at(i));
    return result;
}

template <typename T, typename... Args>
const Data* put(OwningDataList& list, Args&&... args)
{
    auto item = std::make_unique<T>(std::forward<Args>(args)...);
    const Data* raw = item.get();
    list.add(std::move(item));
    return raw;
}
}  // namespace

TEST(ExtractAll, MovesMatchingTypesOutAndKeepsBothOrders)
{
    OwningDataList list;
    const Data* cloud0 = put<PointCloud>(list);
    const Data* mesh1 = put<Mesh>(list);
    const Data* cloud2 = put<PointCloud>(list);
    const Data* fine3 = put<FineMesh>(list);
    list.add(nullptr);
    const Data* mesh5 = put<Mesh>(list);

    const auto meshes = list.extractAll<Mesh>();
    EXPECT_EQ(pointers(meshes), (std::vector<const Data*>{mesh1, fine3, mesh5}));
    EXPECT_EQ(pointers(list), (std::vector<const Data*>{cloud0, cloud2, nullptr}));

    EXPECT_TRUE(list.extractAll<Mesh>().empty());
    EXPECT_EQ(list.size(), 3u);
    const auto everything = list.extractAll<Data>();
    EXPECT_EQ(pointers(everything), (std::vector<const Data*>{cloud0, cloud2}));
    EXPECT_EQ(pointers(list), (std::vector<const Data*>{nullptr}));
}

TEST(ExtractAll, KindFilterAppliesOnTopOfTheType)
{
    OwningDataList list;
    const Data* five0 = put<Item>(list, 5);
    const Data* six1 = put<Item>(list, 6);
    const Data* five2 = put<SpecialItem>(list, 5);
    const Data* mesh3 = put<Mesh>(list);
    const Data* five4 = put<Item>(list, 5);

    EXPECT_TRUE(list.extractAll<Mesh>(corvaxis::PointCloudKind).empty());
    EXPECT_TRUE(list.extractAll<SpecialItem>(6).empty());
    EXPECT_EQ(list.size(), 5u);

    const auto fives = list.extractAll<Item>(5);
    EXPECT_EQ(pointers(fives), (std::vector<const Data*>{five0, five2, five4}));
    EXPECT_EQ(pointers(list), (std::vector<const Data*>{six1, mesh3}));
    const auto meshes = list.extractAll<Data>(corvaxis::MeshKind);
    EXPECT_EQ(pointers(meshes), (std::vector<const Data*>{mesh3}));
    EXPECT_EQ(pointers(list), (std::vector<const Data*>{six1}));
}

namespace {
struct MakeMesh : corvaxis::Algorithm {
    corvaxis::Parameter<bool> fail{"fail", false, this};
    void compute() override
    {
        if (fail) {
            setStatus(Error, "asked to fail");
            return;
        }
        output().add(std::make_unique<Mesh>());
        setStatus(Success);
    }
};
}  // namespace

TEST(AlgorithmOutput, TakeOutputHandsOverOnce)
{
    MakeMesh algorithm;
    EXPECT_NE(algorithm.status(), corvaxis::Algorithm::Success);
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), 0);
    OwningDataList output = algorithm.takeOutput();
    EXPECT_EQ(output.size(), 1u);
    EXPECT_TRUE(algorithm.takeOutput().empty());

    algorithm.fail = true;
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), corvaxis::Algorithm::Error);
    EXPECT_EQ(algorithm.statusMessage(), "asked to fail");
    EXPECT_TRUE(algorithm.takeOutput().empty());
}
