"""Checks the machine code of a velt_core build for the promises of its
instruction-set paths and precisions, with objdump and gcc-nm:

1. no fused multiply-add anywhere in the module (vfmadd, vfmsub, vfnmadd,
   vfnmsub, in any form), so every multiplication and addition is rounded on
   its own;
2. in the object files of the build, every function that touches a 256-bit
   (ymm) or 512-bit (zmm) register belongs to the avx2 or avx512f path
   (its name lies in velt::avx2, velt::avx512f or their complex64 twins
   velt::avx2_c64, velt::avx512f_c64), and no avx2 function uses zmm:
   baseline code, the standard library's templates included, stays baseline;
3. every object file defines code only in its own path's and precision's
   namespaces: a per-path object of velt_isa_<path>[_c64] nothing in another
   path's namespace or in the other precision's (velt::c128, velt::c64), a
   baseline object nothing in any path's namespace and nothing in the other
   precision's (velt_core: complex128, velt_single: complex64);
4. a function of the namespaces the precisions and paths share (velt itself,
   velt::detail) that two object files of different paths or precisions both
   define has the same machine code in both: an inline or template function
   whose code depended on the element type or the path would otherwise be
   one symbol with two bodies, and the linker would keep either.

    python scripts/check_isa.py BUILD_DIR [MODULE.so ...]

Exits with 1 and lists the offenders when a check fails.
"""

import re
import subprocess
import sys
from pathlib import Path

FMA = re.compile(r"\bv(fn?m(add|sub)|fmaddsub|fmsubadd)\w*")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
PATHS = ("sse2", "avx2", "avx512f")
PRECISIONS = ("c128", "c64")
# An address operand of a jump or call ("1de <name+0x1de>"): differs with
# where a function lies in its object, not with its code.
ADDRESS = re.compile(r"\b[0-9a-f]+ <[^>]*>")


def disassemble(path):
    out = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", str(path)], capture_output=True, text=True)
    out.check_returncode()
    return out.stdout


def functions(text):
    name, body = None, []
    for line in text.splitlines():
        m = FUNCTION.match(line)
        if m:
            if name is not None:
                yield name, body
            name, body = m.group(1), []
        elif name is not None:
            body.append(line)
    if name is not None:
        yield name, body


def group(path):
    """(path, precision) of an object file from its CMake target folder:
    velt_isa_<path>[_c64].dir, velt_core.dir (complex128 baseline) or
    velt_single.dir (complex64 baseline); path None for baseline code."""
    target = next((part for part in path.parts if part.endswith(".dir")), "")
    if target.startswith("velt_isa_"):
        ns = target.removeprefix("velt_isa_").removesuffix(".dir")
        return ns.removesuffix("_c64"), "c64" if ns.endswith("_c64") else "c128"
    return None, "c64" if target == "velt_single.dir" else "c128"


def defined_symbols(path):
    """Demangled names of the symbols an object file defines (gcc-nm reads the
    link-time-optimisation objects too)."""
    out = subprocess.run(["gcc-nm", "-C", "--defined-only", str(path)], capture_output=True, text=True)
    out.check_returncode()
    return [line.split(" ", 2)[2] for line in out.stdout.splitlines() if line.count(" ") >= 2]


def owner(name):
    """The namespace right below velt:: that a symbol is defined in, or None.

    The qualified name is what precedes the first "<" or "(" outside brackets,
    after a leading return type ("void velt::sse2::f<...>(...)")."""
    depth, end = 0, len(name)
    for i, ch in enumerate(name):
        if ch in "<(" and depth == 0:
            end = i
            break
        depth += ch == "<"
    head = name[:end].rsplit(" ", 1)[-1]
    parts = head.split("::")
    return parts[1] if len(parts) > 2 and parts[0] == "velt" else None


def namespace_problems(path):
    """Rule 3 for one object file."""
    isa, precision = group(path)
    own = {precision} | ({isa + ("_c64" if precision == "c64" else "")} if isa else set())
    guarded = set(PRECISIONS) | set(PATHS) | {p + "_c64" for p in PATHS}
    problems = []
    for name in defined_symbols(path):
        ns = owner(name)
        if ns in guarded and ns not in own:
            problems.append(f"{path.name}: defines {name[:160]} outside its path and precision")
    return problems


def shared_bodies(objects):
    """Rule 4: {function: {object group: normalised code}} for the functions of
    the shared namespaces."""
    bodies = {}
    for path in objects:
        for name, body in functions(disassemble(path)):
            if owner(name) in set(PRECISIONS) | set(PATHS) | {p + "_c64" for p in PATHS} or "velt::" not in name:
                continue
            if not name.startswith("velt::") and " velt::" not in name.split("(")[0]:
                continue
            code = "\n".join(ADDRESS.sub("<target>", line.split("\t", 1)[-1]) for line in body if "\t" in line)
            bodies.setdefault(name, {})[group(path)] = code
    return bodies


def main(argv):
    build = Path(argv[0])
    modules = [Path(p) for p in argv[1:]] or sorted(build.glob("velt_core*.so"))
    objects = sorted(build.rglob("*.o"))
    if not objects or not modules:
        print(f"no object files or module under {build}")
        return 1
    problems = []
    for path in modules + objects:
        problems += [f"{path.name}: {line.strip()}" for line in disassemble(path).splitlines() if FMA.search(line)]
    wide = 0
    for path in objects:
        for name, body in functions(disassemble(path)):
            code = "\n".join(body)
            uses_zmm, uses_ymm = "%zmm" in code, "%ymm" in code
            if not (uses_zmm or uses_ymm):
                continue
            wide += 1
            if "velt::avx512f::" in name or "velt::avx512f_c64::" in name:
                continue
            if ("velt::avx2::" in name or "velt::avx2_c64::" in name) and not uses_zmm:
                continue
            problems.append(f"{path.name}: {name} uses {'zmm' if uses_zmm else 'ymm'} outside its path")
    for path in objects:
        problems += namespace_problems(path)
    shared = 0
    for name, codes in shared_bodies(objects).items():
        if len(codes) > 1:
            shared += 1
            if len(set(codes.values())) > 1:
                problems.append(f"{name[:160]} has different code in {', '.join(map(str, sorted(codes)))}")
    print(
        f"checked {len(modules)} module(s) and {len(objects)} object files; {wide} functions use wide registers, "
        f"{shared} functions of the shared namespaces are defined for several paths or precisions"
    )
    for p in problems:
        print("  " + p)
    print(
        "no FMA; wide registers and code only on their paths and precisions"
        if not problems
        else f"{len(problems)} problem(s)"
    )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
