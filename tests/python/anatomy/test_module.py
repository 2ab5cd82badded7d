"""Loading corvaxis.anatomy: version check, failure handling, docstring and exception class."""

import importlib.machinery
import importlib.util
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import corvaxis.anatomy as anatomy

REFERENCE = pathlib.Path(__file__).parent / "reference" / "module_docstring.txt"


def run_python(code, interpreter=sys.executable):
    return subprocess.run([interpreter, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False)


@pytest.mark.parametrize("interpreter", ["python3.13", "python3.15"])
def test_other_interpreters_are_refused_with_both_versions_named(interpreter):
    if shutil.which(interpreter) is None:
        pytest.skip(f"{interpreter} is not installed")
    result = run_python(
        f"""
        import importlib.machinery, importlib.util, sys
        path = {anatomy.__file__!r}
        loader = importlib.machinery.ExtensionFileLoader("corvaxis.anatomy", path)
        spec = importlib.util.spec_from_file_location("corvaxis.anatomy", path, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            print(error)
        """,
        interpreter,
    )
    version = run_python("import sys; print(sys.version)", interpreter).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.14, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_this_interpreter_loads_the_file_by_path():
    loader = importlib.machinery.ExtensionFileLoader("corvaxis.anatomy", anatomy.__file__)
    spec = importlib.util.spec_from_file_location("corvaxis.anatomy", anatomy.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    assert module.__doc__ == anatomy.__doc__


def test_failed_graph_import_becomes_initialization_failed_with_cause():
    result = run_python(
        """
        import sys
        import corvaxis
        sys.modules["corvaxis.graph"] = None
        try:
            import corvaxis.anatomy
        except ImportError as error:
            print(type(error).__name__, error, "|", type(error.__cause__).__name__, error.__cause__)
            print("corvaxis.anatomy" in sys.modules)
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "ImportError initialization failed | ModuleNotFoundError import of corvaxis.graph halted; None in sys.modules"
    assert lines[1] == "False"


def test_docstring_matches_reference_exactly():
    doc = anatomy.__doc__
    assert doc == REFERENCE.read_text(encoding="utf-8")
    assert doc.startswith("\nCorvaxis Anatomy Plugin Python Bindings\n")
    assert doc.endswith("properly installed.\n")
    lines = doc[1:-1].split("\n")
    assert len(lines) == 102
    assert lines[44] == '...     surface_mesh = meshes["surface"]'


def test_exception_class():
    cls = anatomy.AnatomicalStructureInvalidException
    assert issubclass(cls, Exception)
    assert cls.__bases__ == (Exception,)
    assert f"{cls.__module__}.{cls.__qualname__}" == f"{anatomy.__name__}.AnatomicalStructureInvalidException"


def test_style_classes_exist_without_constructors():
    assert anatomy.SelectorElem.__doc__ == "SelectorElem is a class for querying objects."
    assert anatomy.Selector.__doc__ == "Selector is a class combining with logical OR multiple SelectorElem objects."
    assert anatomy.StyleSheet.__doc__ == "Class for managing a logically grouped set of style rules."
    with pytest.raises(TypeError, match=r": No constructor defined!$"):
        anatomy.SelectorElem()


def test_repeated_and_fresh_imports_agree():
    import corvaxis.anatomy as again

    assert again is anatomy
    result = run_python(
        """
        import corvaxis
        import corvaxis.anatomy as a
        import corvaxis.anatomy as b
        print(a is b, len(a.__doc__), corvaxis.keys.liver.key, a.AnatomicalStructureInvalidException.__module__)
        """
    )
    assert result.stdout.split() == ["True", str(len(anatomy.__doc__)), "Corvaxis.Liver", "corvaxis.anatomy"]


def test_the_module_is_held_only_by_its_referrers():
    import gc
    import sys

    assert sys.getrefcount(anatomy) == len(gc.get_referrers(anatomy)) + 1
