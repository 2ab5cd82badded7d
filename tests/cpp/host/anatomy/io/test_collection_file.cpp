#include "../../core/io/DataFileTestSupport.h"
#include "CollectionSample.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/io/DataFile.h"

#include <cmath>
#include <cstring>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

/// Bitwise, so that NaN local values (an entry that never synchronized) compare equal too.
template <typename Matrix>
bool sameBits(const Matrix& a, const Matrix& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

bool sameObject(const SharedImageSet& a, const SharedImageSet& b)
{
    if (a.size() != b.size() || a.modality() != b.modality() || a.selectedIndex() != b.selectedIndex())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (!(*a.get(i) == *b.get(i)))
            return false;
    return true;
}
bool sameObject(const Mesh& a, const Mesh& b)
{
    return a.vertices() == b.vertices() && a.faces() == b.faces() && a.normals() == b.normals();
}
bool sameObject(const PointCloud& a, const PointCloud& b) { return a.points() == b.points() && a.normals() == b.normals(); }
bool sameObject(const Graph& a, const Graph& b)
{
    return a.nodes() == b.nodes() && a.edges() == b.edges() && a.directed() == b.directed() &&
           a.nodeFeatures() == b.nodeFeatures() && a.edgeFeatures() == b.edgeFeatures();
}

template <typename T>
void expectSameStore(const KeyValueStore<T>& a, const KeyValueStore<T>& b, const std::string& where)
{
    using Store = KeyValueStore<T>;
    ASSERT_EQ(a.size(), b.size()) << where;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
        const std::string at = where + "[" + ia->first + "]";
        const auto& ea = ia->second;
        const auto& eb = ib->second;
        EXPECT_EQ(ia->first, ib->first) << at;
        ASSERT_EQ(ea.hasValue(), eb.hasValue()) << at;
        EXPECT_TRUE(sameBits(ea.localValue(), eb.localValue())) << at;
        EXPECT_TRUE(const_cast<typename Store::Entry&>(ea).editAttributes() ==
                    const_cast<typename Store::Entry&>(eb).editAttributes())
            << at;
        if (!ea.hasValue())
            continue;
        if constexpr (Store::isVectorStore) {
            EXPECT_EQ(ea.value(), eb.value()) << at;
        }
        else {
            EXPECT_TRUE(sameObject(*ea.value(), *eb.value())) << at;
            EXPECT_EQ(ea.value()->matrix(), eb.value()->matrix()) << at;
            EXPECT_EQ(ea.value()->name(), eb.value()->name()) << at;
            EXPECT_EQ(ea.value()->components().size(), eb.value()->components().size()) << at;
        }
    }
}

void expectSameCollection(const GenericASC& a, const GenericASC& b)
{
    EXPECT_EQ(a.is2D(), b.is2D());
    EXPECT_EQ(a.name(), b.name());
    EXPECT_EQ(a.matrix(), b.matrix());
    EXPECT_EQ(a.components().size(), b.components().size());
    ASSERT_EQ(a.numAnatomicalStructures(), b.numAnatomicalStructures());
    for (int i = 0; i < a.numAnatomicalStructures(); ++i) {
        const AnatomicalStructure& sa = *a.anatomicalStructure(i);
        const AnatomicalStructure& sb = *b.anatomicalStructure(i);
        const std::string where = "structure " + std::to_string(i);
        EXPECT_EQ(sa.identifier(), sb.identifier()) << where;
        EXPECT_EQ(sa.is2D(), sb.is2D()) << where;
        EXPECT_EQ(sa.matrixToWorld(), sb.matrixToWorld()) << where;
        EXPECT_NE(dynamic_cast<const GenericAnatomicalStructure*>(&sb), nullptr) << where;
        expectSameStore(sa.keypoints, sb.keypoints, where + " keypoints");
        expectSameStore(sa.planes, sb.planes, where + " planes");
        expectSameStore(sa.images, sb.images, where + " images");
        expectSameStore(sa.meshes, sb.meshes, where + " meshes");
        expectSameStore(sa.pointclouds, sb.pointclouds, where + " pointclouds");
        expectSameStore(sa.graphs, sb.graphs, where + " graphs");
    }
}

class CollectionFileTest : public ::testing::Test {
protected:
    std::unique_ptr<GenericASC> roundTrip(const GenericASC& collection)
    {
        io::save(collection, path);
        std::unique_ptr<Data> loaded = io::load(path, "GenericASC");
        auto* typed = dynamic_cast<GenericASC*>(loaded.get());
        EXPECT_NE(typed, nullptr);
        loaded.release();
        return std::unique_ptr<GenericASC>(typed);
    }

    ScratchDirectory directory;
    fs::path path = directory / "patient.cvx";
};

}  // namespace

TEST_F(CollectionFileTest, EveryStoreValueAttributeAndMatrixComesBack)
{
    const auto collection = everyStoreCollection();
    const auto loaded = roundTrip(*collection);
    expectSameCollection(*collection, *loaded);

    // The restored entries behave as the saved ones: moving the frame updates every local value
    // except the one whose "synchronization" is false.
    const Mat4 moved = transform(-0.4, Vec3(0, 5, 0));
    for (auto* structure : {collection->anatomicalStructure(0), loaded->anatomicalStructure(0)})
        structure->setMatrixToWorld(moved, true);
    expectSameCollection(*collection, *loaded);
    const AnatomicalStructure& liver = *loaded->anatomicalStructure(0);
    EXPECT_TRUE(liver.keypoints["tip"].localValue().hasNaN());
    EXPECT_TRUE(liver.keypoints["hilum"].localValue().isApprox(
        (moved.inverse() * Vec4(4, 30, -2, 1)).head<3>()));

    // Another save of what was read gives the same file.
    const Bytes first = readBytes(path);
    io::save(*loaded, directory / "again.cvx");
    io::save(*collection, path);
    EXPECT_EQ(readBytes(path), readBytes(directory / "again.cvx"));
    EXPECT_NE(first, readBytes(path));
}

TEST_F(CollectionFileTest, CollectionsKeepTheirKindAndDimensionality)
{
    GenericASC flat(true);
    std::unique_ptr<AnatomicalStructure> slice = std::make_unique<GenericAnatomicalStructure>("slice", true);
    slice->keypoints["a"] = Vec3(1, 2, 0);
    flat.addAnatomicalStructure(slice);
    const auto loaded = roundTrip(flat);
    expectSameCollection(flat, *loaded);
    EXPECT_TRUE(loaded->is2D());
    EXPECT_TRUE(roundTrip(GenericASC(false))->numAnatomicalStructures() == 0);

    // The general collection takes 2-D and 3-D structures side by side.
    AnatomicalStructureCollection general;
    for (bool is2D : {true, false}) {
        std::unique_ptr<AnatomicalStructure> structure = std::make_unique<GenericAnatomicalStructure>("s", is2D);
        general.addAnatomicalStructure(structure);
    }
    io::save(general, path);
    const std::unique_ptr<Data> loadedGeneral = io::load(path, "AnatomicalStructureCollection");
    const auto& read = dynamic_cast<const AnatomicalStructureCollection&>(*loadedGeneral);
    ASSERT_EQ(read.numAnatomicalStructures(), 2);
    EXPECT_TRUE(read.anatomicalStructure(0)->is2D() && !read.anatomicalStructure(1)->is2D());
}

TEST_F(CollectionFileTest, ContentTheCollectionCannotHoldIsRefusedWhole)
{
    const auto refusal = [&](const std::function<void(hid_t)>& change) -> std::string {
        io::save(*everyStoreCollection(), path);
        tamper(path, change);
        try {
            io::load(path);
        }
        catch (const io::FileFormatError& error) {
            EXPECT_EQ(error.path(), path);
            return error.reason();
        }
        ADD_FAILURE() << "the tampered collection was read";
        return {};
    };

    // A 2-D structure in a 3-D collection.
    EXPECT_NE(refusal([](hid_t file) {
                  const hid_t structure = H5Gopen2(file, "structures/1", H5P_DEFAULT);
                  H5Adelete(structure, "is_2d");
                  const hid_t space = H5Screate(H5S_SCALAR);
                  const unsigned char yes = 1;
                  const hid_t attribute = H5Acreate2(structure, "is_2d", H5T_STD_U8LE, space, H5P_DEFAULT, H5P_DEFAULT);
                  H5Awrite(attribute, H5T_NATIVE_UINT8, &yes);
                  H5Aclose(attribute);
                  H5Sclose(space);
                  H5Gclose(structure);
              }).find("does not accept (2-D)"),
              std::string::npos);
    // A point cloud where a mesh belongs.
    EXPECT_NE(refusal([](hid_t file) {
                  H5Ldelete(file, "structures/0/meshes/0/value", H5P_DEFAULT);
                  H5Ocopy(file, "structures/0/pointclouds/0/value", file, "structures/0/meshes/0/value", H5P_DEFAULT,
                          H5P_DEFAULT);
              }).find("holds a PointCloud, which this store does not take"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) { setTextAttribute(file, "structures/2", "kind", "Vertebra"); })
                  .find("structure of kind 'Vertebra'"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) { setTextAttribute(file, "structures/0/keypoints/0", "key", "pending"); })
                  .find("holds the key 'pending' twice"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) { H5Ldelete(file, "structures/0/graphs", H5P_DEFAULT); })
                  .find("group '/structures/0/graphs' is missing"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) { setTextAttribute(file, "structures/0/images/1/value", "kind", "Mesh"); })
                  .find("array '/structures/0/images/1/value/vertices' is missing"),
              std::string::npos);
}
