#include "Bindings.h"

#include "../common/Arrays.h"
#include "../common/Repr.h"
#include "../common/Snapshots.h"
#include "../common/Text.h"

#include "corvaxis/core/SharedImageSet.h"

#include <fmt/format.h>
#include <pybind11/stl.h>
#include <fmt/ranges.h>
#include <pybind11/native_enum.h>
#include <pybind11/typing.h>

#include <climits>
#include <cmath>
#include <stdexcept>
#include <cstring>

namespace corvaxis::python {

namespace {

using ImageSetClass = py::class_<SharedImageSet, Data, std::shared_ptr<SharedImageSet>>;

constexpr const char* imageShapes = "(H, W) or (D, H, W)";

PixelType pixelTypeOf(const py::array& array, const std::string& name)
{
    const char kind = array.dtype().kind();
    const auto size = array.dtype().itemsize();
    if (kind == 'b')
        return PixelType::UInt8;
    if (kind == 'u' && size == 1)
        return PixelType::UInt8;
    if (kind == 'i' && size == 1)
        return PixelType::Int8;
    if (kind == 'u' && size == 2)
        return PixelType::UInt16;
    if (kind == 'i' && size == 2)
        return PixelType::Int16;
    if (kind == 'u' && size == 4)
        return PixelType::UInt32;
    if (kind == 'i' && size == 4)
        return PixelType::Int32;
    if (kind == 'f' && size == 4)
        return PixelType::Float;
    if (kind == 'f' && size == 8)
        return PixelType::Double;
    throw py::type_error(fmt::format(
        "{} must have dtype uint8, int8, uint16, int16, uint32, int32, float32 or float64, got {}", name,
        py::str(array.dtype()).cast<std::string>()));
}

/// An image as given from Python: a plain NumPy array, and the host's pixel type for its dtype.
struct Pixels {
    PixelType type;
    py::array array;
};

Pixels pixelsFromPython(py::handle object, const std::string& name)
{
    const py::array given = asArray(object, name.c_str(), imageShapes);
    const PixelType type = pixelTypeOf(given, name);
    if (given.ndim() != 2 && given.ndim() != 3)
        throw py::value_error(fmt::format("{} must have shape {}, got {}", name, imageShapes, shapeText(given)));
    for (py::ssize_t axis = 0; axis < given.ndim(); ++axis)
        if (given.shape(axis) < 1 || given.shape(axis) > INT_MAX)
            throw py::value_error(fmt::format("{} must have between 1 and {} pixels along each axis, got {}", name,
                                              INT_MAX, shapeText(given)));
    return {type, given};
}

/// A host image holding a copy of the pixels. NumPy copies them straight into the image's buffer
/// (converting booleans, strides and foreign byte orders on the way), so that building an image
/// never needs a second copy of its size.
std::unique_ptr<Image> imageFrom(const Pixels& pixels, const Vec3& spacing)
{
    const py::array& array = pixels.array;
    const bool volume = array.ndim() == 3;
    const std::array<int, 3> dimensions = {static_cast<int>(array.shape(volume ? 2 : 1)),
                                           static_cast<int>(array.shape(volume ? 1 : 0)),
                                           volume ? static_cast<int>(array.shape(0)) : 1};
    auto image = Image::forOverwrite(pixels.type, dimensions);
    {
        // A view of the image's buffer that lives only for the copy; the capsule makes NumPy
        // refer to the buffer instead of copying it, and nothing else can reach the view.
        const std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
        std::vector<py::ssize_t> strides(shape.size(), static_cast<py::ssize_t>(pixelSize(pixels.type)));
        for (std::size_t axis = shape.size() - 1; axis > 0; --axis)
            strides[axis - 1] = strides[axis] * shape[axis];
        const py::array target(py::dtype(pixelTypeName(pixels.type)), shape, strides, image->data(),
                               py::capsule(image->data(), +[](void*) {}));
        py::module_::import("numpy").attr("copyto")(target, array, py::arg("casting") = "unsafe");
    }
    image->spacing = spacing;
    return image;
}

/// (H, W) for a single slice, (D, H, W) for a volume; a trailing channel axis when there are several.
std::vector<py::ssize_t> shapeOf(const Image& image)
{
    const auto& [width, height, depth] = image.dimensions();
    std::vector<py::ssize_t> shape;
    if (depth > 1)
        shape.push_back(depth);
    shape.insert(shape.end(), {height, width});
    if (image.channels() > 1)
        shape.push_back(image.channels());
    return shape;
}

py::array imageToPython(const Image& image)
{
    py::array pixels(py::dtype(pixelTypeName(image.pixelType())), shapeOf(image));
    std::memcpy(pixels.mutable_data(), image.data(), image.byteSize());
    return pixels;
}

Vec3 spacingFromPython(py::handle object)
{
    const py::array array = asArray(object, "spacing", "(3,)");
    requireNumbers(array, "spacing", "(3,)");
    if (array.ndim() != 1 || array.shape(0) != 3)
        throw py::value_error(fmt::format("spacing must have shape (3,), got {}", shapeText(array)));
    const auto values = py::array_t<double, py::array::forcecast>(array);
    const Vec3 spacing(values.at(0), values.at(1), values.at(2));
    if (!spacing.allFinite() || (spacing.array() <= 0.0).any())
        throw py::value_error(fmt::format("spacing must be positive and finite, got ({}, {}, {})", spacing[0],
                                          spacing[1], spacing[2]));
    return spacing;
}

/// The images of the constructor's argument: one array, or a list or tuple of arrays, held as
/// owned references (converting one image may run Python code that changes the list).
std::vector<std::pair<py::object, std::string>> imageArguments(const py::object& images)
{
    std::vector<std::pair<py::object, std::string>> items;
    if (images.is_none())
        return items;
    if (py::isinstance<py::list>(images) || py::isinstance<py::tuple>(images)) {
        std::size_t index = 0;
        for (py::object& item : itemsSnapshot(images))
            items.emplace_back(std::move(item), fmt::format("images[{}]", index++));
    }
    else
        items.emplace_back(images, "images");
    return items;
}

/// New images must match those the set holds already.
void requireLike(const Pixels& pixels, const std::string& name, const Image& reference, const std::string& referenceName)
{
    if (pixels.type != reference.pixelType())
        throw py::type_error(fmt::format("{} must have the dtype of {}, {}, got {}", name, referenceName,
                                         pixelTypeName(reference.pixelType()), pixelTypeName(pixels.type)));
    const std::vector<py::ssize_t> expected = shapeOf(reference);
    const std::vector<py::ssize_t> given(pixels.array.shape(), pixels.array.shape() + pixels.array.ndim());
    if (given != expected)
        throw py::value_error(fmt::format("{} must have the shape of {}, ({}), got {}", name, referenceName,
                                          fmt::join(expected, ", "), shapeText(pixels.array)));
}

using LabelNamesDict = py::typing::Dict<py::int_, py::str>;
using LabelColorsDict = py::typing::Dict<py::int_, py::typing::Tuple<py::float_, py::float_, py::float_, py::float_>>;

/// A label value as a dict key: an integer (NumPy's too, not a bool) in the 32-bit range.
int labelOf(py::handle key, const char* name)
{
    if (!PyIndex_Check(key.ptr()) || py::isinstance<py::bool_>(key) ||
        py::isinstance(key, py::module_::import("numpy").attr("bool_")))
        throw py::type_error(
            fmt::format("{} keys must be int label values, got {}", name, py::repr(key).cast<std::string>()));
    const auto value = py::reinterpret_steal<py::int_>(PyNumber_Index(key.ptr()));
    if (!value)
        throw py::error_already_set();
    if (value < py::int_(INT_MIN) || value > py::int_(INT_MAX))
        throw py::value_error(
            fmt::format("{} keys must be 32-bit label values, got {}", name, py::str(value).cast<std::string>()));
    return value.cast<int>();
}

std::map<int, std::string> labelNamesFromPython(const py::dict& names)
{
    std::map<int, std::string> result;
    for (const auto& [key, value] : names) {
        const int label = labelOf(key, "label_names");
        result[label] = textFromPython(value, fmt::format("label_names[{}]", label));
    }
    return result;
}

/// RGBA colours by label value: 3 or 4 numbers in [0, 1] each (alpha 1 when left out).
std::map<int, Vec4> labelColorsFromPython(const py::dict& colors)
{
    std::map<int, Vec4> result;
    for (const auto& [key, value] : colors) {
        const int label = labelOf(key, "label_colors");
        const std::string name = fmt::format("label_colors[{}]", label);
        const py::array array = asArray(value, name.c_str(), "(3,) or (4,)");
        requireNumbers(array, name.c_str(), "(3,) or (4,)");
        if (array.ndim() != 1 || (array.shape(0) != 3 && array.shape(0) != 4))
            throw py::value_error(fmt::format("{} must have shape (3,) or (4,), got {}", name, shapeText(array)));
        const auto rgba = py::array_t<double, py::array::forcecast>(array);
        Vec4 color(rgba.at(0), rgba.at(1), rgba.at(2), array.shape(0) == 4 ? rgba.at(3) : 1.0);
        if (!(color.array() >= 0.0).all() || !(color.array() <= 1.0).all())
            throw py::value_error(fmt::format("{} must have components in [0, 1], got ({}, {}, {}, {})", name,
                                              color[0], color[1], color[2], color[3]));
        result[label] = color;
    }
    return result;
}

std::string imageShapeText(const Image& image)
{
    const std::vector<py::ssize_t> shape = shapeOf(image);
    return fmt::format("({})", fmt::join(shape, ", "));
}

}  // namespace

void declareImages(py::module_& module)
{
    py::native_enum<Modality>(module, "Modality", "enum.IntEnum", "How the images of a set were acquired.")
        .value("NA", Modality::NA)
        .value("XRAY", Modality::XRay)
        .value("CT", Modality::CT)
        .value("MRI", Modality::MRI)
        .value("ULTRASOUND", Modality::Ultrasound)
        .value("VIDEO", Modality::Video)
        .value("NM", Modality::NM)
        .value("OCT", Modality::OCT)
        .value("LABEL", Modality::Label)
        .value("DISTANCE", Modality::Distance)
        .finalize();
    ImageSetClass(module, "SharedImageSet",
                  "A list of images of one shape and dtype (time steps or a stack), with a modality and a current "
                  "image.");
}

void bindImages(py::module_& module)
{
    ImageSetClass cls(module.attr("SharedImageSet"));
    cls.def(py::init([](const py::object& images, const py::object& spacing, Modality modality) {
            const Vec3 pixelSpacing = spacingFromPython(spacing);
            auto set = std::make_shared<SharedImageSet>();
            std::string firstName;
            for (const auto& [item, name] : imageArguments(images)) {
                const Pixels pixels = pixelsFromPython(item, name);
                if (set->size() > 0)
                    requireLike(pixels, name, *set->get(0), firstName);
                else
                    firstName = name;
                set->add(imageFrom(pixels, pixelSpacing));
            }
            set->setModality(modality);
            return set;
        }), py::arg("images") = py::none(), py::arg("spacing") = py::make_tuple(1.0, 1.0, 1.0),
            py::arg("modality") = Modality::NA,
            "images: one array or a list of arrays of one shape, (H, W) or (D, H, W), and one dtype;\n"
            "spacing: (x, y, z) pixel size of every image.")
        .def("__len__", &SharedImageSet::size)
        .def("get", [](const SharedImageSet& self, int index) {
            const Image* image = self.get(index);
            if (!image)
                throw py::index_error(
                    fmt::format("image index {} out of range for a set of {} images", index, self.size()));
            return imageToPython(*image);
        }, py::arg("index") = -1, "A copy of the pixels of an image; -1 is the current image.")
        .def("append", [](SharedImageSet& self, const py::object& image) {
            const Pixels pixels = pixelsFromPython(image, "image");
            const Image* first = self.get(0);
            if (first)
                requireLike(pixels, "image", *first, "the set's images");
            self.add(imageFrom(pixels, first ? first->spacing : Vec3::Ones()));
        }, py::arg("image"), "Adds a copy of an array with the shape and dtype of the set's images.")
        .def_property("modality", &SharedImageSet::modality, &SharedImageSet::setModality)
        .def_property("selected_index", &SharedImageSet::selectedIndex, &SharedImageSet::setSelectedIndex,
                      "Index of the current image.")
        .def_property("spacing", [](const SharedImageSet& self) -> std::optional<py::array_t<double>> {
            const Image* image = self.get(-1);
            if (!image)
                return std::nullopt;
            return vectorToPython(image->spacing.data(), 3);
        }, [](SharedImageSet& self, const py::object& spacing) {
            const Vec3 pixelSpacing = spacingFromPython(spacing);
            for (int index = 0; index < self.size(); ++index)
                self.get(index)->spacing = pixelSpacing;
        }, "Pixel size (x, y, z) of the current image, None for an empty set; setting it sets every image's.")
        .def_property("voxel_to_world", [](const SharedImageSet& self) -> std::optional<py::array_t<double>> {
            if (!self.get(-1))
                return std::nullopt;
            return matrixToPython(self.voxelToWorld(-1));
        }, [](SharedImageSet& self, const py::object& matrix) {
            if (self.size() == 0)
                throw py::value_error("an empty image set has no voxel-to-world matrix");
            try {
                self.setVoxelToWorld(matrixFromPython(matrix, "voxel_to_world"));
            }
            catch (const std::invalid_argument& error) {
                throw py::value_error(error.what());
            }
        },
            "4x4 matrix from the voxel index (x, y, z, 1) of the current image to world coordinates: matrix @ "
            "image matrix @ diag(spacing, 1); x indexes the last axis of the array from get(). None for an empty "
            "set. Setting it gives every image that mapping: spacing becomes the column lengths, the image matrix "
            "the rest (see docs/images.md).")
        .def_property("image_matrix", [](const SharedImageSet& self) -> std::optional<py::array_t<double>> {
            const Image* image = self.get(-1);
            if (!image)
                return std::nullopt;
            return matrixToPython(image->matrix);
        }, [](SharedImageSet& self, const py::object& matrix) {
            if (self.size() == 0)
                throw py::value_error("an empty image set has no image matrix");
            try {
                self.setImageMatrix(matrixFromPython(matrix, "image_matrix"));
            }
            catch (const std::invalid_argument& error) {
                throw py::value_error(error.what());
            }
        },
            "4x4 image-to-world matrix of the current image (rotation, possibly a mirror or a shear, and the "
            "position of voxel (0, 0, 0)), applied after the spacing and before matrix. None for an empty set. "
            "Setting it sets every image's.")
        .def_property("label_names", [](const SharedImageSet& self) {
            LabelNamesDict names;
            if (const Image* image = self.get(-1))
                for (const auto& [label, name] : image->labelNames)
                    names[py::int_(label)] = py::str(name);
            return names;
        }, [](SharedImageSet& self, const LabelNamesDict& names) {
            if (self.size() == 0)
                throw py::value_error("an empty image set has no label names");
            self.setLabelNames(labelNamesFromPython(names));
        },
            "Names of the label values of the current image, from the file it was read from (a Slicer "
            "segmentation names its segments, a layer each image) or set by a script; empty when nothing names "
            "them. Kept by .cvx files. Setting it replaces the current image's names.")
        .def_property("label_colors", [](const SharedImageSet& self) {
            LabelColorsDict colors;
            if (const Image* image = self.get(-1))
                for (const auto& [label, color] : image->labelColors)
                    colors[py::int_(label)] = py::make_tuple(color[0], color[1], color[2], color[3]);
            return colors;
        }, [](SharedImageSet& self, const py::typing::Dict<py::int_, py::typing::Iterable<py::float_>>& colors) {
            if (self.size() == 0)
                throw py::value_error("an empty image set has no label colours");
            self.setLabelColors(labelColorsFromPython(colors));
        },
            "RGBA colours (components in [0, 1]) of the label values of the current image, from the file it was "
            "read from or set by a script (RGB alone gets alpha 1); empty when nothing gives them. Kept by .cvx "
            "files. Setting it replaces the current image's colours.")
        .def("clone", [](const SharedImageSet& self) { return std::shared_ptr<SharedImageSet>(self.clone()); },
             "A deep copy, or None for an empty set.")
        .def("__repr__", [](const py::object& self) {
            const auto& set = self.cast<const SharedImageSet&>();
            const std::string modality = py::cast(set.modality()).attr("name").cast<std::string>();
            const Image* image = set.get(-1);
            if (!image)
                return fmt::format("<SharedImageSet, images=0, modality={}{}>", modality, nameSuffix(set));
            return fmt::format("<SharedImageSet, images={}, shape={}, dtype={}, modality={}{}>", set.size(),
                               imageShapeText(*image), pixelTypeName(image->pixelType()), modality, nameSuffix(set));
        });
}

}  // namespace corvaxis::python
