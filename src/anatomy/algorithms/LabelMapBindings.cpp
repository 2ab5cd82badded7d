#include "LabelMapBindings.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/SharedImageSet.h"

#include <Python.h>
#include <fmt/format.h>
#include <pybind11/native_enum.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvaxis {

/// Label values and the names given to them, ordered by label value.
struct LabelNames {
    std::map<int, std::string> names;
};

}  // namespace corvaxis

namespace pybind11::detail {

/// Accepts a dict (or subclass) of int to str and nothing else, and reads "dict[int, str]" in
/// signatures; the standard map conversion would accept any mapping and read otherwise.
template <>
struct type_caster<corvaxis::LabelNames> {
    PYBIND11_TYPE_CASTER(corvaxis::LabelNames, const_name("dict[int, str]"));

    bool load(handle source, bool convert)
    {
        if (!source || !PyDict_Check(source.ptr()))
            return false;
        corvaxis::LabelNames loaded;
        // A list of the items holds them while they convert: a key's __index__ may change the dict.
        const auto items = reinterpret_steal<list>(PyDict_Items(source.ptr()));
        if (!items) {
            PyErr_Clear();
            return false;
        }
        for (const handle item : items) {
            const handle key = PyTuple_GET_ITEM(item.ptr(), 0);
            const handle text = PyTuple_GET_ITEM(item.ptr(), 1);
            make_caster<int> label;
            make_caster<std::string> name;
            if (!label.load(key, convert) || !PyUnicode_Check(text.ptr()) || !name.load(text, false))
                return false;
            loaded.names[cast_op<int>(label)] = std::move(static_cast<std::string&>(name));
        }
        value = std::move(loaded);
        return true;
    }
};

}  // namespace pybind11::detail

namespace corvaxis {

namespace py = pybind11;

namespace {

using AnatomicalStructureProcessing::GenericASCFromMultiLabelMap;

void checkLabelImages(const SharedImageSet& labelImages, const char* who)
{
    if (labelImages.size() != 1)
        throw std::invalid_argument(fmt::format("{} only supports a single image set", who));
    if (!labelImages.get(-1) || labelImages.modality() != Modality::Label)
        throw std::invalid_argument(fmt::format("{} only supports label images", who));
}

std::unique_ptr<LabelDataComponent> labelComponent(const LabelNames& labelNames)
{
    auto labels = std::make_unique<LabelDataComponent>(nullptr);
    for (const auto& [label, name] : labelNames.names) {
        LabelConfig config = LabelDataComponent::defaultLabelConfig(label);
        config.name = name;
        labels->setLabelConfig(label, std::move(config));
    }
    return labels;
}

/// The first collection of an algorithm's output, or null; the rest of the output is destroyed.
std::shared_ptr<GenericASC> takeCollection(Algorithm& algorithm)
{
    OwningDataList output = algorithm.takeOutput();
    for (std::size_t index = 0; index < output.size(); ++index)
        if (dynamic_cast<GenericASC*>(output.at(index))) {
            std::unique_ptr<Data> taken = output.take(index);
            return std::shared_ptr<GenericASC>(static_cast<GenericASC*>(taken.release()));
        }
    return nullptr;
}

std::shared_ptr<GenericASC> genericASCFromLabelMap(const SharedImageSet& labelImages, const LabelNames& labelNames)
{
    checkLabelImages(labelImages, "generic_asc_from_label_map");
    auto labels = labelComponent(labelNames);
    auto algorithm = std::make_unique<GenericASCFromMultiLabelMap>(&labelImages, nullptr, labels.get());
    algorithm->p_includeUnnamedLabels = false;
    algorithm->compute();
    // The result stays None for a failed conversion; the warning says why.
    if (algorithm->status() != Algorithm::Success &&
        PyErr_WarnEx(PyExc_RuntimeWarning, algorithm->statusMessage().c_str(), 1) != 0)
        throw py::error_already_set();
    return takeCollection(*algorithm);
}

/// Holds the label description, so that it is made before and outlives the algorithm's base.
struct OwnedLabels {
    std::unique_ptr<LabelDataComponent> labels;
};

/// The algorithm with its own label description, for Python.
class LabelMapAlgorithm : private OwnedLabels, public GenericASCFromMultiLabelMap {
public:
    LabelMapAlgorithm(const SharedImageSet& labelImages, const LabelNames& labelNames)
        : OwnedLabels{labelComponent(labelNames)}, GenericASCFromMultiLabelMap(&labelImages, nullptr, labels.get())
    {
        p_includeUnnamedLabels = false;
    }
};

std::shared_ptr<GenericASC> computeCollection(GenericASCFromMultiLabelMap& self)
{
    // Through the Python compute, so that an exception of a progress callback is raised again.
    py::cast(&self, py::return_value_policy::reference).attr("compute")();
    if (self.status() != Algorithm::Success)
        throw std::runtime_error(self.statusMessage().empty() ? std::string("GenericASCFromMultiLabelMap failed")
                                                              : self.statusMessage());
    return takeCollection(self);
}

constexpr const char* classDoc =
    "Builds a GenericASC from a label image with the surface chosen by the parameters "
    "(generic_asc_from_label_map runs it with the defaults).\n"
    "Parameters (p_<name> attributes): surface (Surface.SMOOTH, the default, or Surface.VOXEL), "
    "decimate (the share of triangles kept, in (0, 1]; 1 keeps all), includeUnnamedLabels (False).";

}  // namespace

void bindGenericASCFromLabelMap(py::module_& module)
{
    py::class_<GenericASCFromMultiLabelMap, Algorithm, std::unique_ptr<GenericASCFromMultiLabelMap>> cls(
        // A __dict__, where the inherited set_progress_callback keeps the callback alive.
        module, "GenericASCFromMultiLabelMap", py::dynamic_attr(), classDoc);
    // An IntEnum, so that its members are the integers the p_surface parameter holds.
    py::native_enum<GenericASCFromMultiLabelMap::Surface>(cls, "Surface", "enum.IntEnum",
                                                          "The kind of surface each structure gets: SMOOTH (smoothed, "
                                                          "touching structures sharing one interface, the voxels' topology "
                                                          "and volume) or VOXEL (marching cubes through the voxels' edges).")
        .value("SMOOTH", GenericASCFromMultiLabelMap::Surface::Smooth)
        .value("VOXEL", GenericASCFromMultiLabelMap::Surface::Voxel)
        .finalize();
    // The algorithm only points at the image, so the Python object keeps it alive.
    cls.def(py::init([](const SharedImageSet& labelImages, const LabelNames& labelNames) {
                checkLabelImages(labelImages, "GenericASCFromMultiLabelMap");
                return std::unique_ptr<GenericASCFromMultiLabelMap>(new LabelMapAlgorithm(labelImages, labelNames));
            }),
            py::arg("label_images"), py::arg("labels"), py::keep_alive<1, 2>(),
            "A label image set (one image, Modality.LABEL) and the names of its labels.")
        .def("__call__", &computeCollection,
             "Computes and returns the collection; raises RuntimeError with the status message on failure.");
    module.def("generic_asc_from_label_map", &genericASCFromLabelMap);
}

}  // namespace corvaxis
