#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string_view>

namespace corvaxis::binding_detail {

/// Python objects that refer into a host container which may later move or drop what they refer
/// to (a style sheet in a sheet list, display options in a component list). Each such object is
/// registered with a test of whether its target is still the live value it was handed out as;
/// every use checks it first. Objects that own their value are never registered.
void guardReference(pybind11::handle object, std::function<bool()> stillValid);

/// Whether the object is not registered, or its target is still live.
bool referenceIsValid(pybind11::handle object);

/// Throws std::runtime_error with the message when the object's target is gone or moved.
void requireValidReference(pybind11::handle object, std::string_view message);

/// Why a reference into a sheet list or a component list is refused.
inline constexpr std::string_view movedSheetMessage =
    "This StyleSheet referred to a sheet of display options whose sheet list has changed since "
    "(a sheet was added or removed, or the list was loaded); get it again with get_or_append_style_sheet.";
inline constexpr std::string_view goneOptionsMessage =
    "This ASCDisplayOptions referred to a component that is no longer in its component list.";

/// A Python argument of a bound class T that stays a Python object, so that a method can check
/// the object's reference before it touches the value. Its signature name is the class's.
template <typename T>
class Checked : public pybind11::object {
public:
    static bool isInstance(PyObject* object) { return pybind11::isinstance<T>(object); }
    PYBIND11_OBJECT_DEFAULT(Checked, pybind11::object, isInstance)

    /// The value, after the reference check.
    T& value(std::string_view message) const
    {
        requireValidReference(*this, message);
        return cast<T&>();
    }
};

}  // namespace corvaxis::binding_detail

namespace pybind11::detail {
template <typename T>
struct handle_type_name<corvaxis::binding_detail::Checked<T>> {
    static constexpr auto name = make_caster<T>::name;
};
}  // namespace pybind11::detail
