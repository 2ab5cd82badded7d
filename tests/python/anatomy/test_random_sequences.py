"""Random sequences of work on collections, structure handles, store wrappers, style sheets and
display options (creation, changes, clones, pops, saving and opening, deletion), checked after every
step against a plain-Python model of what each should hold and whether it is still valid."""

import copy
import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, consumes, invariant, multiple, rule,
                                 run_state_machine_as_test)

import corvaxis
import corvaxis.anatomy as anatomy
from corvaxis.anatomy import AnatomicalStructureInvalidException, ASCDisplayOptions, StyleSheet

STORES = ("keypoints2", "planes", "images", "meshes", "pointclouds", "graphs")
KEYS = st.sampled_from(("a", "b", "c"))
IDENTIFIERS = st.sampled_from(("liver", "kidney", "spleen"))
SHEET_NAMES = st.sampled_from(("base", "organs"))
SELECTORS = st.sampled_from(("mesh", "keypoint", "mesh#liver"))
SEEDS = st.integers(0, 2)


def describe(store, value):
    """What the model keeps of a store value: plain, comparable data."""
    if store in ("keypoints2", "planes"):
        return tuple(np.asarray(value, dtype=float).ravel())
    arrays = {
        "images": lambda v: [v.get()],
        "meshes": lambda v: [v.vertices, v.faces],
        "pointclouds": lambda v: [v.points],
        "graphs": lambda v: [v.nodes, v.edges, np.array(v.directed)],
    }[store](value)
    return tuple((a.shape, a.tobytes()) for a in [*arrays, value.matrix])


class ModelStructure:
    """A structure: identifier, store contents, matrix, and the tokens of what keeps it alive
    (its collection, or the owning handles and the wrappers made from them)."""

    def __init__(self, identifier):
        self.identifier = identifier
        self.stores = {store: {} for store in STORES}
        self.matrix = np.eye(4)
        self.owners = set()

    @property
    def alive(self):
        return bool(self.owners)

    def clone(self, owner):
        twin = copy.deepcopy(self)
        twin.owners = {owner}
        return twin


class ModelSheet:
    def __init__(self, name):
        self.name, self.enabled, self.rules = name, True, {}


class ModelOptions:
    """Display options: their sheets in order, and how often the list changed."""

    def __init__(self):
        self.sheets, self.revision = [], 0


def similarity(turn, shift):
    angle = np.radians(30.0 * turn)
    matrix = np.eye(4)
    matrix[:2, :2] = [[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]]
    matrix[:3, 3] = [shift, -2.0 * shift, 0.5]
    return matrix


def sheets_in(configuration):
    """[(name, enabled, {selector: alpha})] of the style sheets in a display options configuration."""
    sheets = []
    for block in configuration.sub_properties("style_sheets"):
        rules = {rule["selector"]: dict(rule.sub_properties("declarations")[0].asdict()).get("alpha")
                 for rule in block.sub_properties("rules")}
        sheets.append((block["name"], block["enabled"], rules))
    return sheets


def expected_sheets(options):
    return [(sheet.name, sheet.enabled, dict(sheet.rules)) for sheet in options.sheets]


class Sequences(RuleBasedStateMachine):
    """Every object lives in self.objects under a token, with its model; the bundles hold tokens."""

    values = None  # {seed: {store: value}}, set by the test
    folder = None
    checks_run = sequences_run = 0  # a check after the start of every sequence and after every step

    collections = Bundle("collections")
    handles = Bundle("handles")
    wrappers = Bundle("wrappers")
    sheets = Bundle("sheets")
    options = Bundle("options")

    def __init__(self):
        super().__init__()
        Sequences.sequences_run += 1
        self.tokens = itertools.count()
        self.objects = {}  # token -> (Python object, model, extra)

    def keep(self, obj, model, extra=None):
        token = next(self.tokens)
        self.objects[token] = (obj, model, extra)
        return token

    def count(self, kind):
        return sum(isinstance(obj, kind) for obj, _, _ in self.objects.values())

    # Collections ------------------------------------------------------------------------------

    @rule(target=collections)
    def new_collection(self):
        return self.keep(anatomy.GenericASC(), {"structures": [], "options": None})

    @rule(target=collections, token=collections)
    def clone_collection(self, token):
        asc, model, _ = self.objects[token]
        new = next(self.tokens)
        self.objects[new] = (asc.clone(), self.copy_collection(model, new), None)
        return new

    @rule(target=collections, token=collections)
    def save_and_open(self, token):
        asc, model, _ = self.objects[token]
        path = self.folder / "sequence.cvx"
        corvaxis.save(asc, path)
        new = next(self.tokens)
        self.objects[new] = (corvaxis.open(path), self.copy_collection(model, new), None)
        return new

    def copy_collection(self, model, owner):
        return {"structures": [structure.clone(owner) for structure in model["structures"]],
                "options": copy.deepcopy(model["options"])}

    @rule(token=consumes(collections))
    def delete_collection(self, token):
        _, model, _ = self.objects.pop(token)
        for structure in model["structures"]:
            structure.owners.discard(token)

    @rule(token=collections, handle=handles)
    def add(self, token, handle):
        asc, model, _ = self.objects[token]
        structure = self.objects[handle][1]
        if not structure.alive:
            with pytest.raises(ValueError, match="^Invalid anatomical structure$"):
                asc.add(self.objects[handle][0])
            return
        asc.add(self.objects[handle][0])
        model["structures"].append(structure.clone(token))

    @rule(target=handles, token=collections, index=st.integers(0, 3))
    def structure_at(self, token, index):
        asc, model, _ = self.objects[token]
        count = len(model["structures"])
        if index >= count:
            with pytest.raises(IndexError, match=rf"^Index out of range: {index} not in \[0, {count}\)$"):
                asc.anatomical_structure(index)
            return multiple()
        return self.keep(asc.anatomical_structure(index), model["structures"][index], False)

    @rule(target=handles, token=collections, identifier=IDENTIFIERS)
    def structure_named(self, token, identifier):
        asc, model, _ = self.objects[token]
        found = [s for s in model["structures"] if s.identifier == identifier]
        if not found:
            with pytest.raises(KeyError, match=f"with identifier '{identifier}' not found"):
                asc.anatomical_structure(identifier)
            return multiple()
        return self.keep(asc.anatomical_structure(identifier), found[0], False)

    @rule(target=handles, token=collections, which=st.one_of(st.integers(0, 3), IDENTIFIERS))
    def pop(self, token, which):
        asc, model, _ = self.objects[token]
        structures = model["structures"]
        if isinstance(which, int):
            index = which if which < len(structures) else None
            failure = (IndexError, "^Index out of range$")
        else:
            index = next((i for i, s in enumerate(structures) if s.identifier == which), None)
            failure = (KeyError, f"with identifier '{which}' not found")
        if index is None:
            with pytest.raises(failure[0], match=failure[1]):
                asc.pop(which)
            return multiple()
        handle = asc.pop(which)
        structure = structures.pop(index)
        new = self.keep(handle, structure, True)
        structure.owners.discard(token)
        structure.owners.add(new)
        return new

    # Structure handles ------------------------------------------------------------------------

    @rule(target=handles, identifier=IDENTIFIERS)
    def new_structure(self, identifier):
        structure = ModelStructure(identifier)
        token = self.keep(anatomy.GenericAnatomicalStructure(identifier), structure, True)
        structure.owners.add(token)
        return token

    @rule(token=consumes(handles))
    def delete_handle(self, token):
        _, structure, _ = self.objects.pop(token)
        structure.owners.discard(token)

    def on_structure(self, token, change):
        """change(structure) when the model says the structure lives; the refusal otherwise."""
        obj, structure, _ = self.objects[token]
        if structure.alive:
            change(obj)
            return True
        with pytest.raises(AnatomicalStructureInvalidException):
            change(obj)
        return False

    @rule(token=handles, store=st.sampled_from(STORES), key=KEYS, seed=SEEDS)
    def set_value(self, token, store, key, seed):
        value = self.values[seed][store]
        if self.on_structure(token, lambda h: getattr(h, store).__setitem__(key, value)):
            self.objects[token][1].stores[store][key] = describe(store, value)

    @rule(token=handles, store=st.sampled_from(STORES), keys=st.sets(KEYS, max_size=2), seed=SEEDS)
    def replace_store(self, token, store, keys, seed):
        value = self.values[seed][store]
        if self.on_structure(token, lambda h: setattr(h, store, {key: value for key in keys})):
            self.objects[token][1].stores[store] = {key: describe(store, value) for key in keys}

    @rule(token=handles, store=st.sampled_from(STORES), key=KEYS)
    def delete_value(self, token, store, key):
        obj, structure, _ = self.objects[token]
        if structure.alive and key not in structure.stores[store]:
            with pytest.raises(KeyError, match=f"Key '{key}' not found"):
                del getattr(obj, store)[key]
        elif self.on_structure(token, lambda h: getattr(h, store).__delitem__(key)):
            del structure.stores[store][key]

    @rule(token=handles, turn=st.integers(0, 3), shift=st.integers(-2, 2))
    def move(self, token, turn, shift):
        matrix = similarity(turn, shift)
        if self.on_structure(token, lambda h: setattr(h, "matrix_to_world", matrix)):
            self.objects[token][1].matrix = matrix

    @rule(token=handles, identifier=IDENTIFIERS)
    def rename(self, token, identifier):
        obj = self.objects[token][0]
        if not isinstance(obj, anatomy.GenericAnatomicalStructure):
            with pytest.raises(AttributeError):
                obj.identifier = identifier
        elif self.on_structure(token, lambda h: setattr(h, "identifier", identifier)):
            self.objects[token][1].identifier = identifier

    # Store wrappers ---------------------------------------------------------------------------

    @rule(target=wrappers, handle=handles, store=st.sampled_from(STORES))
    def new_wrapper(self, handle, store):
        obj, structure, owning = self.objects[handle]
        if not structure.alive:
            with pytest.raises(AnatomicalStructureInvalidException):
                getattr(obj, store)
            return multiple()
        token = self.keep(getattr(obj, store), structure, (store, owning))
        if owning:  # the wrapper's copy of an owning handle shares the ownership
            structure.owners.add(token)
        return token

    @rule(token=consumes(wrappers))
    def delete_wrapper(self, token):
        _, structure, _ = self.objects.pop(token)
        structure.owners.discard(token)

    @rule(token=wrappers, key=KEYS, seed=SEEDS, merge=st.booleans())
    def write_through_wrapper(self, token, key, seed, merge):
        wrapper, structure, (store, _) = self.objects[token]
        value = self.values[seed][store]
        if not structure.alive:
            with pytest.raises(AnatomicalStructureInvalidException, match=f"holding {store.rstrip('2')} key value"):
                wrapper.update({key: value})
            return
        if merge:
            wrapper |= {key: value}
        else:
            wrapper[key] = value
        structure.stores[store][key] = describe(store, value)

    # Style sheets and display options ---------------------------------------------------------

    @rule(target=sheets, name=SHEET_NAMES)
    def new_sheet(self, name):
        return self.keep(StyleSheet(name=name), ModelSheet(name), None)

    @rule(token=consumes(sheets))
    def delete_sheet(self, token):
        del self.objects[token]

    def on_sheet(self, token, change):
        """change(sheet) unless the sheet is a reference into a list that changed since."""
        sheet, model, reference = self.objects[token]
        if reference is not None and reference[0].revision != reference[1]:
            with pytest.raises(RuntimeError, match="sheet list has changed since"):
                change(sheet)
            return False
        change(sheet)
        return True

    @rule(token=sheets, selector=SELECTORS, alpha=st.sampled_from((0.25, 0.5)))
    def set_rule(self, token, selector, alpha):
        if self.on_sheet(token, lambda s: s.append_or_modify(selector, lambda block: block.__setitem__("alpha", alpha))):
            self.objects[token][1].rules[selector] = alpha

    @rule(token=sheets, enabled=st.booleans(), name=SHEET_NAMES)
    def set_sheet(self, token, enabled, name):
        if self.on_sheet(token, lambda s: (setattr(s, "enabled", enabled), setattr(s, "name", name))):
            model = self.objects[token][1]
            model.enabled, model.name = enabled, name

    @rule(target=options)
    def new_options(self):
        return self.keep(ASCDisplayOptions(), ModelOptions(), None)

    @rule(token=consumes(options))
    def delete_options(self, token):
        del self.objects[token]

    @rule(token=options, sheet=sheets)
    def add_sheet(self, token, sheet):
        options, model, _ = self.objects[token]
        if self.on_sheet(sheet, lambda s: options.add_style_sheet(s, None)):
            model.sheets.append(copy.deepcopy(self.objects[sheet][1]))
            model.revision += 1

    @rule(target=sheets, token=options, name=SHEET_NAMES)
    def sheet_of_options(self, token, name):
        options, model, _ = self.objects[token]
        sheet = options.get_or_append_style_sheet(name, None)
        found = next((s for s in model.sheets if s.name == name), None)
        if found is None:
            found = ModelSheet(name)
            model.sheets.append(found)
            model.revision += 1
        # The same Python object handed out again refers to the sheet it is handed out for now.
        for token, (obj, _, _) in self.objects.items():
            if obj is sheet:
                self.objects[token] = (obj, found, (model, model.revision))
        return self.keep(sheet, found, (model, model.revision))

    @rule(token=options, name=SHEET_NAMES)
    def remove_sheets(self, token, name):
        options, model, _ = self.objects[token]
        options.remove_style_sheets_by_name(name)
        kept = [sheet for sheet in model.sheets if sheet.name != name]
        if len(kept) != len(model.sheets):
            model.sheets = kept
            model.revision += 1

    @rule(collection=collections, token=options)
    def style_collection(self, collection, token):
        asc, model, _ = self.objects[collection]
        options, options_model, _ = self.objects[token]
        assert asc.components.add(options) is asc.components.asc_display_options
        model["options"] = copy.deepcopy(options_model)

    # Checks after every step ------------------------------------------------------------------

    @invariant()
    def everything_holds_what_the_model_says(self):
        Sequences.checks_run += 1
        for obj, model, extra in self.objects.values():
            if isinstance(obj, anatomy.AnatomicalStructureCollection):
                self.check_collection(obj, model)
            elif isinstance(obj, anatomy.AnatomicalStructure):
                self.check_structure(obj, model)
            elif isinstance(obj, StyleSheet):
                self.check_sheet(obj, model, extra)
            elif isinstance(obj, ASCDisplayOptions):
                assert sheets_in(obj.configuration()) == expected_sheets(model)
            else:
                self.check_wrapper(obj, model, extra[0])

    def check_collection(self, asc, model):
        structures = model["structures"]
        assert len(asc) == asc.num_anatomical_structures() == len(structures)
        assert asc.anatomical_structure_identifiers() == [structure.identifier for structure in structures]
        for index, structure in enumerate(structures):
            self.check_structure(asc.anatomical_structure(index), structure)
        options = asc.components.asc_display_options
        if model["options"] is None:
            assert options is None
        else:
            assert sheets_in(options.configuration()) == expected_sheets(model["options"])

    def check_structure(self, handle, structure):
        assert handle.valid == structure.alive
        if not structure.alive:
            with pytest.raises(AnatomicalStructureInvalidException):
                handle.identifier
            return
        assert handle.identifier == structure.identifier
        np.testing.assert_allclose(handle.matrix_to_world, structure.matrix, atol=1e-12)
        for store in STORES:
            held = getattr(handle, store).asdict()
            assert {key: describe(store, value) for key, value in held.items()} == structure.stores[store], store

    def check_wrapper(self, wrapper, structure, store):
        assert wrapper.valid == structure.alive
        if not structure.alive:
            with pytest.raises(AnatomicalStructureInvalidException):
                len(wrapper)
            return
        assert wrapper.keys() == sorted(structure.stores[store])

    def check_sheet(self, sheet, model, reference):
        if reference is not None and reference[0].revision != reference[1]:
            with pytest.raises(RuntimeError, match="sheet list has changed since"):
                repr(sheet)
            return
        enabled = "true" if model.enabled else "false"
        assert repr(sheet) == f"<StyleSheet, name='{model.name}', enabled='{enabled}', size='{len(model.rules)}'>"


def run_sequences(values, folder, steps, examples):
    Sequences.values, Sequences.folder = values, folder
    Sequences.checks_run = Sequences.sequences_run = 0
    try:
        run_state_machine_as_test(Sequences, settings=settings(
            max_examples=examples, stateful_step_count=steps, deadline=None, database=None,
            suppress_health_check=list(HealthCheck)))
    finally:
        Sequences.values = Sequences.folder = None  # the values are host objects


def test_random_sequences_hold_what_the_model_says(store_values, long_checks, tmp_path):
    values = {seed: store_values(seed) for seed in range(3)}
    # The long run covers at least 50 000 steps.
    steps, examples = (50, 1200) if long_checks else (25, 30)
    run_sequences(values, tmp_path, steps, examples)
    print(f"{Sequences.checks_run - Sequences.sequences_run} steps in {Sequences.sequences_run} sequences, each checked")
