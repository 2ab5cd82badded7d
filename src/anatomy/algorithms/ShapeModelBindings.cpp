#include "algorithms/ShapeModelBindings.h"

#include "corvaxis/anatomy/algorithms/GenerateLinearShapeModel.h"

#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace corvaxis {

namespace {

using Results = std::map<std::string, std::shared_ptr<AnatomicalStructureCollection>>;

constexpr const char* constructorDoc =
    "Generate a linear shape model from a set of AnatomicalStructureCollections.\n"
    "Input data are the mean shape and a set of .cvx files with AnatomicalStructureCollections located in the "
    "input directory.\n"
    "The mean shape defines the anatomical structures of interest and can optionally be updated iteratively in "
    "batches\n"
    "before the linear shape model is computed.\n"
    "\n"
    "Args:\n"
    "\tmean_shape: AnatomicalStructureCollection that defines the registration target and structures of interest.";

Results computeShapeModel(GenerateLinearShapeModel& self)
{
    // Through the Python compute, so that an exception of a progress callback is raised again.
    py::cast(&self, py::return_value_policy::reference).attr("compute")();
    if (self.status() != Algorithm::Success)
        throw std::runtime_error("Failed to compute linear shape model");
    OwningDataList output = self.takeOutput();
    std::vector<std::unique_ptr<AnatomicalStructureCollection>> collections =
        output.extractAll<AnatomicalStructureCollection>();
    if (collections.empty())
        throw std::runtime_error("No PCA template available");
    Results results;
    results["shape_model"] = std::shared_ptr<AnatomicalStructureCollection>(std::move(collections.front()));
    if (self.updateMean.value())
        results["mean"] = std::shared_ptr<AnatomicalStructureCollection>(self.getMeanShape());
    return results;
}

}  // namespace

void bindGenerateLinearShapeModel(py::module_& module)
{
    py::class_<GenerateLinearShapeModel, Algorithm, std::unique_ptr<GenerateLinearShapeModel>>(
        // A __dict__, where the inherited set_progress_callback keeps the callback alive.
        module, "GenerateLinearShapeModel", py::dynamic_attr())
        // The algorithm only points at the mean shape, so the Python object keeps it alive.
        .def(py::init([](const AnatomicalStructureCollection* meanShape) {
                 return std::make_unique<GenerateLinearShapeModel>(meanShape);
             }),
             py::arg("mean_shape").none(true), py::keep_alive<1, 2>(), constructorDoc)
        .def("__call__", &computeShapeModel,
             "Compute and return the mean shape (if configured to be updated) and the linear shape model");
}

}  // namespace corvaxis
