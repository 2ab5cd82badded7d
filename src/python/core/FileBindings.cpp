#include "Bindings.h"

#include "corvaxis/core/Data.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataFile.h"
#include "corvaxis/core/io/Nifti.h"
#include "corvaxis/core/io/Nrrd.h"

#include <fmt/format.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <Python.h>

#include <cerrno>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace corvaxis::python {

namespace {

/// Text for Python that never fails to decode: a path is a string of bytes, not always UTF-8.
py::object fileSystemText(const std::string& bytes)
{
    // As os.fsdecode does: a path given as str comes back as the same str.
    const auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!text)
        throw py::error_already_set();
    return text;
}

/// Raises the Python form of a file error: FileFormatError for a file that is not a readable
/// data file, the fitting OSError subclass (from the error number) for failures of the system,
/// ValueError for data that cannot be stored. The path is in the message and in `filename`; an
/// OSError always carries its errno and strerror.
[[noreturn]] void raiseFileError(const io::FileError& error)
{
    const py::object path = fileSystemText(error.path().string());
    const py::object message = fileSystemText(error.what());
    py::object exception;
    if (dynamic_cast<const io::UnsupportedDataError*>(&error)) {
        exception = py::reinterpret_borrow<py::object>(PyExc_ValueError)(message);
    }
    else if (dynamic_cast<const io::FileFormatError*>(&error)) {
        exception = py::module_::import("corvaxis._core").attr("FileFormatError")(message);
        exception.attr("filename") = path;
    }
    else {
        // OSError picks the subclass from the number: FileNotFoundError, PermissionError, ...
        const int number = error.errorNumber() != 0 ? error.errorNumber() : EIO;
        exception = py::reinterpret_borrow<py::object>(PyExc_OSError)(number, fileSystemText(error.reason()), path);
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
        "A file is not a corvaxis data file or NIfTI or NRRD image, or it is damaged, truncated, of a newer format version, or holds a kind "
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
                hook = [&beforeReading](const std::string& kind) {
                    const py::gil_scoped_acquire interpreter;
                    beforeReading(kind);
                };
            std::shared_ptr<Data> data;
            try {
                // Other threads run while the file is read and checked: reading several files
                // from threads overlaps, up to the HDF5 work, which is one at a time.
                const py::gil_scoped_release others;
                data = io::load(path, hook);
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
            return data;
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
        "Reads a NIfTI image (.nii, .nii.gz, or a pair .hdr and .img) as an image set (see corvaxis.open).");
    module.def(
        "_load_nrrd",
        [](const std::filesystem::path& path, std::optional<Modality> modality) {
            try {
                return std::shared_ptr<SharedImageSet>(io::loadNrrd(path, modality));
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("path"), py::arg("modality") = py::none(),
        "Reads a NRRD image (.nrrd, or a .nhdr header and its data file) as an image set (see corvaxis.open).");
    module.def(
        "_save_nifti",
        [](const SharedImageSet& images, const std::filesystem::path& path, std::optional<int> version) {
            if (version && *version != 1 && *version != 2)
                throw py::value_error(fmt::format("nifti_version must be 1, 2 or None, got {}", *version));
            try {
                io::saveNifti(images, path,
                              !version        ? io::NiftiVersion::Smallest
                              : *version == 1 ? io::NiftiVersion::One
                                              : io::NiftiVersion::Two);
            }
            catch (const io::FileError& error) {
                raiseFileError(error);
            }
        },
        py::arg("images"), py::arg("path"), py::arg("version") = py::none(),
        "Writes an image set as a NIfTI image, atomically (see corvaxis.save); version 1 or 2 chooses the header, "
        "None the smallest that holds the set.");
}

}  // namespace corvaxis::python
