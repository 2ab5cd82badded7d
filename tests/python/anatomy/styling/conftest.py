"""Shared factories of the styling tests: sheets with rules, and a recorder of host log records."""

import pytest

import corvaxis.log
from corvaxis.anatomy import Selector, StyleSheet


def set_values(**values):
    """A declarations callback that sets the given values."""

    def callback(block):
        for name, value in values.items():
            block[name] = value

    return callback


def make_sheet(name, rules=(), enabled=True):
    """A sheet with (selector text, {name: value}) rules, in order."""
    sheet = StyleSheet(name=name)
    for selector, values in rules:
        assert sheet.append_or_modify(selector, set_values(**values))
    sheet.enabled = enabled
    return sheet


@pytest.fixture
def setter():
    return set_values


@pytest.fixture
def sheet_factory():
    return make_sheet


@pytest.fixture
def style_log():
    """A function giving the (level, message) records of the style sheets written so far in the test."""
    with corvaxis.log.capture() as records:
        yield lambda: [(level, message) for level, category, message in records if category == "AnatomyPlugin.StyleSheet"]


@pytest.fixture
def parse():
    return Selector.parse

