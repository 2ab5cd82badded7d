"""StyleProperty: members, values, docstrings and its base class with and without enum.StrEnum."""

import enum
import pickle
import subprocess
import sys
import textwrap

import pytest

import corvaxis.anatomy as anatomy
from corvaxis.anatomy import StyleProperty


def test_members_in_table_order_with_values_and_docs():
    members = list(StyleProperty)
    assert len(members) == 49
    assert members[0] is StyleProperty.VISIBILITY
    assert members[-1] is StyleProperty.ALLOW_OBJECT_ATTRIBUTES_OVERRIDE
    names = [member.name for member in members]
    assert names.index("ALPHA_WIREFRAME") + 1 == names.index("COLOR_WIREFRAME")
    assert all(member.name == member.value.upper() for member in members)
    assert len({member.value for member in members}) == 49
    assert StyleProperty.__doc__ == 'Known style "property-names"'
    assert StyleProperty.COLORMAP.__doc__ == "Colormap to use for the graph. (supported by: Graphs)"


@pytest.mark.parametrize(
    "member, value",
    [("TUBE_END_T", "tube_end_t"), ("ALPHA", "alpha"), ("SHOW_LABEL_TEXT_DEBUG", "show_label_text_debug"),
     ("VISIBILITY_CIRCLE_VISUALIZATION", "visibility_circle_visualization")],
)
def test_members_are_strings_found_by_name_and_value(member, value):
    assert StyleProperty[member] is StyleProperty(value)
    assert StyleProperty[member] == value
    assert isinstance(StyleProperty[member], str)


def test_base_is_str_enum_and_last_module_attribute():
    assert issubclass(StyleProperty, enum.StrEnum)
    # The import machinery adds its dunder attributes after the module's own.
    assert [name for name in vars(anatomy) if not name.startswith("__")][-1] == "StyleProperty"


def test_generated_string_enum_base_without_str_enum():
    script = textwrap.dedent(
        """
        import enum
        del enum.StrEnum
        from corvaxis.anatomy import StyleProperty
        base = StyleProperty.__mro__[1]
        assert base.__name__ == "StringEnum", base
        assert base.__bases__ == (str, enum.Enum), base.__bases__
        assert isinstance(StyleProperty.ALPHA, str) and StyleProperty.ALPHA == "alpha"
        assert len(StyleProperty) == 49
        assert StyleProperty.COLORMAP.__doc__ == "Colormap to use for the graph. (supported by: Graphs)"
        print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("member", [StyleProperty.COLOR, StyleProperty.ALLOW_OBJECT_ATTRIBUTES_OVERRIDE])
def test_members_survive_pickling_as_members_of_the_module(member):
    # The class is found again where it lives; without it, pickling a member fails.
    assert StyleProperty.__module__ == "corvaxis.anatomy"
    assert pickle.loads(pickle.dumps(member)) is member
