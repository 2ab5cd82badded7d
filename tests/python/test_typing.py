"""Type information: the checked-in stubs of the extension modules are what the built modules give,
an installed package carries them with its py.typed marker, and mypy accepts the package's own
Python code, the examples and the code of the user guide (the last two with the strict checks of
pyproject.toml)."""

import difflib
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE_SOURCE = ROOT / "python" / "corvaxis"
GUIDE = ROOT / "docs" / "guide.md"
UPDATE_COMMAND = "make stubs  (or: python tools/generate_stubs.py, with the checkout's environment)"


def read_stubs(folder):
    return {path.relative_to(folder).as_posix(): path.read_text() for path in sorted(folder.rglob("*.pyi"))}


def guide_code(markdown):
    """The guide's ```python blocks, in order, as one module."""
    blocks = re.findall(r"^( *)```python[ \t]*\n(.*?)^\1```", markdown, flags=re.M | re.S)
    return "\n".join(textwrap.dedent(body) for _, body in blocks)


@pytest.fixture(scope="module")
def generated_stubs(tmp_path_factory):
    pytest.importorskip("pybind11_stubgen")
    output = tmp_path_factory.mktemp("stubs")
    completed = subprocess.run([sys.executable, str(ROOT / "tools" / "generate_stubs.py"), "--output", str(output)],
                               capture_output=True, text=True, timeout=600)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return read_stubs(output)


def test_checked_in_stubs_match_the_built_modules(generated_stubs):
    checked_in = read_stubs(PACKAGE_SOURCE)
    differences = []
    for name in sorted(checked_in.keys() | generated_stubs.keys()):
        differences.extend(difflib.unified_diff(
            checked_in.get(name, "").splitlines(keepends=True), generated_stubs.get(name, "").splitlines(keepends=True),
            f"checked in: python/corvaxis/{name}", f"generated: {name}"))
    assert not differences, (f"the stubs differ from the built modules; review the diff and update them with "
                             f"{UPDATE_COMMAND}\n" + "".join(differences))


@pytest.mark.parametrize("name", ["py.typed", *read_stubs(PACKAGE_SOURCE)])
def test_imported_package_carries_type_information(name):
    import corvaxis

    installed = pathlib.Path(corvaxis.__file__).parent / name
    assert installed.is_file(), f"{installed} is missing"
    assert installed.read_bytes() == (PACKAGE_SOURCE / name).read_bytes(), f"{installed} is stale"


def test_guide_code_keeps_blocks_in_order_and_leaves_other_languages_out():
    markdown = "```python\nfirst = 1\n```\n```sh\nmake test\n```\n1. step\n\n   ```python\n   second = first\n   ```\n"
    assert guide_code(markdown) == "first = 1\n\nsecond = first\n"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy's error lines by target, from one run over the package's source, the examples and the
    guide's code (when the guide exists)."""
    pytest.importorskip("mypy")
    targets = {"package": PACKAGE_SOURCE, "examples": ROOT / "examples"}
    if GUIDE.is_file():
        targets["guide"] = tmp_path_factory.mktemp("guide").resolve() / "guide_code.py"
        targets["guide"].write_text(guide_code(GUIDE.read_text()))
    completed = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
                                *map(str, targets.values())], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert completed.returncode in (0, 1), completed.stdout + completed.stderr
    errors = {name: [] for name in targets}
    for line in completed.stdout.splitlines():
        path = (ROOT / line.split(":", 1)[0]).resolve()
        owner = next((name for name, target in targets.items() if path == target or target in path.parents), None)
        if owner is not None and ": error:" in line:
            errors[owner].append(line)
        elif ": error:" in line:
            errors.setdefault("elsewhere", []).append(line)
    return errors


@pytest.mark.parametrize("target", ["package", "examples", "guide", "elsewhere"])
def test_mypy_accepts(mypy_errors, target):
    if target == "guide" and target not in mypy_errors:
        pytest.skip("docs/guide.md is not written yet")
    assert not mypy_errors.get(target), "\n".join(mypy_errors[target])
