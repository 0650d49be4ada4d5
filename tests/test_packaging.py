"""What a user installs: the version, the bundled OpenMP runtime, the bug-report line."""

import importlib.metadata
import platform
import re
import shlex
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velt_core

ROOT = Path(__file__).resolve().parent.parent


def _doc(name):
    path = ROOT / name
    if not path.exists():
        pytest.skip(f"no {name} beside the tests folder ({path})")
    return path.read_text(encoding="utf-8")


def test_version_is_the_installed_distributions():
    # Compiled in from pyproject.toml; the metadata comes from the same line.
    assert velt_core.__version__ == importlib.metadata.version("velt_core")


def test_changelog_opens_with_this_release():
    heading = re.search(r"^## \[([^\]]+)\]", _doc("CHANGELOG.md"), flags=re.MULTILINE)
    assert heading, "CHANGELOG.md has no release heading such as '## [0.2.0]'"
    assert heading.group(1) == velt_core.__version__


def _run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_bundled_openmp_runtime_is_the_one_loaded():
    # A wheel repaired by auditwheel carries its OpenMP runtime in velt_core.libs
    # beside the extension, and the extension's run path points there.  A fresh
    # interpreter shows which copy the loader actually mapped.
    bundled = Path(velt_core.__file__).resolve().parent / "velt_core.libs"
    if not bundled.is_dir():
        pytest.skip("velt_core was not installed from a repaired wheel (no velt_core.libs)")
    maps = _run_python(
        "import velt_core, numpy\n"
        "velt_core.apply_1q(numpy.zeros(8, complex), 0, 1, 0, 0, 1)\n"
        "print(open('/proc/self/maps').read())"
    )
    loaded = {Path(line.split()[-1]) for line in maps.splitlines() if "libgomp" in line}
    assert loaded, "no OpenMP runtime mapped after a kernel call"
    assert {path.parent.resolve() for path in loaded} == {bundled.resolve()}, loaded


def _diagnostic_command():
    readme = _doc("README.md")
    section = re.search(r"^## Reporting a bug\n(.*?)(?=^## |\Z)", readme, flags=re.MULTILINE | re.DOTALL)
    assert section, "the README has no '## Reporting a bug' section"
    line = re.search(r"^python -c .*$", section.group(1), flags=re.MULTILINE)
    assert line, "the bug-report section gives no 'python -c' line"
    return shlex.split(line.group(0))


def test_readme_diagnostic_line_reports_this_installation():
    if not hasattr(velt_core, "kernel_isa"):
        pytest.skip("this build has no kernel_isa() yet")
    python, flag, code = _diagnostic_command()
    assert (python, flag) == ("python", "-c")
    fields = dict(item.split("=", 1) for item in _run_python(code).split())
    assert fields == {
        "velt_core": velt_core.__version__,
        "kernel_isa": velt_core.kernel_isa(),
        "cpu_dispatch_tier": str(velt_core.cpu_dispatch_tier()),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
    }
