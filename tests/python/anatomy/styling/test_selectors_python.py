"""SelectorElem and Selector from Python: parsing, canonical text, |, construction, reprs."""

import gc

import pytest

from corvaxis.anatomy import Selector, SelectorElem

VALID = [
    ("*", "*"),
    ("mesh", "mesh"),
    ("#liver", "#liver"),
    ("mesh#liver", "mesh#liver"),
    ("keypoint#liver[key=tip]", "keypoint#liver[key=tip]"),
    ("mesh#vertebra_*", "mesh#vertebra_*"),
    ("keypoint[key^=Corvaxis.Spine]", "keypoint[key^=Corvaxis.Spine]"),
    ("mesh#liver, mesh#spleen", "mesh#liver, mesh#spleen"),
    ("mesh#liver,mesh#spleen", "mesh#liver, mesh#spleen"),
    ('plane[key="a b"].x', 'plane[key="a b"].x'),
]
REFUSED = ["", "#", "mesh#", "mesh[", "mesh[key=tip", "mesh##liver", "meshes", ",", "mesh,"]


@pytest.mark.parametrize("text, canonical", VALID)
def test_valid_texts_round_trip_through_their_canonical_text(parse, text, canonical):
    selector = parse(text)
    assert repr(selector) == f"<Selector, value='{canonical}'>"
    # No __str__ of its own: str() is the representation, which embeds the canonical text.
    assert str(selector) == repr(selector)
    assert repr(parse(canonical)) == repr(selector)


@pytest.mark.parametrize("text", REFUSED)
def test_refused_texts_give_none(parse, text):
    assert parse(text) is None
    assert SelectorElem.parse(text) is None


def test_element_parse_and_repr():
    element = SelectorElem.parse("mesh#liver")
    assert repr(element) == "<SelectorElem, value='mesh#liver'>"
    assert SelectorElem.parse("mesh, graph") is None
    with pytest.raises(TypeError):
        SelectorElem()


def test_or_combinations():
    a, b = SelectorElem.parse("mesh"), SelectorElem.parse("graph")
    both = a | b
    assert isinstance(both, Selector) and repr(both) == "<Selector, value='mesh, graph'>"
    assert repr(a | both) == repr(both | a) == "<Selector, value='mesh, graph, mesh'>"
    assert repr(both) == "<Selector, value='mesh, graph'>"
    with pytest.raises(TypeError):
        both | both
    for other in (1, "mesh", None):
        with pytest.raises(TypeError):
            a | other
        with pytest.raises(TypeError):
            both | other


def test_construction_copies_elements():
    elements = [SelectorElem.parse("mesh#liver"), SelectorElem.parse("#spleen")]
    from_list = Selector(elements)
    from_tuple = Selector(tuple(elements))
    single = Selector(elements[0])
    del elements
    gc.collect()
    assert repr(from_list) == repr(from_tuple) == "<Selector, value='mesh#liver, #spleen'>"
    assert repr(single) == "<Selector, value='mesh#liver'>"
    assert repr(Selector([])) == "<Selector, value=''>"


@pytest.mark.parametrize("value", ["mesh", b"mesh", [SelectorElem.parse("mesh"), "graph"], 3, None])
def test_construction_refuses_other_values(value):
    with pytest.raises(TypeError):
        Selector(value)


def test_no_equality():
    assert Selector.parse("mesh") != Selector.parse("mesh")
