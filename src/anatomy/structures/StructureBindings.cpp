#include "structures/StructureBindings.h"

#include "binding_detail/KeyValueDataWrapper.h"
#include "common/Arrays.h"
#include "common/Snapshots.h"
#include "common/Text.h"

#include "corvaxis/anatomy/AnatomicalStructureWrapper.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"

#include <Eigen/LU>
#include <pybind11/eigen.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace corvaxis {

namespace {

using binding_detail::KeyValueDataWrapper;

void warnDeprecated()
{
    py::module_::import("warnings").attr("warn")("This method is deprecated, use 'keypoints2' instead.");
}

std::string keypointNotFound(const std::string& key) { return "Keypoint '" + key + "' not found"; }

/// A keypoint with a NaN component is refused and logged; a new key gets no empty entry.
void assignKeypoint(KeyValueStore<Vec3>& keypoints, const std::string& key, const Vec3& value)
{
    if (value.hasNaN() && !keypoints.has(key))
        KeyValueStore<Vec3>::logRefusedAssignment();
    else
        keypoints[key] = value;
}

/// The getter and setter of one store property; the wrapper works on the live store.
///
/// Besides a dict, the setter takes a wrapper: `structure.meshes |= {...}` ends by assigning the
/// wrapper that `|=` returned back to the property, which must not fail after the update was
/// made. A wrapper over the same store changes nothing; one over another store is copied in.
template <typename T, KeyValueStore<T> AnatomicalStructure::*Store>
void defineStoreProperty(py::class_<AnatomicalStructureWrapper, std::shared_ptr<AnatomicalStructureWrapper>>& cls,
                         const char* property, const char* storeName, const char* doc)
{
    using Wrapper = KeyValueDataWrapper<T>;
    const py::cpp_function fromDict(
        [storeName](AnatomicalStructureWrapper& self, const py::dict& value) {
            Wrapper((*self).*Store, self, storeName).setFromDict(value, true);
        },
        py::name(property), py::is_setter());
    const py::cpp_function fromWrapper(
        [storeName](AnatomicalStructureWrapper& self, const Wrapper& other) {
            Wrapper target((*self).*Store, self, storeName);
            if (!target.wraps(other))
                target.setFromDict(other.asdict(), true);
        },
        py::name(property), py::is_setter(), py::sibling(fromDict));
    cls.def_property(
        property, [storeName](AnatomicalStructureWrapper& self) { return Wrapper((*self).*Store, self, storeName); },
        fromWrapper, doc);
}

}  // namespace

void bindAnatomicalStructure(py::module_& module)
{
    py::class_<AnatomicalStructureWrapper, std::shared_ptr<AnatomicalStructureWrapper>> cls(module,
                                                                                          "AnatomicalStructure");
    cls.def_property_readonly(
        "valid", [](const AnatomicalStructureWrapper& self) { return self.isValid(); },
        "Indicate whether the object is still valid, if invalid, member access raises an "
        "AnatomicalStructureInvalidException");

    cls.def_property(
        "keypoints",
        [](AnatomicalStructureWrapper& self) {
            warnDeprecated();
            // Copied out first: building Python objects may run Python code.
            std::vector<std::pair<std::string, Vec3>> points;
            for (const auto& [key, entry] : self->keypoints)
                points.emplace_back(key, entry.value());
            py::dict result;
            for (const auto& [key, point] : points)
                result[py::str(key)] = py::cast(python::Vec3Array{point});
            return result;
        },
        [](AnatomicalStructureWrapper& self, const py::dict& value) {
            warnDeprecated();
            std::set<std::string> stale;
            for (const auto& [key, entry] : self->keypoints)
                stale.insert(key);
            for (const auto& [key, point] : python::itemsSnapshot(value)) {
                const Vec3 vector = py::cast<python::Vec3Array>(point).value;
                const std::string name = py::cast<python::Text>(key);
                // The conversions may run Python code: reach the store through the check again.
                assignKeypoint(self->keypoints, name, vector);
                stale.erase(name);
            }
            KeyValueStore<Vec3>& keypoints = self->keypoints;
            for (const std::string& key : stale)
                keypoints.take(key);
        },
        "Dictionary getter (of a copy of) and setter access for all keypoints. Use `get_keypoint` and "
        "`set_keypoint` for access to individual keypoints.");

    cls.def("get_keypoint", [](AnatomicalStructureWrapper& self, const python::Text& key) {
        warnDeprecated();
        const KeyValueStore<Vec3>& keypoints = self->keypoints;
        if (!keypoints.has(key))
            python::raiseError(PyExc_KeyError, keypointNotFound(key));
        return python::ReadOnlyVec3Array{keypoints[key].value()};
    });
    cls.def(
        "set_keypoint",
        [](AnatomicalStructureWrapper& self, const python::Text& key, const python::Vec3Array& value) {
            assignKeypoint(self->keypoints, key, value.value);
        },
        "Set or overwrite an existing keypoint");
    cls.def(
        "remove_keypoint",
        [](AnatomicalStructureWrapper& self, const python::Text& key) {
            warnDeprecated();
            KeyValueStore<Vec3>& keypoints = self->keypoints;
            if (!keypoints.has(key))
                python::raiseError(PyExc_KeyError, keypointNotFound(key));
            keypoints.take(key);
        },
        "Remove a keypoint, raises KeyError if it does not exist");

    defineStoreProperty<Vec3, &AnatomicalStructure::keypoints>(cls, "keypoints2", "keypoints",
                                                               "Key value access to keypoints. Assignable from dict.");
    defineStoreProperty<Vec4, &AnatomicalStructure::planes>(cls, "planes", "planes",
                                                            "Key value access to planes. Assignable from dict.");
    defineStoreProperty<SharedImageSet, &AnatomicalStructure::images>(
        cls, "images", "images", "Key value access to images. Assignable from dict.");
    defineStoreProperty<Mesh, &AnatomicalStructure::meshes>(cls, "meshes", "meshes",
                                                            "Key value access to meshes. Assignable from dict.");
    defineStoreProperty<PointCloud, &AnatomicalStructure::pointclouds>(
        cls, "pointclouds", "pointclouds", "Key value access to pointclouds. Assignable from dict.");
    defineStoreProperty<Graph, &AnatomicalStructure::graphs>(cls, "graphs", "graphs",
                                                             "Key value access to graphs. Assignable from dict.");

    cls.def_property(
        "matrix_to_world",
        [](AnatomicalStructureWrapper& self) { return python::ReadOnlyMat4Array{self->matrixToWorld()}; },
        [](AnatomicalStructureWrapper& self, const python::Mat4Array& matrix) {
            self->setMatrixToWorld(matrix.value, true);
        },
        "Access to 4x4 matrix representing transformation from local coordinate space of this structure to the "
        "world coordinate space.");
    cls.def_property(
        "matrix_from_world",
        [](AnatomicalStructureWrapper& self) {
            return python::ReadOnlyMat4Array{self->matrixToWorld().inverse()};
        },
        [](AnatomicalStructureWrapper& self, const python::Mat4Array& matrix) {
            self->setMatrixToWorld(matrix.value.inverse(), true);
        },
        "Access to 4x4 matrix representing transformation from world coordinate space to the local coordinate "
        "space of this structure.");
    cls.def_property_readonly(
        "identifier", [](AnatomicalStructureWrapper& self) { return self->identifier(); },
        "Returns the identifier of the anatomical structure.");
    cls.def_property_readonly(
        "is_2d", [](AnatomicalStructureWrapper& self) { return self->is2D(); },
        "Returns true if the anatomical structure is 2D, false if it is 3D.");
}

void bindGenericAnatomicalStructure(py::module_& module)
{
    py::class_<GenericAnatomicalStructureWrapper, AnatomicalStructureWrapper,
               std::shared_ptr<GenericAnatomicalStructureWrapper>>(module, "GenericAnatomicalStructure",
                                                                   "Generic anatomical structure implementation.")
        .def(py::init<>())
        .def(py::init([](const python::Text& identifier) {
            return std::make_shared<GenericAnatomicalStructureWrapper>(identifier);
        }))
        .def_property(
            "identifier", [](GenericAnatomicalStructureWrapper& self) { return self->identifier(); },
            [](GenericAnatomicalStructureWrapper& self, const python::Text& identifier) {
                self->setIdentifier(identifier);
            });
}

}  // namespace corvaxis
