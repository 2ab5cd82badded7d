#include "corvaxis/anatomy/io/CollectionCodec.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/io/DataCodec.h"

#include <stdexcept>

namespace corvaxis::io {

namespace {

constexpr const char* genericStructureKind = "GenericAnatomicalStructure";

bool readFlag(const Group& group, const std::string& name)
{
    const auto stored = group.scalar<std::uint8_t>(name);
    if (stored > 1)
        throw Hdf5Error("attribute '" + name + "' of '" + group.path() + "' is no truth value");
    return stored == 1;
}

template <typename T>
void writeStore(const KeyValueStore<T>& store, Group group)
{
    using Store = KeyValueStore<T>;
    std::size_t index = 0;
    for (const auto& [key, entry] : store) {
        Group stored = group.createGroup(std::to_string(index++));
        stored.setText("key", key);
        if (entry.hasValue()) {
            if constexpr (Store::isVectorStore) {
                writeVector(stored, "value", entry.value().data(), T::SizeAtCompileTime);
            }
            else {
                Group value = stored.createGroup("value");
                writeData(*entry.value(), value);
            }
        }
        // The local value is kept as it is: it may lag behind the frame on purpose (a structure
        // moved without updating, or "synchronization" false).
        if constexpr (Store::isVectorStore)
            writeVector(stored, "local_value", entry.localValue().data(), T::SizeAtCompileTime);
        else
            writeMatrix(stored, "local_value", entry.localValue());
        // Read through editAttributes: attributes() would report an entry that holds no value.
        const Properties& attributes = const_cast<typename Store::Entry&>(entry).editAttributes();
        if (!attributes.empty() || !attributes.name().empty()) {
            Group attributesGroup = stored.createGroup("attributes");
            writeProperties(attributes, attributesGroup);
        }
    }
}

template <typename T>
void readStore(KeyValueStore<T>& store, const Group& group)
{
    using Store = KeyValueStore<T>;
    for (const Group& stored : group.indexedGroups()) {
        const std::string key = stored.text("key");
        if (store.has(key))
            throw Hdf5Error("'" + group.path() + "' holds the key '" + key + "' twice");
        auto& entry = store[key];
        // Attributes first: "synchronization" decides whether assigning the value updates the local value.
        if (stored.has("attributes"))
            entry.editAttributes() = readProperties(stored.openGroup("attributes"));
        typename Store::LocalValue local;
        if constexpr (Store::isVectorStore) {
            if (stored.hasAttribute("value")) {
                T value;
                readVector(stored, "value", value.data(), T::SizeAtCompileTime);
                if (!Store::isValid(value))
                    throw Hdf5Error("'" + stored.path() + "' holds a value with NaN");
                entry.replace(value);
            }
            readVector(stored, "local_value", local.data(), T::SizeAtCompileTime);
        }
        else {
            if (stored.has("value")) {
                std::unique_ptr<Data> data = readData(stored.openGroup("value"));
                if (!dynamic_cast<T*>(data.get()))
                    throw Hdf5Error("'" + stored.path() + "/value' holds a " + data->kindName() +
                                    ", which this store does not take");
                entry.replace(std::unique_ptr<T>(static_cast<T*>(data.release())));
            }
            local = readMatrix(stored, "local_value");
        }
        entry.restoreLocalValue(local);
    }
}

void writeStructure(const AnatomicalStructure& structure, Group group)
{
    if (!dynamic_cast<const GenericAnatomicalStructure*>(&structure))
        throw std::invalid_argument("structure '" + structure.identifier() + "' is of a kind that files cannot hold");
    group.setText("kind", genericStructureKind);
    group.setText("identifier", structure.identifier());
    group.setScalar<std::uint8_t>("is_2d", structure.is2D() ? 1 : 0);
    writeMatrix(group, "matrix_to_world", structure.matrixToWorld());
    writeStore(structure.keypoints, group.createGroup("keypoints"));
    writeStore(structure.planes, group.createGroup("planes"));
    writeStore(structure.images, group.createGroup("images"));
    writeStore(structure.meshes, group.createGroup("meshes"));
    writeStore(structure.pointclouds, group.createGroup("pointclouds"));
    writeStore(structure.graphs, group.createGroup("graphs"));
}

std::unique_ptr<AnatomicalStructure> readStructure(const Group& group)
{
    const std::string kind = group.text("kind");
    if (kind != genericStructureKind)
        throw Hdf5Error("'" + group.path() + "' holds a structure of kind '" + kind + "', which no loaded library reads");
    auto structure = std::make_unique<GenericAnatomicalStructure>(group.text("identifier"), readFlag(group, "is_2d"));
    structure->setMatrixToWorld(readMatrix(group, "matrix_to_world"), false);
    readStore(structure->keypoints, group.openGroup("keypoints"));
    readStore(structure->planes, group.openGroup("planes"));
    readStore(structure->images, group.openGroup("images"));
    readStore(structure->meshes, group.openGroup("meshes"));
    readStore(structure->pointclouds, group.openGroup("pointclouds"));
    readStore(structure->graphs, group.openGroup("graphs"));
    return structure;
}

/// The general collection and GenericASC share the layout; GenericASC adds its dimensionality.
class CollectionCodec : public DataCodec {
public:
    explicit CollectionCodec(bool generic) : m_generic(generic) {}

    std::string kindName() const override { return m_generic ? "GenericASC" : "AnatomicalStructureCollection"; }

    void write(const Data& data, Group& group) const override
    {
        const auto& collection = static_cast<const AnatomicalStructureCollection&>(data);
        if (m_generic)
            group.setScalar<std::uint8_t>("is_2d", static_cast<const GenericASC&>(data).is2D() ? 1 : 0);
        Group structures = group.createGroup("structures");
        for (int i = 0; i < collection.numAnatomicalStructures(); ++i)
            writeStructure(*collection.anatomicalStructure(i), structures.createGroup(std::to_string(i)));
    }

    std::unique_ptr<Data> read(const Group& group) const override
    {
        std::unique_ptr<AnatomicalStructureCollection> collection;
        if (m_generic)
            collection = std::make_unique<GenericASC>(readFlag(group, "is_2d"));
        else
            collection = std::make_unique<AnatomicalStructureCollection>();
        for (const Group& stored : group.openGroup("structures").indexedGroups()) {
            std::unique_ptr<AnatomicalStructure> structure = readStructure(stored);
            if (!collection->addAnatomicalStructure(structure))
                throw Hdf5Error("'" + stored.path() + "' holds a structure that the collection does not accept (" +
                                (structure->is2D() ? "2-D" : "3-D") + ")");
        }
        return collection;
    }

private:
    bool m_generic;
};

// Runs when the library is loaded, so that every program or module linking it can read collections.
[[maybe_unused]] const bool registeredAtLoad = (registerCollectionCodecs(), true);

}  // namespace

void registerCollectionCodecs()
{
    registerCodec(std::make_shared<CollectionCodec>(true));
    registerCodec(std::make_shared<CollectionCodec>(false));
}

}  // namespace corvaxis::io
