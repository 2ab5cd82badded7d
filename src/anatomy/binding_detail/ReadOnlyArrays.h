#pragma once

#include "corvaxis/core/Types.h"

#include <pybind11/numpy.h>

namespace corvaxis::binding_detail {

/// A new NumPy array that owns a copy of the vector or matrix and refuses writes: what it shows
/// is a snapshot, and writing into it could only mislead.
template <typename Derived>
pybind11::array_t<double> readOnlyArray(const Eigen::MatrixBase<Derived>& value)
{
    const auto rows = static_cast<pybind11::ssize_t>(value.rows());
    const auto cols = static_cast<pybind11::ssize_t>(value.cols());
    pybind11::array_t<double> result =
        Derived::ColsAtCompileTime == 1 ? pybind11::array_t<double>({rows}) : pybind11::array_t<double>({rows, cols});
    auto* data = result.mutable_data();
    for (pybind11::ssize_t r = 0; r < rows; ++r)
        for (pybind11::ssize_t c = 0; c < cols; ++c)
            data[r * cols + c] = value(r, c);
    result.attr("setflags")(pybind11::arg("write") = false);
    return result;
}

}  // namespace corvaxis::binding_detail
