#include "Arrays.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace corvaxis::python {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

/// Checks the rank and the fixed extents (-1 for any) of an array.
void requireShape(const py::array& array, const char* name, const char* expectedShape,
                  std::initializer_list<py::ssize_t> extents)
{
    bool matches = array.ndim() == static_cast<py::ssize_t>(extents.size());
    py::ssize_t axis = 0;
    for (py::ssize_t extent : extents) {
        if (!matches)
            break;
        matches = extent < 0 || array.shape(axis) == extent;
        ++axis;
    }
    if (!matches)
        throw py::value_error(fmt::format("{} must have shape {}, got {}", name, expectedShape, shapeText(array)));
}

void requireFinite(const double* values, py::ssize_t count, py::ssize_t columns, const char* name)
{
    for (py::ssize_t i = 0; i < count; ++i)
        if (!std::isfinite(values[i]))
            throw py::value_error(fmt::format("{} must be finite, found {} in row {}", name,
                                              std::isnan(values[i]) ? "NaN" : "infinity", i / columns));
}

template <typename Source, typename Matrix>
void copyIndices(const py::array& array, Matrix& out, const char* name)
{
    const auto typed = py::array_t<Source, py::array::c_style | py::array::forcecast>(array);
    const Source* values = typed.data();
    for (py::ssize_t i = 0; i < typed.size(); ++i) {
        // Checked before narrowing: a wrapped value could look like a valid index.
        bool inRange = values[i] <= static_cast<Source>(INT_MAX);
        if constexpr (std::is_signed_v<Source>)
            inRange = inRange && values[i] >= 0;
        if (!inRange)
            throw py::value_error(fmt::format("{} must hold indices in [0, {}], got {}", name, INT_MAX, values[i]));
        out.data()[i] = static_cast<int>(values[i]);
    }
}

template <typename Matrix>
Matrix indicesFromPython(py::handle object, const char* name, const char* expectedShape)
{
    const py::array array = asArray(object, name, expectedShape);
    requireNumbers(array, name, expectedShape, true);
    requireShape(array, name, expectedShape, {-1, Matrix::ColsAtCompileTime});
    Matrix out(array.shape(0), Matrix::ColsAtCompileTime);
    if (array.dtype().kind() == 'u')
        copyIndices<std::uint64_t>(array, out, name);
    else
        copyIndices<std::int64_t>(array, out, name);
    return out;
}

template <typename Out, typename Matrix>
py::array_t<Out> rowsToPython(const Matrix& matrix)
{
    // The host's row-major matrices have the memory layout of a C-ordered NumPy array.
    static_assert(Matrix::IsRowMajor || Matrix::ColsAtCompileTime == 1);
    py::array_t<Out> out({static_cast<py::ssize_t>(matrix.rows()), static_cast<py::ssize_t>(matrix.cols())});
    std::transform(matrix.data(), matrix.data() + matrix.size(), out.mutable_data(),
                   [](auto value) { return static_cast<Out>(value); });
    return out;
}

}  // namespace

std::string shapeText(const py::array& array)
{
    if (array.ndim() == 1)
        return fmt::format("({},)", array.shape(0));
    std::string text = "(";
    for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
        text += fmt::format("{}{}", axis > 0 ? ", " : "", array.shape(axis));
    return text + ")";
}

bool isMaskedArray(py::handle object)
{
    // Masked arrays exist only once numpy.ma is imported; no need to import it here.
    PyObject* masked = PyImport_GetModule(py::str("numpy.ma").ptr());
    if (!masked) {
        PyErr_Clear();
        return false;
    }
    const auto module = py::reinterpret_steal<py::object>(masked);
    return py::isinstance(object, module.attr("MaskedArray"));
}

py::array asArray(py::handle object, const char* name, const char* expectedShape)
{
    if (isMaskedArray(object))
        throw py::type_error(fmt::format("{} must be an array of shape {}, got a masked array (its mask would be lost)",
                                         name, expectedShape));
    try {
        return py::module_::import("numpy").attr("asarray")(object);
    }
    catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError))
            throw;
        // NumPy's own message (a ragged list, say) does not say which argument was wrong.
        throw py::value_error(fmt::format("{} must be an array of shape {}: {}", name, expectedShape,
                                          py::str(error.value()).cast<std::string>()));
    }
}

void requireNumbers(const py::array& array, const char* name, const char* expectedShape, bool integersOnly)
{
    if (isNumberKind(array.dtype().kind(), integersOnly))
        return;
    throw py::type_error(fmt::format("{} must be a {} array of {}, got dtype {}", name, expectedShape,
                                     integersOnly ? "integers" : "numbers",
                                     py::str(array.dtype()).cast<std::string>()));
}

Points pointsFromPython(py::handle object, const char* name)
{
    const char* expected = "(N, 3)";
    const py::array array = asArray(object, name, expected);
    requireNumbers(array, name, expected);
    requireShape(array, name, expected, {-1, 3});
    const DoubleArray typed(array);
    requireFinite(typed.data(), typed.size(), 3, name);
    Points points(array.shape(0), 3);
    std::copy_n(typed.data(), typed.size(), points.data());
    return points;
}

Triangles trianglesFromPython(py::handle object, const char* name)
{
    return indicesFromPython<Triangles>(object, name, "(M, 3)");
}

Edges edgesFromPython(py::handle object, const char* name)
{
    return indicesFromPython<Edges>(object, name, "(M, 2)");
}

FeatureMatrix featuresFromPython(py::handle object, const char* name)
{
    const char* expected = "(N,) or (N, K)";
    const py::array array = asArray(object, name, expected);
    requireNumbers(array, name, expected);
    if (array.ndim() != 1 && array.ndim() != 2)
        throw py::value_error(fmt::format("{} must have shape {}, got {}", name, expected, shapeText(array)));
    const DoubleArray typed(array);
    FeatureMatrix features(array.shape(0), array.ndim() == 2 ? array.shape(1) : 1);
    std::copy_n(typed.data(), typed.size(), features.data());
    return features;
}

Mat4 matrixFromPython(py::handle object, const char* name)
{
    const char* expected = "(4, 4)";
    const py::array array = asArray(object, name, expected);
    requireNumbers(array, name, expected);
    requireShape(array, name, expected, {4, 4});
    const DoubleArray typed(array);
    requireFinite(typed.data(), typed.size(), 4, name);
    Mat4 matrix;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            matrix(row, column) = typed.at(row, column);
    return matrix;
}

py::array_t<double> pointsToPython(const Points& points) { return rowsToPython<double>(points); }
py::array_t<std::int64_t> indicesToPython(const Triangles& triangles) { return rowsToPython<std::int64_t>(triangles); }
py::array_t<std::int64_t> indicesToPython(const Edges& edges) { return rowsToPython<std::int64_t>(edges); }
py::array_t<double> featuresToPython(const FeatureMatrix& features) { return rowsToPython<double>(features); }

py::array_t<double> matrixToPython(const Mat4& matrix)
{
    // Mat4 is column-major; the NumPy array is row-major, so copy element by element.
    py::array_t<double> out({4, 4});
    auto view = out.mutable_unchecked<2>();
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            view(row, column) = matrix(row, column);
    return out;
}

py::array_t<double> vectorToPython(const double* values, py::ssize_t size)
{
    py::array_t<double> out(size);
    std::copy_n(values, size, out.mutable_data());
    return out;
}

namespace detail {

bool loadFixed(py::handle source, int rows, int cols, double* rowMajorOut)
{
    if (isMaskedArray(source))
        return false;
    py::array array;
    try {
        array = py::module_::import("numpy").attr("asarray")(source);
    }
    catch (py::error_already_set&) {
        return false;  // not array-like: the binding layer reports the mismatch
    }
    if (!isNumberKind(array.dtype().kind()))
        return false;
    const bool shapeMatches = cols == 1 ? (array.ndim() == 1 && array.shape(0) == rows) ||
                                              (array.ndim() == 2 && array.shape(0) == rows && array.shape(1) == 1)
                                        : array.ndim() == 2 && array.shape(0) == rows && array.shape(1) == cols;
    if (!shapeMatches)
        return false;
    const DoubleArray typed(array);
    std::copy_n(typed.data(), rows * cols, rowMajorOut);
    return true;
}

}  // namespace detail

}  // namespace corvaxis::python
