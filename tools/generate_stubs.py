"""Regenerates the type stubs (.pyi) of the package's extension modules from the built modules.

    python tools/generate_stubs.py [--output DIR]      (or: make stubs)

Run it with an interpreter that imports the built package (the checkout's virtual environment).
The stubs are written under DIR (default: python/corvaxis, where they are checked in, so that
every change of a signature or docstring shows as a diff); stubs of the modules listed here that
DIR holds from an earlier run are replaced, none are left behind.
"""

import argparse
import pathlib
import re
import tempfile

# corvaxis._styling comes after corvaxis.anatomy, as corvaxis.styling imports them: its signatures
# name the collection classes only once the anatomy module has registered them.
MODULES = ("corvaxis._core", "corvaxis.graph", "corvaxis.anatomy", "corvaxis._styling", "corvaxis._measure")
SOURCE_PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "python" / "corvaxis"


def merge_setter_overloads() -> None:
    """Lets pybind11-stubgen write properties whose setter is overloaded (the structure's stores
    take a dict or a wrapper, the latter so that `structure.keypoints2 |= {...}` stores back), which
    it otherwise refuses: the overloads, differing only in the value's type, become one setter
    taking the union of those types."""
    from pybind11_stubgen.parser.mixins.parse import ExtractSignaturesFromPybind11Docstrings
    from pybind11_stubgen.structs import QualifiedName, ResolvedType

    fixup = ExtractSignaturesFromPybind11Docstrings._fixup_parsed_getters_or_setters

    def fixup_merging_overloads(self, functions):
        if len(functions) > 1 and all(len(function.args) == 2 for function in functions):
            merged = functions[0]
            merged.decorators = []
            merged.args[1].annotation = ResolvedType(QualifiedName.from_str("typing.Union"),
                                                     [function.args[1].annotation for function in functions])
            functions = [merged]
        return fixup(self, functions)

    ExtractSignaturesFromPybind11Docstrings._fixup_parsed_getters_or_setters = fixup_merging_overloads


def run_stubgen(output: pathlib.Path) -> None:
    import pybind11_stubgen

    merge_setter_overloads()
    pybind11_stubgen.main(["--exit-code", "--numpy-array-use-type-var", "--enum-class-locations",
                           "Modality:corvaxis._core", "-o", str(output), *MODULES])


def balanced_end(text: str, start: int) -> int:
    """The index just past the bracket that closes the one opened at text[start]."""
    depth = 0
    for index in range(start, len(text)):
        depth += {"[": 1, "(": 1, "]": -1, ")": -1}.get(text[index], 0)
        if depth == 0:
            return index + 1
    raise ValueError(f"unbalanced brackets in {text!r}")


def array_like_arguments(line: str) -> str:
    """Array arguments as numpy.typing.ArrayLike in one `def` line. The bindings take any array or
    sequence of the right shape (a list of three floats for a point), while their signatures read
    the array type they convert to; results stay NumPy arrays."""
    opening = line.index("(")
    closing = balanced_end(line, opening)
    arguments = line[opening:closing]
    while (start := arguments.find("numpy.ndarray[")) >= 0:
        end = balanced_end(arguments, start + len("numpy.ndarray"))
        arguments = arguments[:start] + "numpy.typing.ArrayLike" + arguments[end:]
    return line[:opening] + arguments + line[closing:]


def enum_members(lines: list[str]) -> list[str]:
    """Members of the enumerations (Python enum classes) as members: pybind11-stubgen declares them
    `NAME: ClassVar[Enum]` (or `ClassVar[Outer.Enum]` when nested), which type checkers read as plain class attributes, not members. The
    enum machinery's own attributes (_member_names_ and the like) that it copies are left out:
    the enum module's stubs declare them. An enumeration nested in a class is named with the
    class in front."""
    enum_class, result = None, []
    for line in lines:
        if match := re.match(r"^( *)class (\w+)\(enum\.\w+\):", line):
            enum_class = (len(match[1]) + 4, match[2])
        elif enum_class and (match := re.match(rf"^ {{{enum_class[0]}}}(\w+): typing\.ClassVar\[(?:[\w.]+\.)?{enum_class[1]}\]$", line)):
            line = f"{' ' * enum_class[0]}{match[1]} = ..."
        elif enum_class and re.match(rf"^ {{{enum_class[0]}}}_\w+_(: | = )", line):
            continue
        elif enum_class and line.strip() and not line.startswith(" " * enum_class[0]):
            enum_class = None
        result.append(line)
    return result


def package_level_classes(text: str) -> str:
    """A class that an extension module defines but names as the package's own (the package
    re-exports it) is imported back from the package by pybind11-stubgen, a cycle no type checker
    resolves; it is declared in the module's stub instead, with its built-in base."""
    import corvaxis

    def declaration(match: re.Match[str]) -> str:
        cls = getattr(corvaxis, match[1])
        (base,) = cls.__bases__
        return f"class {match[1]}({base.__qualname__}):\n    \"\"\"\n    {cls.__doc__}\n    \"\"\"\n"

    declarations = "".join(map(declaration, re.finditer(r"^from corvaxis import (\w+)\n", text, flags=re.M)))
    text = re.sub(r"^from corvaxis import (\w+)\n", "", text, flags=re.M)
    return re.sub(r"^(__all__: .*\n)", lambda match: match[1] + declarations, text, count=1, flags=re.M)


def vector_results(text: str) -> str:
    """Vectors as the one-dimensional (3,) and (4,) arrays they come out as: pybind11 names them by
    Eigen's column shape, (3, 1). Arguments are ArrayLike by then, so only results are left."""
    return re.sub(r"tuple\[typing\.Literal\[([34])\], typing\.Literal\[1\]\]", r"tuple[typing.Literal[\1]]", text)


def postprocess(text: str) -> str:
    lines = [array_like_arguments(line) if line.lstrip().startswith("def ") else line for line in text.split("\n")]
    text = vector_results("\n".join(enum_members(lines)))
    # An algorithm's figures: values of several types by name.
    text = re.sub(r"^( +def results\(self\)) -> dict:$", r"\1 -> dict[str, typing.Any]:", text, flags=re.M)
    if "numpy.typing." in text and not re.search(r"^import numpy\.typing$", text, flags=re.M):
        text = re.sub(r"^import numpy$", "import numpy\nimport numpy.typing", text, count=1, flags=re.M)
    # Unhashable classes and comparison with their own class only, as typeshed writes them.
    text = re.sub(r"^( +__hash__: typing\.ClassVar\[None\] = None)$", r"\1  # type: ignore[assignment]", text,
                  flags=re.M)
    text = re.sub(r"^((?! +@typing\.overload).*\n +def __(eq|ne)__\(self, \w+: (?!typing\.Any|object)[\w.]+\) -> bool:)$",
                  r"\1  # type: ignore[override]", text, flags=re.M)
    return package_level_classes(text)


def stub_files(root: pathlib.Path) -> dict[pathlib.Path, str]:
    """The generated stubs under root, by path relative to the package folder."""
    package = root / "corvaxis"
    return {path.relative_to(package): postprocess(path.read_text()) for path in sorted(package.rglob("*.pyi"))}


def is_generated(relative: pathlib.Path) -> bool:
    """Whether a path relative to the package folder belongs to the stubs of one of MODULES: its
    own .pyi, or anything in the folder of a module that has submodules."""
    names = {module.removeprefix("corvaxis.") for module in MODULES}
    return relative.parts[0] in names or (len(relative.parts) == 1 and relative.suffix == ".pyi"
                                          and relative.stem in names)


def write_stubs(output: pathlib.Path) -> list[pathlib.Path]:
    with tempfile.TemporaryDirectory() as temporary:
        run_stubgen(pathlib.Path(temporary))
        stubs = stub_files(pathlib.Path(temporary))
    for old in output.rglob("*.pyi"):
        if is_generated(old.relative_to(output)):
            old.unlink()
    for relative, text in stubs.items():
        target = output / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    for folder in sorted((path for path in output.rglob("*") if path.is_dir()), reverse=True):
        if is_generated(folder.relative_to(output)) and not any(folder.iterdir()):
            folder.rmdir()
    return [output / relative for relative in stubs]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", type=pathlib.Path, default=SOURCE_PACKAGE,
                        help="folder that receives the stubs (default: the package's source folder)")
    arguments = parser.parse_args()
    arguments.output.mkdir(parents=True, exist_ok=True)
    for path in write_stubs(arguments.output):
        print(path)


if __name__ == "__main__":
    main()
