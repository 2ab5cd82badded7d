#include "Bindings.h"

#include "corvaxis/core/Data.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataFile.h"
#include "corvaxis/core/io/Nifti.h"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <Python.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace corvaxis::python {

namespace {

/// Raises the Python form of a file error: FileFormatError for a file that is not a readable
/// data file, the fitting OSError subclass (from the error number) for failures of the system,
/// ValueError for data that cannot be stored. The path is in the message and in `filename`.
[[noreturn]] void raiseFileError(const io::FileError& error)
{
    const py::str path(error.path().string());
    py::object exception;
    if (dynamic_cast<const io::UnsupportedDataError*>(&error)) {
        exception = py::reinterpret_borrow<py::object>(PyExc_ValueError)(error.what());
    }
    else if (dynamic_cast<const io::FileFormatError*>(&error)) {
        exception = py::module_::import("corvaxis._core").attr("FileFormatError")(error.what());
        exception.attr("filename") = path;
    }
    else if (error.errorNumber() != 0) {
        // OSError picks the subclass from the number: FileNotFoundError, PermissionError, ...
        exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(error.errorNumber(), error.reason(), path);
    }
    else {
        exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(error.what());
        exception.attr("filename") = path;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

}  // namespace

void bindFiles(py::module_& module)
{
    py::exception<io::FileFormatError> formatError(module, "FileFormatError", PyExc_OSError);
    formatError.attr("__module__") = "corvaxis";
    // The message already names the file; OSError's own text would put "[Errno None]" in front.
    formatError.attr("__str__") = py::module_::import("builtins").attr("BaseException").attr("__str__");
    formatError.doc() =
        "A file is not a corvaxis data file or NIfTI image, or it is damaged, truncated, of a newer format version, or holds a kind "
        "of data that no loaded module reads. A subclass of OSError; the message and ``filename`` name the file.";

    module.def(
        "_save",
        [](const Data& data, const std::filesystem::path& path) {
            try {
                io::save(data, path);
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("data"), py::arg("path"), "Writes a data object to a file, atomically (see corvaxis.save).");
    module.def(
        "_load",
        [](const std::filesystem::path& path, const py::object& beforeReading) {
            io::KindHook hook;
            if (!beforeReading.is_none())
                hook = [&beforeReading](const std::string& kind) { beforeReading(kind); };
            try {
                return std::shared_ptr<Data>(io::load(path, hook));
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("path"), py::arg("before_reading") = py::none(),
        "Reads the data object stored in a file (see corvaxis.open). before_reading(kind) is called once the file "
        "is checked and before its content is read.");
    module.def(
        "_load_nifti",
        [](const std::filesystem::path& path, std::optional<Modality> modality) {
            try {
                return std::shared_ptr<SharedImageSet>(io::loadNifti(path, modality));
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("path"), py::arg("modality") = py::none(),
        "Reads a NIfTI image (.nii, .nii.gz) as an image set (see corvaxis.open).");
    module.def(
        "_save_nifti",
        [](const SharedImageSet& images, const std::filesystem::path& path) {
            try {
                io::saveNifti(images, path);
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("images"), py::arg("path"), "Writes an image set as a NIfTI image, atomically (see corvaxis.save).");
}

}  // namespace corvaxis::python
