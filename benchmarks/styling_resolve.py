"""Resolved-style speed, as ratios against baselines measured in the same run.

1. corvaxis.styling.resolve for one mesh of a collection whose display options hold 3 sheets of
   20 rules, against building the same dict in plain Python from a ready dict of NumPy arrays
   (what a renderer would do if styles were precomputed);
2. the cost per call with 60 and with 600 rules: resolve is linear in the number of rules, so the
   ratio should stay near ten, and the flattened sheets are reused between calls;
3. building a sheet of 20 000 rules with append_or_modify, and opening a collection file that holds
   it, against 2 000 rules: rules are found by their canonical text in logarithmic time, so both
   ratios should stay near ten (a linear search per call would make them near a hundred).
"""

import os
import tempfile
import time

import numpy as np

import corvaxis

import corvaxis.anatomy as anatomy
import corvaxis.styling
from timing import best_of


def styled_collection(rules_per_sheet):
    collection = anatomy.GenericASC()
    collection.add(anatomy.GenericAnatomicalStructure("liver"))
    options = anatomy.ASCDisplayOptions()
    for s in range(3):
        sheet = anatomy.StyleSheet(name=f"sheet{s}")
        for r in range(rules_per_sheet):
            sheet.append_or_modify(f"mesh#organ{r}, #liver[key=k{r}]", lambda block: block.__setitem__("alpha", 0.5))
        sheet.append_or_modify("mesh#liver", lambda block: block.__setitem__("color", [1.0, 0.0, 0.0]))
        options.add_style_sheet(sheet, None)
    collection.components.add(options)
    return collection


def main(rounds=2000):
    collection = styled_collection(20)
    ready = {name: np.array(value) if isinstance(value, np.ndarray) else value
             for name, value in corvaxis.styling.resolve(collection, "liver", "mesh", "surface").items()}

    def ours():
        for _ in range(rounds):
            corvaxis.styling.resolve(collection, "liver", "mesh", "surface")

    def baseline():
        for _ in range(rounds):
            {name: value.copy() if isinstance(value, np.ndarray) else value for name, value in ready.items()}

    mine, theirs = best_of(5, ours), best_of(5, baseline)
    print(f"resolve, 60 rules: {mine / rounds * 1e6:.1f} us per object, {mine / theirs:.2f}x a plain dict copy")

    large = styled_collection(200)
    small_time = best_of(3, lambda: [corvaxis.styling.resolve(collection, "liver", "mesh", "surface") for _ in range(200)])
    large_time = best_of(3, lambda: [corvaxis.styling.resolve(large, "liver", "mesh", "surface") for _ in range(200)])
    print(f"resolve, 600 rules against 60 rules: {large_time / small_time:.2f}x (linear: about 10x at most)")


def many_rules(count):
    """A collection whose display options hold one sheet of count rules, and the time to build the sheet."""
    sheet = anatomy.StyleSheet(name="many")
    declare = lambda block: block.__setitem__("alpha", 0.5)  # noqa: E731
    start = time.perf_counter()
    for r in range(count):
        sheet.append_or_modify(f"mesh#organ{r}", declare)
    built = time.perf_counter() - start
    collection = anatomy.GenericASC()
    options = anatomy.ASCDisplayOptions()
    options.add_style_sheet(sheet, None)
    collection.components.add(options)
    return collection, built


def rule_scaling(small=2_000, large=20_000):
    times = {}
    with tempfile.TemporaryDirectory() as folder:
        for count in (small, large):
            collection, built = many_rules(count)
            path = os.path.join(folder, f"rules_{count}.cvx")
            corvaxis.save(collection, path)
            times[count] = built, best_of(3, lambda: corvaxis.open(path))
    (small_built, small_open), (large_built, large_open) = times[small], times[large]
    print(f"append_or_modify, {large} rules: {large_built:.2f} s, {large_built / small_built:.1f}x {small} rules "
          f"(logarithmic: about 10x)")
    print(f"opening a file of {large} rules: {large_open:.2f} s, {large_open / small_open:.1f}x {small} rules "
          f"(about 10x)")


if __name__ == "__main__":
    main()
    rule_scaling()
