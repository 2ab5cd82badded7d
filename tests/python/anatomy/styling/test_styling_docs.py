"""The examples of docs/styling.md run as written."""

import doctest
import pathlib

DOC = pathlib.Path(__file__).resolve().parents[4] / "docs" / "styling.md"


def test_examples_of_the_styling_page():
    failures, tried = doctest.testfile(str(DOC), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 0
    assert failures == 0
