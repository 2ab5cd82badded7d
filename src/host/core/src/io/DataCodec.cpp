#include "corvaxis/core/io/DataCodec.h"

#include "CoreCodecs.h"

#include <Eigen/Core>

#include <pthread.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <variant>

namespace corvaxis::io {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const DataCodec>> codecs;
    std::map<std::string, ComponentFactory> components;
};

Registry& registry()
{
    // Never destroyed: codecs of other libraries may sit in it until the very end of the process.
    static Registry* const instance = [] {
        auto* created = new Registry;
        // A fork waits for a lookup in progress, so that a child (a trial read) finds it free.
        ::pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                         [] { registry().mutex.unlock(); });
        for (auto& codec : coreCodecs())
            created->codecs[codec->kindName()] = std::move(codec);
        for (auto& [id, factory] : coreComponents())
            created->components[id] = std::move(factory);
        return created;
    }();
    return *instance;
}

ComponentFactory findComponent(const std::string& id)
{
    Registry& known = registry();
    const std::lock_guard lock(known.mutex);
    const auto it = known.components.find(id);
    return it == known.components.end() ? ComponentFactory() : it->second;
}

using RowMajorMat4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;

void writeTextMap(Group& group, const Properties::Attributes& attributes)
{
    if (attributes.empty())
        return;
    std::vector<std::string> names;
    std::vector<std::string> values;
    for (const auto& [name, value] : attributes) {
        names.push_back(name);
        values.push_back(value);
    }
    group.setTexts("attribute_names", names);
    group.setTexts("attribute_values", values);
}

Properties::Attributes readTextMap(const Group& group)
{
    Properties::Attributes attributes;
    if (!group.hasAttribute("attribute_names"))
        return attributes;
    const std::vector<std::string> names = group.texts("attribute_names");
    const std::vector<std::string> values = group.texts("attribute_values");
    if (names.size() != values.size())
        throw Hdf5Error("'" + group.path() + "' has " + std::to_string(names.size()) + " attribute names but " +
                        std::to_string(values.size()) + " values");
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!attributes.emplace(names[i], values[i]).second)
            throw Hdf5Error("'" + group.path() + "' names attribute '" + names[i] + "' twice");
    return attributes;
}

void writeValue(Group& group, const std::string& name, const Properties::Value& value)
{
    group.setScalar<std::uint32_t>(name + "_type", typeCodeOf(value));
    std::visit(
        [&](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, bool>)
                group.setScalar<std::uint8_t>(name, held ? 1 : 0);
            else if constexpr (std::is_same_v<T, int>)
                group.setScalar<std::int32_t>(name, held);
            else if constexpr (std::is_same_v<T, double>)
                group.setScalar<double>(name, held);
            else if constexpr (std::is_same_v<T, std::string>)
                group.setText(name, held);
            else if constexpr (std::is_same_v<T, Mat4>)
                writeMatrix(group, name, held);
            else
                writeVector(group, name, held.data(), static_cast<std::size_t>(held.size()));
        },
        value);
}

template <typename Vector>
Vector readFixedVector(const Group& group, const std::string& name)
{
    Vector vector;
    readVector(group, name, vector.data(), static_cast<std::size_t>(vector.size()));
    return vector;
}

Properties::Value readValue(const Group& group, const std::string& name)
{
    using Type = Properties::Type;
    const auto code = group.scalar<std::uint32_t>(name + "_type");
    switch (static_cast<Type>(code)) {
    case Type::Bool: {
        const auto stored = group.scalar<std::uint8_t>(name);
        if (stored > 1)
            throw Hdf5Error("attribute '" + name + "' of '" + group.path() + "' is no truth value");
        return stored == 1;
    }
    case Type::Int: return int{group.scalar<std::int32_t>(name)};
    case Type::Double: return group.scalar<double>(name);
    case Type::String: return group.text(name);
    case Type::Vec2: return readFixedVector<Vec2>(group, name);
    case Type::Vec3: return readFixedVector<Vec3>(group, name);
    case Type::Vec4: return readFixedVector<Vec4>(group, name);
    case Type::Mat4: return readMatrix(group, name);
    }
    throw Hdf5Error("attribute '" + name + "_type' of '" + group.path() + "' names no known value type (" +
                    std::to_string(code) + ")");
}

void readPropertiesInto(Properties& properties, const Group& group)
{
    properties.setName(group.text("name"));
    properties.setAttributes(readTextMap(group));
    if (group.has("params"))
        for (const Group& param : group.openGroup("params").indexedGroups()) {
            const std::string name = param.text("name");
            if (properties.hasParam(name))
                throw Hdf5Error("'" + group.path() + "' holds the value '" + name + "' twice");
            Properties::Value value = readValue(param, "value");
            if (param.hasAttribute("default_type"))
                properties.setParam(name, std::move(value), readValue(param, "default"));
            else
                properties.setParam(name, std::move(value));
            properties.setParamType(name, param.scalar<std::uint32_t>("type"));
            properties.setParamAttributes(name, readTextMap(param));
        }
    if (group.has("blocks"))
        for (const Group& block : group.openGroup("blocks").indexedGroups())
            readPropertiesInto(*properties.addSubProperties(std::string()), block);
}

}  // namespace

void registerCodec(std::shared_ptr<const DataCodec> codec)
{
    if (!codec)
        throw std::invalid_argument("cannot register a null codec");
    Registry& known = registry();
    const std::lock_guard lock(known.mutex);
    known.codecs[codec->kindName()] = std::move(codec);
}

std::shared_ptr<const DataCodec> findCodec(const std::string& kindName)
{
    Registry& known = registry();
    const std::lock_guard lock(known.mutex);
    const auto it = known.codecs.find(kindName);
    return it == known.codecs.end() ? nullptr : it->second;
}

void registerComponent(const std::string& id, ComponentFactory factory)
{
    if (!factory)
        throw std::invalid_argument("cannot register component '" + id + "' without a factory");
    Registry& known = registry();
    const std::lock_guard lock(known.mutex);
    known.components[id] = std::move(factory);
}

void writeData(const Data& data, Group& group)
{
    const std::string kind = data.kindName();
    const std::shared_ptr<const DataCodec> codec = findCodec(kind);
    if (!codec)
        throw std::invalid_argument("data of kind '" + kind + "' cannot be stored: no codec for it is loaded");
    group.setText("kind", kind);
    group.setText("name", data.name());
    writeMatrix(group, "matrix", data.matrix());
    Group components = group.createGroup("components");
    const auto& held = data.components().components();
    for (std::size_t i = 0; i < held.size(); ++i) {
        const std::string id = held[i]->id();
        // A component that no reader can recreate would make the file unreadable.
        if (!findComponent(id))
            throw std::invalid_argument("component '" + id + "' cannot be stored: its kind is not registered for files");
        Group component = components.createGroup(std::to_string(i));
        component.setText("id", id);
        Properties configuration;
        held[i]->configuration(&configuration);
        Group properties = component.createGroup("properties");
        writeProperties(configuration, properties);
    }
    codec->write(data, group);
}

std::unique_ptr<Data> readData(const Group& group)
{
    const std::string kind = group.text("kind");
    const std::shared_ptr<const DataCodec> codec = findCodec(kind);
    if (!codec)
        throw Hdf5Error("'" + group.path() + "' holds data of kind '" + kind + "', which no loaded library reads");
    std::unique_ptr<Data> data = codec->read(group);
    if (!data || data->kindName() != kind)
        throw Hdf5Error("the reader of kind '" + kind + "' built no object of that kind");
    data->setName(group.text("name"));
    const Mat4 matrix = readMatrix(group, "matrix");
    if (!matrix.allFinite())
        throw Hdf5Error("attribute 'matrix' of '" + group.path() + "' holds NaN or infinite values");
    data->setMatrix(matrix);
    for (const Group& stored : group.openGroup("components").indexedGroups()) {
        const std::string id = stored.text("id");
        const ComponentFactory factory = findComponent(id);
        if (!factory)
            throw Hdf5Error("'" + stored.path() + "' holds component '" + id + "', which no loaded library knows");
        std::unique_ptr<DataComponentBase> component = factory();
        const Properties configuration = readProperties(stored.openGroup("properties"));
        component->configure(&configuration);
        data->components().add(std::move(component));
    }
    return data;
}

void writeProperties(const Properties& properties, Group& group)
{
    group.setText("name", properties.name());
    writeTextMap(group, properties.attributes());
    if (!properties.params().empty()) {
        Group params = group.createGroup("params");
        for (std::size_t i = 0; i < properties.params().size(); ++i) {
            const Properties::Param& param = properties.params()[i];
            Group stored = params.createGroup(std::to_string(i));
            stored.setText("name", param.name);
            stored.setScalar<std::uint32_t>("type", param.type);
            writeValue(stored, "value", param.value);
            if (param.defaultValue)
                writeValue(stored, "default", *param.defaultValue);
            writeTextMap(stored, param.attributes);
        }
    }
    const std::vector<const Properties*> blocks = properties.subProperties();
    if (!blocks.empty()) {
        Group stored = group.createGroup("blocks");
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            Group block = stored.createGroup(std::to_string(i));
            writeProperties(*blocks[i], block);
        }
    }
}

Properties readProperties(const Group& group)
{
    Properties properties;
    readPropertiesInto(properties, group);
    return properties;
}

void writeVector(Group& group, const std::string& name, const double* values, std::size_t size)
{
    group.setAttribute(name, ElementType::Float64, values, {size});
}

void readVector(const Group& group, const std::string& name, double* values, std::size_t size)
{
    group.attribute(name, ElementType::Float64, values, {size});
}

void writeMatrix(Group& group, const std::string& name, const Mat4& matrix)
{
    // Rows first, so that a reader indexing [row][column] sees the matrix as written on paper.
    const RowMajorMat4 rows = matrix;
    group.setAttribute(name, ElementType::Float64, rows.data(), {4, 4});
}

Mat4 readMatrix(const Group& group, const std::string& name)
{
    RowMajorMat4 rows;
    group.attribute(name, ElementType::Float64, rows.data(), {4, 4});
    return rows;
}

}  // namespace corvaxis::io
