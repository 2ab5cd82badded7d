#include "PropertyValues.h"

#include "../common/Arrays.h"
#include "../common/Text.h"

#include <fmt/format.h>

#include <climits>

namespace corvaxis::python {

namespace {

template <typename... Visitors>
struct Overloaded : Visitors... {
    using Visitors::operator()...;
};

template <typename Vector>
Vector vectorFrom(const py::array& array)
{
    const auto typed = py::array_t<double, py::array::c_style | py::array::forcecast>(array);
    Vector vector;
    for (int i = 0; i < vector.size(); ++i)
        vector[i] = typed.data()[i];
    return vector;
}

bool isInstance(py::handle object, const py::module_& numpy, const char* type)
{
    return py::isinstance(object, numpy.attr(type));
}

Properties::Value intFrom(py::handle object, const std::string& what)
{
    const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!number)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX)
        throw py::value_error(fmt::format("{} does not fit a 32-bit int, got {}", what,
                                          py::str(number).cast<std::string>()));
    return static_cast<int>(value);
}

}  // namespace

py::object valueToPython(const Properties::Value& value)
{
    return std::visit(Overloaded{
                          [](bool flag) -> py::object { return py::bool_(flag); },
                          [](int number) -> py::object { return py::int_(number); },
                          [](double number) -> py::object { return py::float_(number); },
                          [](const std::string& text) -> py::object { return py::str(text); },
                          [](const Vec2& vector) -> py::object { return vectorToPython(vector.data(), 2); },
                          [](const Vec3& vector) -> py::object { return vectorToPython(vector.data(), 3); },
                          [](const Vec4& vector) -> py::object { return vectorToPython(vector.data(), 4); },
                          [](const Mat4& matrix) -> py::object { return matrixToPython(matrix); },
                      },
                      value);
}

Properties::Value valueFromPython(py::handle object, const std::string& what)
{
    const py::module_ numpy = py::module_::import("numpy");
    // bool before int: Python's bool is an int.
    if (py::isinstance<py::bool_>(object) || isInstance(object, numpy, "bool_"))
        return object.cast<bool>();
    if (py::isinstance<py::str>(object))
        return textFromPython(object, what);
    if (py::isinstance<py::int_>(object) || isInstance(object, numpy, "integer"))
        return intFrom(object, what);
    if (py::isinstance<py::float_>(object) || isInstance(object, numpy, "floating"))
        return object.cast<double>();

    const char* expected = "(2,), (3,), (4,) or (4, 4)";
    const py::array array = asArray(object, what.c_str(), expected);
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        const std::string given = py::isinstance<py::array>(object)
                                      ? "an array of dtype " + py::str(array.dtype()).cast<std::string>()
                                      : py::type::handle_of(object).attr("__name__").cast<std::string>();
        throw py::type_error(fmt::format(
            "{} must be a bool, int, float, str, vector of 2, 3 or 4 numbers or (4, 4) matrix, got {}", what, given));
    }
    const bool column = array.ndim() == 1 || (array.ndim() == 2 && array.shape(1) == 1);
    if (column && array.shape(0) == 2)
        return vectorFrom<Vec2>(array);
    if (column && array.shape(0) == 3)
        return vectorFrom<Vec3>(array);
    if (column && array.shape(0) == 4)
        return vectorFrom<Vec4>(array);
    if (array.ndim() == 2 && array.shape(0) == 4 && array.shape(1) == 4) {
        const auto typed = py::array_t<double, py::array::c_style | py::array::forcecast>(array);
        Mat4 matrix;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col)
                matrix(row, col) = typed.at(row, col);
        return matrix;
    }
    throw py::value_error(fmt::format("{} must have shape {}, got {}", what, expected, shapeText(array)));
}

Properties::Value valueOfType(py::handle object, unsigned typeCode, const std::string& what)
{
    Properties::Value value = valueFromPython(object, what);
    const unsigned given = typeCodeOf(value);
    if (given == typeCode)
        return value;
    if (typeCode == static_cast<unsigned>(Properties::Type::Double) && std::holds_alternative<int>(value))
        return static_cast<double>(std::get<int>(value));
    throw py::type_error(fmt::format("{} must be of type {}, got {}", what, typeName(typeCode), typeName(given)));
}

}  // namespace corvaxis::python
