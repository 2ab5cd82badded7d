#include "Bindings.h"
#include "../common/Text.h"
#include "ConfigurableBindings.h"
#include "PropertyValues.h"

#include "corvaxis/core/Algorithm.h"

#include <fmt/format.h>

#include <map>

namespace corvaxis::python {

namespace {

/// Algorithms written in Python: the subclass supplies compute and, through the methods bound
/// below, declares its parameters, reports its status and hands out results.
class PyAlgorithm : public Algorithm {
public:
    void compute() override { PYBIND11_OVERRIDE_PURE(void, Algorithm, compute, ); }

    void addParameter(const std::string& name, const Properties::Value& value)
    {
        std::visit([&](const auto& initial) {
            using Value = std::decay_t<decltype(initial)>;
            m_parameters.push_back(std::make_unique<Parameter<Value>>(name, initial, this));
        }, value);
    }
    void addOutput(std::unique_ptr<Data> data) { output().add(std::move(data)); }
    using Algorithm::reportProgress;
    using Algorithm::setStatus;

private:
    std::vector<std::unique_ptr<ParameterBase>> m_parameters;
};

using AlgorithmClass = py::class_<Algorithm, PyAlgorithm, std::unique_ptr<Algorithm>>;

std::string typeName(py::handle self) { return py::type::handle_of(self).attr("__name__").cast<std::string>(); }

PyAlgorithm& writtenInPython(Algorithm& algorithm, const char* method)
{
    auto* python = dynamic_cast<PyAlgorithm*>(&algorithm);
    if (!python)
        throw py::type_error(fmt::format("{} is only available to algorithms written in Python", method));
    return *python;
}

// An exception from the progress callback waits here until compute returns, since it cannot
// travel through the host algorithm's frames.
std::map<const Algorithm*, py::error_already_set>& pendingErrors()
{
    // Never destroyed: a Python error must not outlive the interpreter in a static destructor.
    static auto* errors = new std::map<const Algorithm*, py::error_already_set>();
    return *errors;
}

bool reportToPython(const Algorithm& algorithm, PyObject* callable, double fraction, const std::string& step)
{
    if (pendingErrors().contains(&algorithm))
        return false;
    try {
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        py::handle{callable}(fraction, step);
        return true;
    } catch (py::error_already_set& error) {
        pendingErrors().emplace(&algorithm, std::move(error));
        return false;
    }
}

void raisePendingError(const Algorithm& algorithm)
{
    auto pending = pendingErrors().find(&algorithm);
    if (pending != pendingErrors().end()) {
        py::error_already_set error = std::move(pending->second);
        pendingErrors().erase(pending);
        throw error;
    }
}

/// Algorithm.Status: the host's status values as an IntEnum, so that members compare equal to the
/// integers callers already test against.
void bindStatusEnumeration(py::handle algorithmClass)
{
    py::list members;
    for (const auto& [name, value] : {std::pair{"SUCCESS", Algorithm::Success}, std::pair{"UNKNOWN", Algorithm::Unknown},
                                      std::pair{"ERROR", Algorithm::Error}, std::pair{"INVALID_INPUT", Algorithm::InvalidInput},
                                      std::pair{"INCOMPLETE_INPUT", Algorithm::IncompleteInput},
                                      std::pair{"CANCELLED", Algorithm::Cancelled}})
        members.append(py::make_tuple(name, static_cast<int>(value)));
    py::object status = py::module_::import("enum").attr("IntEnum")(
        "Status", members, py::arg("module") = algorithmClass.attr("__module__"),
        py::arg("qualname") = "Algorithm.Status");
    status.attr("__doc__") = "How the last compute ended: SUCCESS (0), UNKNOWN (-1, before any compute), ERROR (1), "
                             "INVALID_INPUT (2), INCOMPLETE_INPUT (3) or CANCELLED (4).";
    algorithmClass.attr("Status") = status;
}

void computeWithProgress(Algorithm& algorithm)
{
    struct ForgetPendingError {
        const Algorithm* algorithm;
        ~ForgetPendingError() { pendingErrors().erase(algorithm); }
    } forget{&algorithm};
    algorithm.compute();
    raisePendingError(algorithm);
}

}  // namespace

void declareAlgorithm(py::module_& module)
{
    AlgorithmClass(module, "Algorithm",
                   "A computation with parameters: set the parameters (attributes p_<name>), compute, read the "
                   "status, take the output.\nTo write one in Python, derive from it, call Algorithm.__init__ and "
                   "define compute().");
}

void bindAlgorithm(py::module_& module)
{
    AlgorithmClass cls(module.attr("Algorithm"));
    bindStatusEnumeration(cls);
    cls.def(py::init<>())
        .def("compute", &computeWithProgress,
            "Runs the algorithm; status tells whether it succeeded. An exception raised by the progress "
            "callback (KeyboardInterrupt included) stops the computation and is raised again here.")
        .def("set_progress_callback", [](py::handle self, const py::object& callback) {
            auto& algorithm = self.cast<Algorithm&>();
            if (callback.is_none()) {
                algorithm.setProgressCallback({});
                self.attr("__dict__").attr("pop")("_progress_callback", py::none());
                return;
            }
            if (!PyCallable_Check(callback.ptr()))
                throw py::type_error("callback must be callable or None");
            // The Python object keeps the callable; the host callback only borrows it while compute runs.
            self.attr("__dict__")["_progress_callback"] = callback;
            algorithm.setProgressCallback([&algorithm, callable = callback.ptr()](double fraction, const std::string& step) {
                return reportToPython(algorithm, callable, fraction, step);
            });
        }, py::arg("callback"),
            "Calls callback(fraction, step) on the calling thread while compute runs (fraction in [0, 1]); "
            "a callback that raises stops the computation. None removes it.")
        .def_property_readonly("status", [](const Algorithm& self) -> py::object {
            // A status an algorithm written in Python made up stays a plain integer.
            const py::int_ value(self.status());
            const py::dict members = py::type::of<Algorithm>().attr("Status").attr("_value2member_map_");
            return members.contains(value) ? py::object(members[value]) : py::object(value);
        }, "An Algorithm.Status (an int): SUCCESS (0) after a successful compute, UNKNOWN (-1) before any.")
        .def_property_readonly("status_message", &Algorithm::statusMessage, "Why the last compute failed.")
        .def_property_readonly("computing", &Algorithm::isComputing,
            "True while a compute runs (inside its progress callback): its parameters refuse changes and a "
            "second compute is refused.")
        .def_property_readonly("results", [](const Algorithm& self) { return asDict(self.results()); },
            "The figures of the last compute by name, as a new dict (vectors and matrices as NumPy arrays, "
            "groups as lists of dicts); empty before a compute.")
        .def("output", [](Algorithm& self) {
            OwningDataList output = self.takeOutput();
            py::list results;
            while (!output.empty())
                results.append(std::shared_ptr<Data>(output.take(0)));
            return results;
        }, "Hands over the data objects the last compute produced; a second call returns an empty list.")
        .def("add_parameter", [](py::handle self, const Text& name, const py::object& initial) {
            PyAlgorithm& algorithm = writtenInPython(self.cast<Algorithm&>(), "add_parameter");
            if (algorithm.parameter(name))
                throw py::value_error(fmt::format("'{}' has a parameter '{}' already", typeName(self), name));
            algorithm.addParameter(name, valueFromPython(initial, fmt::format("parameter '{}'", name)));
        }, py::arg("name"), py::arg("default"),
            "Declares a parameter; its type (bool, int, float, str, vector, matrix) is that of the default.")
        .def("set_status", [](Algorithm& self, int status, Text message) {
            writtenInPython(self, "set_status").setStatus(status, std::move(message));
        }, py::arg("status"), py::arg("message") = "")
        .def("report_progress", [](Algorithm& self, double fraction, const Text& step) {
            const bool goOn = writtenInPython(self, "report_progress").reportProgress(fraction, step);
            // In Python code the callback's exception can travel on at once.
            raisePendingError(self);
            return goOn;
        }, py::arg("fraction"), py::arg("step") = "",
            "Reports progress to the callback; False when the computation should stop. An exception "
            "raised by the callback is raised here.")
        .def("add_output", [](Algorithm& self, const Data& data) {
            writtenInPython(self, "add_output").addOutput(data.cloneData());
        }, py::arg("data"), "Adds a copy of a data object to the output.")
        .def("__repr__", [](const py::object& self) {
            return fmt::format("<{}, status={}>", typeName(self), self.cast<const Algorithm&>().status());
        });
    bindConfigurable(cls);
}

}  // namespace corvaxis::python
