#include "ImageFiles.h"

#include "corvaxis/core/io/DataFile.h"

#include <Eigen/LU>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace corvaxis::io::detail {

namespace fs = std::filesystem;

void requireReadableFile(const fs::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT)
            throw FileNotFoundError(path, std::string("cannot open the file: ") + std::strerror(error));
        throw FileAccessError(path, std::string("cannot open the file: ") + std::strerror(error), error);
    }
    if (!S_ISREG(status.st_mode))
        throw FileAccessError(path, "not a regular file", EISDIR);
    if (::access(path.c_str(), R_OK) != 0)
        throw FileAccessError(path, std::string("cannot open the file: ") + std::strerror(errno), errno);
}

std::uintmax_t fileSize(const fs::path& path)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::string lowerCaseName(const fs::path& path)
{
    std::string name = path.filename().string();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

bool usableAffine(const Mat4& affine)
{
    if (!affine.allFinite() || affine.row(3) != Eigen::RowVector4d(0.0, 0.0, 0.0, 1.0) ||
        !std::isnormal(affine.topLeftCorner<3, 3>().determinant()))
        return false;
    const Vec3 lengths = affine.topLeftCorner<3, 3>().colwise().norm().transpose();
    if (!std::isnormal(lengths.x()) || !std::isnormal(lengths.y()) || !std::isnormal(lengths.z()))
        return false;
    const Eigen::Matrix3d directions = affine.topLeftCorner<3, 3>() * lengths.cwiseInverse().asDiagonal();
    return std::abs(directions.determinant()) > 1e-9;
}

}  // namespace corvaxis::io::detail
