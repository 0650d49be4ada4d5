"""The installed type stub against the module it describes.

mypy's stubtest (run in CI on the installed wheel) sees only which names
exist: the module's functions carry no runtime signature it could read.  The
signature lines that pybind11 writes into every docstring do name each
parameter, its kind and its default, so this file compares those with the
stub, function by function.  The submodule velt_core.single has a stub of
its own (velt_core-stubs/single.pyi), checked the same way.
"""

import ast
import re
import types
from pathlib import Path

import pytest

import velt_core

MODULES = {"velt_core": velt_core, "velt_core.single": velt_core.single}
FUNCTIONS = [
    (module, name)
    for module, runtime in MODULES.items()
    for name in vars(runtime)
    if not name.startswith("__") and not isinstance(getattr(runtime, name), types.ModuleType)
]


def installed_stubs():
    """Both installed copies of the stub: beside the extension and as the stub-only package."""
    site = Path(velt_core.__file__).parent
    return site / "velt_core.pyi", site / "velt_core-stubs" / "__init__.pyi"


def stub_path(module):
    if module == "velt_core":
        return installed_stubs()[0]
    return Path(velt_core.__file__).parent / "velt_core-stubs" / "single.pyi"


def stub_tree(module="velt_core"):
    return ast.parse(stub_path(module).read_text(encoding="utf-8"))


def stub_functions(module="velt_core"):
    return {node.name: node for node in stub_tree(module).body if isinstance(node, ast.FunctionDef)}


def split_top_level(text):
    """Splits at the commas that are not inside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_kind(annotation):
    """Kind of one of pybind11's generated annotations, parameter or result."""
    if annotation.endswith(" | None"):
        return runtime_kind(annotation.removesuffix(" | None")) + " or None"
    if annotation == "numpy.typing.NDArray[numpy.complex64]":
        return "complex64 array"  # velt_core.single's states: taken as they are
    if annotation.startswith("numpy.typing.NDArray["):
        return "new " + annotation.removeprefix("numpy.typing.NDArray[numpy.").removesuffix("]") + " array"
    if annotation in ("float", "tuple[int, float]"):
        return annotation
    if annotation.split(" | ")[0] == "typing.SupportsFloat":
        return "float"
    sequence = re.fullmatch(r"(?:collections\.abc\.Sequence|list|typing\.List)\[(.*)\]", annotation)
    if sequence:
        return runtime_kind(sequence.group(1)) + " sequence"
    if annotation == "collections.abc.Iterable":
        return "op sequence"
    if "ArrayLike" in annotation or "numpy.ndarray" in annotation:
        return "array"
    if annotation.split(" | ")[0] == "complex":
        return "complex"
    if annotation == "int" or "SupportsInt" in annotation:
        return "int"
    if annotation == "None":
        return "None"
    if annotation == "str":
        return "str"
    raise AssertionError(f"annotation of unknown kind: {annotation}")


STUB_KINDS = {
    "ArrayLike": "array",
    "_State": "complex64 array",
    "SupportsIndex": "int",
    "_Complex": "complex",
    "Iterable[SupportsIndex]": "int sequence",
    "Iterable[ArrayLike]": "array sequence",
    "Iterable[_Op]": "op sequence",
    "Iterable[SupportsIndex] | None": "int sequence or None",
    "SupportsFloat | SupportsIndex": "float",
    "NDArray[np.float64]": "new float64 array",
    "NDArray[np.int64]": "new int64 array",
    "str": "str",
    "float": "float",
    "tuple[int, float]": "tuple[int, float]",
    "int": "int",
    "None": "None",
    "Iterable[_Term]": "op sequence",  # the runtime annotates every iterable parameter alike
    "complex": "complex",
}


def runtime_signature(module, name):
    """(parameters, result) from the signature line pybind11 put in the docstring;
    a parameter is (name, kind, has_default)."""
    line = getattr(MODULES[module], name).__doc__.splitlines()[0]
    match = re.fullmatch(rf"{name}\((.*)\) -> (.+)", line)
    assert match, line
    params = []
    for text in split_top_level(match.group(1)):
        head, _, default = text.partition(" = ")
        pname, _, annotation = head.partition(": ")
        params.append((pname, runtime_kind(annotation), bool(default)))
    return params, runtime_kind(match.group(2))


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    beside, package = installed_stubs()
    assert beside.read_bytes() == package.read_bytes()


@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_the_module_functions_in_table_order(module):
    assert list(stub_functions(module)) == [name for m, name in FUNCTIONS if m == module]
    assert ast.get_docstring(stub_tree(module)) == MODULES[module].__doc__


def test_stub_names_the_submodule():
    imports = [node for node in stub_tree().body if isinstance(node, ast.ImportFrom) and node.level == 1]
    assert [(alias.name, alias.asname) for node in imports for alias in node.names] == [("single", "single")]
    assert stub_path("velt_core.single").exists()


@pytest.mark.parametrize(("module", "name"), FUNCTIONS)
def test_stub_signature_matches_runtime(module, name):
    params, result = runtime_signature(module, name)
    node = stub_functions(module)[name]
    args = node.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs), "the module takes no *args, **kwargs or keyword-only"
    named = [p for p, _, _ in params if not re.fullmatch(r"arg\d+", p)]
    stub_params = args.posonlyargs + args.args
    if named:
        # Named parameters can be passed by keyword, so the stub must name them alike.
        assert len(named) == len(params)
        assert not args.posonlyargs
        assert [a.arg for a in args.args] == named
    else:
        assert not args.args, "parameters without names are positional-only: they belong before '/'"
    assert [STUB_KINDS[ast.unparse(a.annotation)] for a in stub_params] == [kind for _, kind, _ in params]
    # Defaults align with the last parameters; a stub writes each as `...`.
    defaults = [False] * (len(stub_params) - len(args.defaults)) + [True] * len(args.defaults)
    assert defaults == [has_default for _, _, has_default in params]
    assert all(isinstance(d, ast.Constant) and d.value is Ellipsis for d in args.defaults)
    assert STUB_KINDS[ast.unparse(node.returns)] == result


@pytest.mark.parametrize(("module", "name"), FUNCTIONS)
def test_stub_docstring_is_the_module_docstring(module, name):
    runtime_doc = getattr(MODULES[module], name).__doc__.split("\n", 1)[1]
    stub_doc = ast.get_docstring(stub_functions(module)[name])
    assert " ".join(stub_doc.split()) == " ".join(runtime_doc.split())
