#include "binding_detail/KeyValueDataWrapper.h"

namespace py = pybind11;

namespace corvaxis::binding_detail {

namespace {

constexpr const char* kWrapperDoc =
    "KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type "
    "handling. \n"
    "It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore \n"
    "using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and\n"
    "raises an `AnatomicalStructureInvalidException` if the data is no longer valid.\n"
    "Data are copied or cloned to ensure that the data is still valid when the python object is used, \n"
    "except for shared_ptr value types indicated by the `mutable_return_values` attribute.\n"
    "\n"
    "Parameters:\n"
    "\tdata_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.\n"
    "\tanatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing "
    "context.\n"
    "\tidentifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.";

constexpr const char* kAttributesDoc = "Attributes of KeyValueDataWrapper's elements.";

}  // namespace

template <typename T>
void bindKeyValueDataWrapper(py::module_& module, const std::string& suffix)
{
    using Wrapper = KeyValueDataWrapper<T>;
    using Input = typename Wrapper::Traits::Input;

    py::class_<Wrapper> wrapper(module, ("KeyValueDataWrapper" + suffix).c_str(), kWrapperDoc);
    py::class_<typename Wrapper::Attributes>(wrapper, "_Attributes", kAttributesDoc)
        .def("__getitem__", &Wrapper::Attributes::get);

    wrapper
        .def_property_readonly("valid", &Wrapper::valid,
                               "Indicate whether the anatomical structure object is still valid.")
        .def_property_readonly(
            "mutable_return_values", [](const Wrapper&) { return false; },
            "Indicate whether the KeyValueDataWrapper returns mutable values.")
        .def("__getitem__", &Wrapper::get)
        .def("__setitem__", [](Wrapper& self, const python::Text& key, const Input& value) { self.set(key, value); })
        .def("__delitem__", &Wrapper::remove)
        .def("__contains__", &Wrapper::contains)
        .def("__bool__", [](const Wrapper& self) { return self.size() > 0; })
        .def("__len__", &Wrapper::size)
        .def("__iter__",
             [](const Wrapper& self) -> py::iterator {
                 // The iterator owns a snapshot: changing the store while iterating changes nothing.
                 return py::iter(py::cast(self.keys()));
             })
        .def("__repr__", &Wrapper::repr)
        .def("keys", &Wrapper::keys, "Get a list of all keys.")
        .def("values", &Wrapper::values, "Get a list of all values.")
        .def("asdict", &Wrapper::asdict, "Convert the key-value store into a dictionary.")
        .def("from_dict", &Wrapper::setFromDict, "Set the key-value store from a dictionary.", py::arg("dict_in"),
             py::arg("clear") = true)
        .def(
            "update", [](Wrapper& self, const py::dict& dictIn) { self.setFromDict(dictIn, false); },
            "Update the key-value store from a dictionary.", py::arg("dict_in"))
        .def(
            "__ior__",
            [](Wrapper& self, const py::dict& other) -> Wrapper& {
                self.checkIsValid();
                self.setFromDict(other, false);
                return self;
            },
            "\"Implements the |= operator functionality.", py::arg("other"), py::return_value_policy::reference)
        .def_property_readonly("attributes", &Wrapper::attributes, kAttributesDoc);
}

template void bindKeyValueDataWrapper<Vec3>(py::module_&, const std::string&);
template void bindKeyValueDataWrapper<Vec4>(py::module_&, const std::string&);
template void bindKeyValueDataWrapper<SharedImageSet>(py::module_&, const std::string&);
template void bindKeyValueDataWrapper<Mesh>(py::module_&, const std::string&);
template void bindKeyValueDataWrapper<PointCloud>(py::module_&, const std::string&);
template void bindKeyValueDataWrapper<Graph>(py::module_&, const std::string&);

}  // namespace corvaxis::binding_detail
