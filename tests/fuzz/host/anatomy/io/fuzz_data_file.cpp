// Data files (".cvx") of every kind, collections included. The header's length and checksum are
// renewed before reading, so that changed content gets past the header check to HDF5 and the
// readers of each kind. A file must be read or refused as damaged; what was read must save and
// read again.

#include "../../../FuzzSupport.h"

#include "corvaxis/anatomy/io/CollectionCodec.h"
#include "corvaxis/core/io/DataFile.h"

#include <boost/crc.hpp>

#include <vector>

using namespace corvaxis;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t lengthOffset = 12;
constexpr std::size_t crcOffset = 20;

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

void renewLengthAndChecksum(std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < io::headerSize)
        return;
    const std::size_t content = bytes.size() - io::headerSize;
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data() + io::headerSize, content);
    putLittleEndian(bytes, lengthOffset, content, 8);
    putLittleEndian(bytes, crcOffset, crc.checksum(), 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool registered = (io::registerCollectionCodecs(), true);
    (void)registered;
    std::vector<std::uint8_t> bytes(data, data + size);
    renewLengthAndChecksum(bytes);
    const fs::path input = fuzz::writeScratchFile("input.cvx", bytes.data(), bytes.size());
    std::unique_ptr<Data> loaded;
    try {
        loaded = io::load(input);
    }
    catch (const io::FileFormatError&) {
        return 0;
    }
    catch (const std::exception& error) {
        fuzz::fault("reading gave an error other than a refusal", error);
    }
    const fs::path resaved = fuzz::scratchDirectory() / "resaved.cvx";
    try {
        io::save(*loaded, resaved);
        io::load(resaved);
    }
    catch (const std::exception& error) {
        fuzz::fault("what was read does not save and read again", error);
    }
    return 0;
}
