#pragma once

#include "corvaxis/core/Types.h"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>

namespace corvaxis::binding_detail {

/// A Vec3 or Vec4 as it crosses into and out of Python: out as a new writable one-dimensional
/// float64 array that owns a copy; in from anything the Eigen conversion of the vector accepts.
/// Its own conversion skips the general Eigen machinery for the common case (a float64 array of
/// shape (N,)), which is most of the cost of a keypoint read or write.
template <int N>
struct NumpyVector {
    Eigen::Matrix<double, N, 1> vector;
};

}  // namespace corvaxis::binding_detail

namespace pybind11::detail {

template <int N>
struct type_caster<corvaxis::binding_detail::NumpyVector<N>> {
    using Value = corvaxis::binding_detail::NumpyVector<N>;
    PYBIND11_TYPE_CASTER(Value, const_name("numpy.ndarray[numpy.float64[") + const_name<N>() + const_name(", 1]]"));

    bool load(handle source, bool convert)
    {
        if (array_t<double>::check_(source)) {
            const auto numbers = reinterpret_borrow<pybind11::array>(source);
            if (numbers.ndim() == 1 && numbers.shape(0) == N) {
                const auto* data = static_cast<const char*>(numbers.data());
                for (int i = 0; i < N; ++i)  // memcpy: the array's data need not be aligned
                    std::memcpy(&value.vector[i], data + i * numbers.strides(0), sizeof(double));
                return true;
            }
        }
        // Everything else (shape (N, 1), other dtypes, sequences) as the Eigen conversion decides.
        type_caster<Eigen::Matrix<double, N, 1>> general;
        if (!general.load(source, convert))
            return false;
        value.vector = *general;
        return true;
    }

    static handle cast(const Value& source, return_value_policy, handle)
    {
        array_t<double> result(N);
        std::copy(source.vector.data(), source.vector.data() + N, result.mutable_data());
        return result.release();
    }
};

}  // namespace pybind11::detail
