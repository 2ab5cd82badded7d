"""The module's Python surface (classes, members in definition order, argument names, defaults
and docstrings) against a checked-in reference, so that every change to it is a reviewable diff.

Rendered argument types are left out: they depend on the binding library's version, not on us.
Regenerate the reference with CORVAXIS_UPDATE_REFERENCE=1 after an intended change.
"""

import enum
import os
import pathlib
import re

import corvaxis.anatomy as anatomy

REFERENCE = pathlib.Path(__file__).parent / "reference" / "anatomy_api.txt"


def split_top_level(text):
    parts, depth, current = [], 0, ""
    for char in text:
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def argument_names(signature):
    """'f(self: T, a: int, b: bool = True) -> X' gives ['self', 'a', 'b=True']."""
    start = signature.index("(")
    depth = 0
    for end in range(start, len(signature)):
        depth += {"(": 1, ")": -1}.get(signature[end], 0)
        if depth == 0:
            break
    names = []
    for argument in split_top_level(signature[start + 1 : end]):
        name = argument.split(":")[0].split("=")[0].strip()
        default = argument.split("=", 1)[1].strip() if "=" in argument else None
        names.append(name if default is None else f"{name}={default}")
    return names


def describe_routine(name, doc):
    """Overloads with their argument names and docstrings, from a generated docstring."""
    lines = []
    doc = doc or ""
    overloads = re.split(r"^\d+\. ", doc, flags=re.M)
    if doc.startswith(f"{name}(*args, **kwargs)\nOverloaded function."):
        bodies = overloads[1:]
    else:
        bodies = [doc]
    for number, body in enumerate(bodies, 1):
        signature, _, text = body.partition("\n")
        lines.append(f"    overload {number}: ({', '.join(argument_names(signature))})")
        text = text.strip("\n")
        if text:
            lines.extend(f"      | {line}" for line in text.split("\n"))
    return lines


def describe_class(cls, indent=""):
    # The binding library's own base class is its detail, not part of our surface.
    bases = ", ".join("object" if base.__name__ == "pybind11_object" else base.__qualname__ for base in cls.__bases__)
    lines = [f"{indent}class {cls.__qualname__}({bases})"]
    if cls.__doc__:
        lines.extend(f"{indent}  | {line}" for line in cls.__doc__.split("\n"))
    for name, member in cls.__dict__.items():
        if name in ("__doc__", "__module__", "_pybind11_conduit_v1_", "__dict__", "__weakref__"):
            continue
        if isinstance(member, enum.EnumMeta):
            lines.extend(indent + "  " + line for line in describe_enum(member))
        elif isinstance(member, type):
            lines.extend(describe_class(member, indent + "  "))
        elif isinstance(member, property):
            kind = "property" if member.fset is None else "property (settable)"
            lines.append(f"{indent}  {name} [{kind}]")
            if member.__doc__:
                lines.extend(f"{indent}    | {line}" for line in member.__doc__.split("\n"))
        elif isinstance(member, staticmethod):
            lines.append(f"{indent}  {name} [static]")
            lines.extend(indent + line for line in describe_routine(name, member.__func__.__doc__))
        elif callable(member):
            if not (member.__doc__ or "").startswith(f"{name}("):
                continue  # supplied by the binding library (such as the refusing __init__)
            lines.append(f"{indent}  {name}")
            lines.extend(indent + line for line in describe_routine(name, member.__doc__))
        else:
            lines.append(f"{indent}  {name} = {member!r}")
    return lines


def describe_enum(cls):
    """An enumeration made with Python's enum module: its bases, docstring and members in order."""
    lines = [f"enum {cls.__qualname__}({', '.join(base.__qualname__ for base in cls.__bases__)})"]
    lines.extend(f"  | {line}" for line in (cls.__doc__ or "").split("\n"))
    for member in cls:
        lines.append(f"  {member.name} = {member.value!r}")
        lines.extend(f"    | {line}" for line in (member.__doc__ or "").split("\n"))
    return lines


def describe_module(module):
    lines = [f"module {module.__name__}"]
    for name, member in module.__dict__.items():
        if name.startswith("__"):
            continue
        if isinstance(member, type) and issubclass(member, enum.Enum):
            lines.extend(describe_enum(member))
        elif isinstance(member, type):
            lines.extend(describe_class(member))
        elif callable(member):
            lines.append(f"def {name}")
            lines.extend(describe_routine(name, member.__doc__))
    return "\n".join(lines) + "\n"


def test_surface_matches_the_reference():
    current = describe_module(anatomy)
    if os.environ.get("CORVAXIS_UPDATE_REFERENCE"):
        REFERENCE.write_text(current, encoding="utf-8")
    assert current == REFERENCE.read_text(encoding="utf-8")
