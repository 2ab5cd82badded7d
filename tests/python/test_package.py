"""The package as a user gets it: its version in one place, its installed size, README's install
instructions in step with the build environment, and README's command-line walkthrough running as
written in an empty folder."""

import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import corvaxis

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
INSTALLED_SIZE_LIMIT = 25 * 1024 * 1024

# Packages of the build environment that the package itself does not need: the tests, benchmarks,
# peers, other interpreters, fuzzing, stubs, the compiler cache and the Makefile.
DEVELOPMENT_ONLY = {
    "python3-pytest", "python3-h5py", "libgtest-dev", "python3.13", "python3.15", "libopenblas0-pthread",
    "python3-skimage", "python3-hypothesis", "python3-mypy", "python3-pybind11-stubgen",
    "clang", "libclang-rt-dev", "ccache", "elastix", "teem-apps", "make",
}


def section(title):
    """The text of a README section, up to the next section of its level or above."""
    start = README.index(f"\n## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start:end if end >= 0 else len(README)]


def code_blocks(text, language):
    return re.findall(rf"^```{language}\n(.*?)^```$", text, flags=re.M | re.S)


def apt_packages(text):
    """The package names of every `apt-get install` line of a text."""
    lines = re.findall(r"^apt-get install (.*)$", text, flags=re.M)
    return [name for line in lines for name in line.split()]


def devenv_packages():
    text = (ROOT / "tools" / "devenv").read_text()
    return set(re.search(r"^PACKAGES=\((.*?)^\)", text, flags=re.M | re.S)[1].split())


def test_one_version_everywhere():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    cmake = re.search(r"project\(corvaxis VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())[1]
    assert corvaxis.__version__ == project["version"] == cmake


def test_readme_installs_what_the_build_environment_has():
    build, extras = (apt_packages(block) for block in code_blocks(section("Installing into your own Python"), "sh")
                     if "apt-get" in block)
    assert len(build) == len(set(build)) and len(extras) == len(set(extras))
    assert set(build) | set(extras) == devenv_packages() - DEVELOPMENT_ONLY
    # The extras' packages are named by the extras of pyproject.toml.
    optional = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    assert {f"python3-{name}" for names in optional.values() for name in names} == set(extras)
    assert all(f"`[{extra}]`" in section("Installing into your own Python") for extra in optional)


def installed_by_pip():
    """The dist-info folder beside the imported package, when pip installed it."""
    package = pathlib.Path(corvaxis.__file__).parent
    found = list(package.parent.glob(f"corvaxis-{corvaxis.__version__}.dist-info"))
    return found[0] if found else None


def test_installed_package_is_small():
    if installed_by_pip() is None:
        pytest.skip("the imported package is a build folder's copy, not an installed one")
    package = pathlib.Path(corvaxis.__file__).parent
    sizes = {path: path.stat().st_size for path in package.rglob("*") if path.is_file() and not path.is_symlink()}
    total = sum(sizes.values())
    largest = sorted(sizes.items(), key=lambda item: -item[1])[:3]
    assert total <= INSTALLED_SIZE_LIMIT, f"{total / 2**20:.1f} MB installed; largest: " + ", ".join(
        f"{path.name} {size / 2**20:.1f} MB" for path, size in largest)


def walkthrough():
    (block,) = code_blocks(section("The command line"), "sh")
    return block


@pytest.mark.heavy(reason="README's whole walkthrough: label maps, registrations, a shape model and a picture")
def test_readme_walkthrough_runs_as_written(tmp_path):
    pytest.importorskip("matplotlib")
    script = pathlib.Path(sys.executable).parent / "corvaxis"
    if not script.exists():
        pytest.skip("the console script is installed by pip into the environment's bin directory")
    environment = dict(os.environ, PATH=f"{script.parent}{os.pathsep}{os.environ['PATH']}")
    completed = subprocess.run(["bash", "-euo", "pipefail", "-c", walkthrough()], cwd=tmp_path, env=environment,
                               capture_output=True, text=True, timeout=900)
    assert completed.returncode == 0, completed.stderr[-4000:]
    for expected in ("stats.csv", "shape_model.cvx", "mean_shape.cvx", "compare.png", "registered/subject_02.cvx",
                     "corresponded/subject_03.cvx", "out/landmarks.json"):
        assert (tmp_path / expected).is_file(), expected
    assert "Traceback" not in completed.stderr
