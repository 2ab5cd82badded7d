#pragma once

#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>

// The one checked conversion layer between NumPy and the host's numeric types, shared by every
// extension module. Everything coming in is checked (dtype, shape, finiteness where the host
// needs it, the argument named in the message) and copied; everything going out is a new array
// that owns its data.
//
// For a new argument: take a py::handle (or py::object) and call the *FromPython function of its
// kind with the argument's name; for a fixed-size vector or matrix argument use the FixedArray
// types below as the parameter type. Never use pybind11's Eigen or array_t conversions for
// arguments directly: they accept complex numbers, strings, booleans and masked arrays.
namespace corvaxis::python {

namespace py = pybind11;

/// The shape as Python writes it: "(4, 2)", "(3,)", "()".
std::string shapeText(const py::array& array);

/// The plain NumPy array for any array-like; ValueError naming the argument when NumPy cannot build
/// one, TypeError for a masked array (its mask would be lost).
py::array asArray(py::handle object, const char* name, const char* expectedShape);

/// Whether the object is a NumPy masked array.
bool isMaskedArray(py::handle object);

/// Whether the dtype kind is an integer or a float (never bool, complex, text, dates or objects).
inline bool isNumberKind(char kind, bool integersOnly = false)
{
    return kind == 'i' || kind == 'u' || (!integersOnly && kind == 'f');
}

/// TypeError unless the array holds integers or floats (also integers when integersOnly).
void requireNumbers(const py::array& array, const char* name, const char* expectedShape, bool integersOnly = false);

/// (N, 3) finite numbers.
Points pointsFromPython(py::handle object, const char* name);
/// (M, 3) and (M, 2) indices in the 32-bit range; whether they exist is the data object's check.
Triangles trianglesFromPython(py::handle object, const char* name);
Edges edgesFromPython(py::handle object, const char* name);
/// (N,) or (N, K) numbers; a 1-D array is one column.
FeatureMatrix featuresFromPython(py::handle object, const char* name);
/// (4, 4) finite numbers.
Mat4 matrixFromPython(py::handle object, const char* name);

// Typed by their dtype, so that signatures (and the stubs made from them) say what comes out.
py::array_t<double> pointsToPython(const Points& points);
/// Indices go out as int64, NumPy's usual integer type.
py::array_t<std::int64_t> indicesToPython(const Triangles& triangles);
py::array_t<std::int64_t> indicesToPython(const Edges& edges);
py::array_t<double> featuresToPython(const FeatureMatrix& features);
py::array_t<double> matrixToPython(const Mat4& matrix);
py::array_t<double> vectorToPython(const double* values, py::ssize_t size);

/// A fixed-size vector (Cols == 1) or matrix of doubles as a parameter or result type.
///
/// Out: a new float64 array that owns a copy, one-dimensional for a vector, read-only when
/// Writable is false (a snapshot that writing into could only mislead). In: an array or sequence
/// of integers or floats of shape (Rows,) or (Rows, 1) for a vector, (Rows, Cols) for a matrix;
/// anything else (bool, complex, text, dates, objects, masked arrays) does not convert, which
/// gives the binding layer's TypeError. A plain float64 array of the exact shape is read
/// directly: keypoint access is on the hot path of scripts.
///
/// Signatures read "numpy.ndarray[numpy.float64[3, 1]]" for a 3-vector, as callers know them.
template <int Rows, int Cols = 1, bool Writable = true>
struct FixedArray {
    Eigen::Matrix<double, Rows, Cols> value;
};

using Vec3Array = FixedArray<3>;
using Vec4Array = FixedArray<4>;
using ReadOnlyVec3Array = FixedArray<3, 1, false>;
using Mat4Array = FixedArray<4, 4>;
using ReadOnlyMat4Array = FixedArray<4, 4, false>;

namespace detail {

/// The general path of FixedArray: a checked copy of any array-like, or false.
bool loadFixed(py::handle source, int rows, int cols, double* rowMajorOut);

}  // namespace detail

}  // namespace corvaxis::python

namespace pybind11::detail {

template <int Rows, int Cols, bool Writable>
struct type_caster<corvaxis::python::FixedArray<Rows, Cols, Writable>> {
    using Value = corvaxis::python::FixedArray<Rows, Cols, Writable>;
    static constexpr bool isVector = Cols == 1;

    PYBIND11_TYPE_CASTER(Value, const_name("numpy.ndarray[numpy.float64[") + const_name<Rows>() + const_name(", ") +
                                    const_name<Cols>() + const_name("]]"));

    bool load(handle source, bool convert)
    {
        if (loadExactShape(source))
            return true;
        if (!convert)
            return false;
        double rowMajor[Rows * Cols];
        if (!corvaxis::python::detail::loadFixed(source, Rows, Cols, rowMajor))
            return false;
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Cols; ++c)
                value.value(r, c) = rowMajor[r * Cols + c];
        return true;
    }

    static handle cast(const Value& source, return_value_policy, handle)
    {
        array_t<double> result = isVector ? array_t<double>(Rows) : array_t<double>({Rows, Cols});
        double* data = result.mutable_data();
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Cols; ++c)
                data[r * Cols + c] = source.value(r, c);
        if (!Writable)
            array_proxy(result.ptr())->flags &= ~npy_api::NPY_ARRAY_WRITEABLE_;
        return result.release();
    }

private:
    /// The fast path: a plain ndarray (no subclass, so no masked array) of native float64.
    bool loadExactShape(handle source)
    {
        if (Py_TYPE(source.ptr()) != npy_api::get().PyArray_Type_ || !array_t<double>::check_(source))
            return false;
        const auto numbers = reinterpret_borrow<array>(source);
        const bool shapeMatches = isVector ? numbers.ndim() == 1 && numbers.shape(0) == Rows
                                           : numbers.ndim() == 2 && numbers.shape(0) == Rows && numbers.shape(1) == Cols;
        if (!shapeMatches)
            return false;
        const auto* data = static_cast<const char*>(numbers.data());
        const ssize_t rowStride = numbers.strides(0);
        const ssize_t colStride = isVector ? 0 : numbers.strides(1);
        for (int r = 0; r < Rows; ++r)
            for (int c = 0; c < Cols; ++c)  // memcpy: the array's data need not be aligned
                std::memcpy(&value.value(r, c), data + r * rowStride + c * colStride, sizeof(double));
        return true;
    }
};

}  // namespace pybind11::detail
