#include "LabelMapBindings.h"

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/algorithms/GenericASCFromMultiLabelMap.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/SharedImageSet.h"

#include <Python.h>

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

std::shared_ptr<GenericASC> genericASCFromLabelMap(const SharedImageSet& labelImages, const LabelNames& labelNames)
{
    if (labelImages.size() != 1)
        throw std::invalid_argument("generic_asc_from_label_map only supports a single image set");
    if (!labelImages.get(-1) || labelImages.modality() != Modality::Label)
        throw std::invalid_argument("generic_asc_from_label_map only supports label images");

    auto labels = std::make_unique<LabelDataComponent>(nullptr);
    for (const auto& [label, name] : labelNames.names) {
        LabelConfig config = LabelDataComponent::defaultLabelConfig(label);
        config.name = name;
        labels->setLabelConfig(label, std::move(config));
    }
    auto algorithm = std::make_unique<AnatomicalStructureProcessing::GenericASCFromMultiLabelMap>(&labelImages, nullptr,
                                                                                                 labels.get());
    algorithm->p_includeUnnamedLabels = false;
    algorithm->compute();
    // The result stays None for a failed conversion; the warning says why.
    if (algorithm->status() != Algorithm::Success &&
        PyErr_WarnEx(PyExc_RuntimeWarning, algorithm->statusMessage().c_str(), 1) != 0)
        throw py::error_already_set();
    OwningDataList output = algorithm->takeOutput();
    for (std::size_t index = 0; index < output.size(); ++index)
        if (dynamic_cast<GenericASC*>(output.at(index))) {
            std::unique_ptr<Data> taken = output.take(index);
            return std::shared_ptr<GenericASC>(static_cast<GenericASC*>(taken.release()));
        }
    return nullptr;
}

}  // namespace

void bindGenericASCFromLabelMap(py::module_& module)
{
    module.def("generic_asc_from_label_map", &genericASCFromLabelMap);
}

}  // namespace corvaxis
