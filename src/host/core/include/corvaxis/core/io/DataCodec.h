#pragma once

#include "corvaxis/core/Data.h"
#include "corvaxis/core/Properties.h"
#include "corvaxis/core/Types.h"
#include "corvaxis/core/io/Hdf5.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvaxis::io {

/// Writes and reads the content of one kind of data object (Data::kindName()) in a group.
///
/// The name, matrix and components of the object are written and read around the codec's part,
/// so a codec handles only what its kind adds. Readers throw Hdf5Error (or any exception) for
/// content they cannot use; the object is then dropped whole.
class DataCodec {
public:
    virtual ~DataCodec() = default;

    virtual std::string kindName() const = 0;
    virtual void write(const Data& data, Group& group) const = 0;
    virtual std::unique_ptr<Data> read(const Group& group) const = 0;
};

/// Makes a codec known for its kind, replacing one registered before for the same kind.
/// The codecs of the core kinds are always known.
void registerCodec(std::shared_ptr<const DataCodec> codec);
/// The codec of a kind, or null.
std::shared_ptr<const DataCodec> findCodec(const std::string& kindName);

/// Makes a component kind known by its id, so that files holding it can be read.
using ComponentFactory = std::function<std::unique_ptr<DataComponentBase>()>;
void registerComponent(const std::string& id, ComponentFactory factory);

/// A whole data object (kind, name, matrix, components and the kind's content) in a group.
/// Writing throws std::invalid_argument for an object whose kind has no codec.
void writeData(const Data& data, Group& group);
std::unique_ptr<Data> readData(const Group& group);

/// A Properties tree: its name and attributes, every value with its type code, default and
/// attributes, and its sub-blocks in order.
void writeProperties(const Properties& properties, Group& group);
Properties readProperties(const Group& group);

/// Small fixed-size values, kept as attributes.
void writeVector(Group& group, const std::string& name, const double* values, std::size_t size);
void readVector(const Group& group, const std::string& name, double* values, std::size_t size);
void writeMatrix(Group& group, const std::string& name, const Mat4& matrix);
Mat4 readMatrix(const Group& group, const std::string& name);

}  // namespace corvaxis::io
