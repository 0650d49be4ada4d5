"""Checks the machine code of a velt_core build for the promises of its
instruction-set paths, with objdump:

1. no fused multiply-add anywhere in the module (vfmadd, vfmsub, vfnmadd,
   vfnmsub, in any form), so every multiplication and addition is rounded on
   its own;
2. in the object files of the build, every function that touches a 256-bit
   (ymm) or 512-bit (zmm) register belongs to the avx2 or avx512f path
   (its name lies in velt::avx2 or velt::avx512f), and no avx2 function uses
   zmm: baseline code, the standard library's templates included, stays
   baseline.

    python scripts/check_isa.py BUILD_DIR [MODULE.so ...]

Exits with 1 and lists the offenders when a check fails.
"""

import re
import subprocess
import sys
from pathlib import Path

FMA = re.compile(r"\bv(fn?m(add|sub)|fmaddsub|fmsubadd)\w*")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")


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
            if "velt::avx512f::" in name:
                continue
            if "velt::avx2::" in name and not uses_zmm:
                continue
            problems.append(f"{path.name}: {name} uses {'zmm' if uses_zmm else 'ymm'} outside its path")
    print(f"checked {len(modules)} module(s) and {len(objects)} object files; {wide} functions use wide registers")
    for p in problems:
        print("  " + p)
    print("no FMA; wide registers only on their paths" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
