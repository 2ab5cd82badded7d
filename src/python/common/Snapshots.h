#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

// Owned references to the parts of a container. Converting one item may run Python code (an
// __array__, a __float__, a __del__) that empties or refills the container; the references that
// iterating it hands out are borrowed and would dangle. Every conversion of a list, tuple or
// dict that runs Python code per item iterates one of these snapshots instead.
namespace corvaxis::python {

namespace py = pybind11;

/// The items of a dict, in its order at the time of the call.
inline std::vector<std::pair<py::object, py::object>> itemsSnapshot(const py::dict& dict)
{
    std::vector<std::pair<py::object, py::object>> items;
    items.reserve(dict.size());
    for (const auto& [key, value] : dict)
        items.emplace_back(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
    return items;
}

/// The items of a list or tuple (or any iterable), in order.
inline std::vector<py::object> itemsSnapshot(py::handle sequence)
{
    std::vector<py::object> items;
    for (py::handle item : sequence)
        items.push_back(py::reinterpret_borrow<py::object>(item));
    return items;
}

}  // namespace corvaxis::python
