#include "Bindings.h"
#include "../common/Text.h"

#include "corvaxis/core/Log.h"

#include <fmt/format.h>

#include <memory>

namespace corvaxis::python {

namespace {

void requireLevel(int level)
{
    if (level < Log::Trace || level > Log::Fatal)
        throw py::value_error(fmt::format("log level must be between 0 (trace) and 5 (fatal), got {}", level));
}

}  // namespace

void bindLog(py::module_& module)
{
    py::module_ log = module.def_submodule("_log", "The native side of corvaxis.log.");
    log.def("set_level", [](int level) {
           requireLevel(level);
           Log::g_globalLevel = level;
       }, py::arg("level"), "Messages below this level are dropped.")
        .def("level", [] { return Log::g_globalLevel; })
        .def("write", [](int level, const Text& category, const Text& message) {
            requireLevel(level);
            Log::logIfAccepted(level, category, [&] { return message; });
        }, py::arg("level"), py::arg("category"), py::arg("message"),
            "Logs a message when the global level and the category filters accept it.")
        .def("set_category_level", [](const Text& category, int level) {
            requireLevel(level);
            Log::setCategoryLevel(category, level);
        }, py::arg("category"), py::arg("level"), "The lowest level written for a category and its sub-categories.")
        .def("remove_category_filter", [](const Text& category) { return Log::removeCategoryFilter(category); },
             py::arg("category"))
        .def("add_capture_sink", [](const py::list& records) {
            // Copies of the sink may be made and dropped where the host logs; only the last owner,
            // holding the interpreter lock, releases the list.
            std::shared_ptr<py::list> target(new py::list(records), [](py::list* list) {
                py::gil_scoped_acquire gil;
                delete list;
            });
            return Log::addSink([target](const Log::Record& record) {
                py::gil_scoped_acquire gil;
                target->append(py::make_tuple(record.level, record.category, record.message));
            });
        }, py::arg("records"), "Appends every record written to the list as (level, category, message); returns the sink's id.")
        .def("remove_sink", &Log::removeSink, py::arg("sink"));
}

}  // namespace corvaxis::python
