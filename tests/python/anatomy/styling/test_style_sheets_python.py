"""StyleSheet from Python: members, append_or_modify with its selector forms and callback errors."""

import gc

import pytest

from corvaxis import Properties
from corvaxis.anatomy import Selector, StyleProperty, StyleSheet


def test_members_and_repr():
    sheet = StyleSheet(name="A")
    assert repr(sheet) == "<StyleSheet, name='A', enabled='true', size='0'>"
    assert StyleSheet.__init__.__doc__.rstrip().endswith("Constructor that creates a single (empty) Style sheet.")
    assert StyleSheet.enabled.__doc__ == "True if the style sheet is enabled in the styling cascade."
    assert StyleSheet.name.__doc__ == "The name identifying the style sheet."
    sheet.name, sheet.enabled = "B", False
    assert (sheet.name, sheet.enabled) == ("B", False)
    assert repr(sheet) == "<StyleSheet, name='B', enabled='false', size='0'>"
    with pytest.raises(TypeError):
        StyleSheet()


@pytest.mark.parametrize("selector", ["mesh#liver", " mesh#liver ", Selector.parse("mesh#liver")])
def test_selector_forms_find_the_same_rule(sheet_factory, selector):
    sheet = sheet_factory("s", [("mesh#liver", {"alpha": 0.5})])
    seen = []
    assert sheet.append_or_modify(selector, lambda block: seen.append(block["alpha"])) is True
    assert seen == [0.5]
    assert repr(sheet).endswith("size='1'>")


@pytest.mark.parametrize("selector", [None, "mesh[", "meshes"])
def test_absent_selector_changes_nothing_and_warns(sheet_factory, style_log, selector):
    sheet = sheet_factory("s", [("mesh", {"alpha": 0.5})])
    calls = []
    assert sheet.append_or_modify(selector, calls.append) is False
    assert calls == []
    assert repr(sheet).endswith("size='1'>")
    [(level, message)] = style_log()
    assert level == 3
    assert f"'{selector if selector else ''}'" in message


@pytest.mark.parametrize("selector", ["mesh", "graph"])
def test_raising_callback_leaves_the_sheet_unchanged(sheet_factory, selector):
    sheet = sheet_factory("s", [("mesh", {"alpha": 0.5})])
    error = KeyError("mine")

    def failing(block):
        block["alpha"] = 0.1
        raise error

    with pytest.raises(KeyError) as raised:
        sheet.append_or_modify(selector, failing)
    assert raised.value is error
    assert repr(sheet).endswith("size='1'>")
    values = []
    sheet.append_or_modify("mesh", lambda block: values.append(block["alpha"]))
    assert values == [0.5]


def test_callback_gets_one_properties_argument_and_its_result_is_ignored():
    sheet = StyleSheet(name="s")
    received = []

    def callback(*args):
        received.append(args)
        args[0][StyleProperty.COLOR] = "#ff0000"
        return "ignored"

    assert sheet.append_or_modify("mesh", callback) is True
    [(block,)] = received
    assert isinstance(block, Properties)


def test_retained_block_is_detached_and_safe(setter):
    sheet = StyleSheet(name="s")
    kept = []
    sheet.append_or_modify("mesh", lambda block: (block.__setitem__("alpha", 0.5), kept.append(block)))
    for i in range(50):
        sheet.append_or_modify(f"#s{i}", setter(alpha=0.1))
    del sheet
    gc.collect()
    kept[0]["alpha"] = 0.9
    assert kept[0]["alpha"] == 0.9


def test_wrong_argument_types(setter):
    sheet = StyleSheet(name="s")
    with pytest.raises(TypeError):
        sheet.append_or_modify(3, setter())
    with pytest.raises(TypeError):
        sheet.append_or_modify("mesh", "not callable")
    assert repr(sheet).endswith("size='0'>")
