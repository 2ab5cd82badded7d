#pragma once

#include "corvaxis/core/Types.h"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>

namespace corvaxis::binding_detail {

/// A fixed-size vector (Cols == 1) or matrix of doubles as it crosses between Python and C++.
///
/// Out: a new float64 NumPy array that owns a copy, one-dimensional for a vector, and read-only
/// when Writable is false (a snapshot that writing into could only mislead). In: anything the
/// Eigen conversion of the same shape accepts; a float64 array of the exact shape is read
/// directly, which skips most of the cost of the general conversion.
template <int Rows, int Cols = 1, bool Writable = true>
struct NumpyArray {
    Eigen::Matrix<double, Rows, Cols> value;
};

using Vec3Array = NumpyArray<3>;
using Vec4Array = NumpyArray<4>;
using ReadOnlyVec3Array = NumpyArray<3, 1, false>;
using Mat4Array = NumpyArray<4, 4>;
using ReadOnlyMat4Array = NumpyArray<4, 4, false>;

}  // namespace corvaxis::binding_detail

namespace pybind11::detail {

template <int Rows, int Cols, bool Writable>
struct type_caster<corvaxis::binding_detail::NumpyArray<Rows, Cols, Writable>> {
    using Value = corvaxis::binding_detail::NumpyArray<Rows, Cols, Writable>;
    static constexpr bool isVector = Cols == 1;

    PYBIND11_TYPE_CASTER(Value, const_name("numpy.ndarray[numpy.float64[") + const_name<Rows>() + const_name(", ") +
                                    const_name<Cols>() + const_name("]]"));

    bool load(handle source, bool convert)
    {
        if (array_t<double>::check_(source) && loadExactShape(reinterpret_borrow<array>(source)))
            return true;
        // Everything else (a (N, 1) vector, other dtypes, sequences) as the Eigen conversion decides.
        type_caster<Eigen::Matrix<double, Rows, Cols>> general;
        if (!general.load(source, convert))
            return false;
        value.value = *general;
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
    bool loadExactShape(const array& numbers)
    {
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
