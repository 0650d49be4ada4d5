"""The README's Python example runs as written and checks its own results."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks(markdown):
    """The bodies of the ```python fenced blocks, in order."""
    return re.findall(r"^```python\n(.*?)^```$", markdown, flags=re.MULTILINE | re.DOTALL)


def test_readme_example_runs():
    if not README.exists():
        pytest.skip(f"no README.md beside the tests folder ({README})")
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert blocks, "the README has no Python example"
    exec(compile("\n".join(blocks), str(README), "exec"), {"__name__": "readme_example"})
