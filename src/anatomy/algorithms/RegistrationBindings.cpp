#include "algorithms/RegistrationBindings.h"

#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include <memory>

namespace py = pybind11;

namespace corvaxis {

void bindASCRegistration(py::module_& module)
{
    using Method = ASCRegistration::RegistrationMethod;
    // A __dict__ of its own: the inherited set_progress_callback keeps the callable there.
    py::class_<ASCRegistration, Algorithm, std::unique_ptr<ASCRegistration>> cls(module, "ASCRegistration", py::dynamic_attr());
    // The host algorithm only refers to the collections, so the Python object keeps them alive.
    cls.def(py::init([](AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving) {
                return std::make_unique<ASCRegistration>(fixed, moving, nullptr, nullptr);
            }),
            py::arg("fixed"), py::arg("moving"), py::keep_alive<1, 2>(), py::keep_alive<1, 3>(),
            "Registration between AnatomicalStructureCollectionObjects");

    // Registered in this order, with these values, for callers that store them.
    py::enum_<Method>(cls, "RegistrationMethod")
        .value("DeformableMeshRegistration", Method::DeformableMeshRegistration)
        .value("RigidImages", Method::RigidImages)
        .value("PointsAndPlanes", Method::PointsAndPlanes)
        .value("PointsRigidScaling", Method::PointsRigidScaling);

    cls.def_property(
        "registration_method", [](const ASCRegistration& self) { return self.p_registrationMethod.value(); },
        // The parameter emits its change signal only for a different value.
        [](ASCRegistration& self, Method method) { self.p_registrationMethod.setValue(method); },
        "Registration method");
}

}  // namespace corvaxis
