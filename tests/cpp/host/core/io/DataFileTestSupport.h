#pragma once

#include <hdf5.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace corvaxis::test {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

/// A fresh directory under the temporary directory, removed with everything in it.
struct ScratchDirectory {
    ScratchDirectory()
    {
        std::random_device entropy;
        path = fs::temp_directory_path() / ("corvaxis-io-" + std::to_string(entropy()) + std::to_string(entropy()));
        fs::create_directories(path);
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path, ignored);
    }
    fs::path operator/(const std::string& name) const { return path / name; }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path path;
};

inline Bytes readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/// CRC-32 as zlib computes it, written out here so that the tests check the header against an
/// implementation of their own.
inline std::uint32_t crc32(const unsigned char* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putLittleEndian(Bytes& bytes, std::size_t offset, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint64_t getLittleEndian(const Bytes& bytes, std::size_t offset, int size)
{
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
    return value;
}

/// Makes the header's length and checksum match the content again, so that a changed content
/// passes the header check and reaches HDF5 and the readers.
inline void reseal(Bytes& bytes)
{
    const std::size_t content = bytes.size() > 512 ? bytes.size() - 512 : 0;
    putLittleEndian(bytes, 12, content, 8);
    putLittleEndian(bytes, 20, crc32(bytes.data() + 512, content), 4);
}

/// Changes a saved file through HDF5 itself (the content after the header) and reseals it.
inline void tamper(const fs::path& path, const std::function<void(hid_t file)>& change)
{
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    change(file);
    ASSERT_GE(H5Fclose(file), 0);
    Bytes bytes = readBytes(path);
    reseal(bytes);
    writeBytes(path, bytes);
}

/// Replaces a text attribute of an object of a saved file (text as files hold it: fixed-size,
/// NUL-padded UTF-8).
inline void setTextAttribute(hid_t file, const char* object, const char* name, const std::string& text)
{
    if (H5Aexists_by_name(file, object, name, H5P_DEFAULT) > 0)
        H5Adelete_by_name(file, object, name, H5P_DEFAULT);
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, std::max<std::size_t>(text.size(), 1));
    H5Tset_cset(type, H5T_CSET_UTF8);
    H5Tset_strpad(type, H5T_STR_NULLPAD);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute = H5Acreate_by_name(file, object, name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    std::string padded = text;
    padded.resize(std::max<std::size_t>(text.size(), 1), '\0');
    H5Awrite(attribute, type, padded.data());
    H5Aclose(attribute);
    H5Sclose(space);
    H5Tclose(type);
}

}  // namespace corvaxis::test
