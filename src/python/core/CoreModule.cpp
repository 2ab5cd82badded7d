#include "Bindings.h"

namespace py = pybind11;
using namespace corvaxis::python;

PYBIND11_MODULE(_core, module)
{
    module.doc() = "Data objects, properties and logging of the corvaxis host.";

    declareProperties(module);
    declareData(module);
    declareImages(module);
    declareMesh(module);
    declarePointCloud(module);
    declareAlgorithm(module);

    bindProperties(module);
    bindData(module);
    bindImages(module);
    bindMesh(module);
    bindPointCloud(module);
    bindAlgorithm(module);
    bindLog(module);
    bindFiles(module);
    bindThreads(module);
}
