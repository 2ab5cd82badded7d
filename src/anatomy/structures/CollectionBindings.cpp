#include "structures/CollectionBindings.h"

#include "common/Text.h"

#include "corvaxis/anatomy/AnatomicalStructureWrapper.h"
#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/core/String.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace corvaxis {

namespace {

using Handle = std::shared_ptr<AnatomicalStructureWrapper>;

/// "<Prefix, AnatomicalStructures: [a,b] >", one name per structure, asked in index order.
template <typename Name>
std::string describe(const AnatomicalStructureCollection& collection, const char* prefix, Name name)
{
    std::vector<std::string> names;
    for (int i = 0; i < collection.numAnatomicalStructures(); ++i)
        names.push_back(name(*collection.anatomicalStructure(i)));
    return fmt::format("<{}, AnatomicalStructures: [{}] >", prefix, String::join(names, ","));
}

std::string notFound(const std::string& identifier)
{
    return "Anatomical structure with identifier '" + identifier + "' not found";
}

/// The index as an int when 0 <= index < count; nothing otherwise, however large the number.
std::optional<int> indexInRange(const py::int_& index, int count)
{
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value >= count)
        return std::nullopt;
    return static_cast<int>(value);
}

/// The number in decimal, also for a bool and for values beyond 64 bits.
std::string decimal(const py::int_& number)
{
    const auto plain = py::reinterpret_steal<py::object>(PyNumber_Long(number.ptr()));
    if (!plain)
        throw py::error_already_set();
    return py::str(plain).cast<std::string>();
}

/// Hands a taken structure to Python in a handle that owns it.
Handle ownTaken(std::unique_ptr<AnatomicalStructure> taken)
{
    if (!taken)
        throw std::runtime_error("Failed to take AnatomicalStructure");
    return std::make_shared<AnatomicalStructureWrapper>(std::move(taken));
}

}  // namespace

void bindAnatomicalStructureCollection(py::module_& module)
{
    py::class_<AnatomicalStructureCollection, Data, std::shared_ptr<AnatomicalStructureCollection>>(
        module, "AnatomicalStructureCollection",
        "AnatomicalStructureCollection provides an interface for managing collections of AnatomicalStructure objects.")
        .def("__repr__",
             [](const AnatomicalStructureCollection& self) {
                 return describe(self, "AnatomicalStructureCollection",
                                 [](const AnatomicalStructure& structure) { return structure.displayName(); });
             })
        // Returned as the most derived registered class: a clone of a GenericASC is a GenericASC.
        .def("clone",
             [](const AnatomicalStructureCollection& self) {
                 return std::shared_ptr<AnatomicalStructureCollection>(self.clone());
             })
        .def("num_anatomical_structures", &AnatomicalStructureCollection::numAnatomicalStructures,
             "Returns the number of anatomical structures in the collection")
        .def("__len__", &AnatomicalStructureCollection::numAnatomicalStructures,
             "Same as :meth:`num_anatomical_structures`; enables ``len(asc)``.")
        .def(
            "add",
            [](AnatomicalStructureCollection& self, const Handle& structure) {
                if (!structure || !structure->isValid())
                    throw py::value_error("Invalid anatomical structure");
                // The collection gets its own copy; the handle stays independent of it.
                std::unique_ptr<AnatomicalStructure> clone = (*structure)->clone();
                const std::string identifier = clone->identifier();
                if (!self.addAnatomicalStructure(clone))
                    python::raiseError(PyExc_ValueError,
                                       fmt::format("Anatomical structure '{}' is not supported by this collection",
                                                   identifier));
            },
            "Add a clone of the structure to the collection. Raises ValueError if the collection does not accept "
            "this structure type.",
            py::arg("structure"))
        .def(
            "pop",
            [](AnatomicalStructureCollection& self, const std::variant<py::int_, python::Text>& indexOrIdentifier) {
                if (const auto* number = std::get_if<py::int_>(&indexOrIdentifier)) {
                    const std::optional<int> index = indexInRange(*number, self.numAnatomicalStructures());
                    if (!index)
                        throw py::index_error("Index out of range");
                    return ownTaken(self.takeAnatomicalStructure(self.anatomicalStructure(*index)));
                }
                const auto& identifier = std::get<python::Text>(indexOrIdentifier);
                AnatomicalStructure* structure = self.anatomicalStructureByIdentifier(identifier);
                if (!structure)
                    python::raiseError(PyExc_KeyError, notFound(identifier));
                return ownTaken(self.takeAnatomicalStructure(structure));
            },
            "Remove and return a structure from an ASC. You can pass an index or a string identifier.",
            py::arg("index_or_identifier"))
        .def(
            "anatomical_structure_identifiers",
            [](const AnatomicalStructureCollection& self) {
                std::vector<std::string> identifiers;
                for (int i = 0; i < self.numAnatomicalStructures(); ++i)
                    identifiers.push_back(self.anatomicalStructure(i)->identifier());
                return identifiers;
            },
            "Returns a list of the names of all anatomical structures in the collection")
        .def(
            "anatomical_structure",
            [](AnatomicalStructureCollection& self, const py::int_& number) {
                const int count = self.numAnatomicalStructures();
                const std::optional<int> index = indexInRange(number, count);
                if (!index)
                    throw py::index_error(fmt::format("Index out of range: {} not in [0, {})", decimal(number), count));
                // A handle that refers to the structure; it does not keep the collection alive.
                return std::make_shared<AnatomicalStructureWrapper>(self.anatomicalStructure(*index));
            },
            "Returns the anatomical structure at the given index", py::arg("index"))
        .def(
            "anatomical_structure",
            [](AnatomicalStructureCollection& self, const python::Text& identifier) {
                AnatomicalStructure* structure = self.anatomicalStructureByIdentifier(identifier);
                if (!structure)
                    python::raiseError(PyExc_KeyError, notFound(identifier));
                return std::make_shared<AnatomicalStructureWrapper>(structure);
            },
            "Returns the anatomical structure with the given identifier", py::arg("identifier"));
}

void bindGenericASC(py::module_& module)
{
    py::class_<GenericASC, AnatomicalStructureCollection, Data, std::shared_ptr<GenericASC>>(
        module, "GenericASC", "GenericASC holds the data associated with a generic anatomical structure collection.")
        .def(py::init([] { return std::make_shared<GenericASC>(false); }))
        .def("__repr__",
             [](const GenericASC& self) {
                 return describe(self, "GenericASC",
                                 [](const AnatomicalStructure& structure) { return structure.identifier(); });
             })
        .def("clone", [](const GenericASC& self) {
            return std::shared_ptr<GenericASC>(static_cast<GenericASC*>(self.clone().release()));
        });
}

}  // namespace corvaxis
