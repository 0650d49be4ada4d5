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
   one symbol with two bodies, and the linker would keep either;
5. no wide function hands a dirty upper vector state to baseline code: on
   every path through every function of the avx2 and avx512f paths, each
   exit (ret, or a jump to another function) and each call of a baseline
   function is reached with the upper halves of registers 0-15 clean, that
   is, after a vzeroupper (or vzeroall) that no later use of a ymm0-15 or
   zmm0-15 register has undone.

Why 5: after a 256- or 512-bit instruction has written the upper half of a
register, every legacy SSE instruction that the thread runs later pays for
it (on Intel cores a false dependency on the upper halves, or a state
transition), until something executes vzeroupper.  Baseline code (the
interpreter, NumPy, most compiled extensions, the module's own baseline
units and its worker pool) is made of such instructions.  GCC adds
vzeroupper before calls and returns of a function where it sees the state
dirty, but it takes every callee to return clean; a function that takes or
returns a vector by value receives or leaves it in a ymm or zmm register,
and GCC emits no vzeroupper at its return, so a caller that called or
tail-jumped to it went back to baseline code dirty.  The check follows the
state through every path instead of trusting that rule.  A function may
return dirty only when every reference to it anywhere in the build is a
direct call or jump from another wide function; the state after such a
call is then dirty, and the caller answers for it.  Registers 16-31 are left
out: legacy SSE instructions cannot name them and vzeroupper does not clear
them, so no vzeroupper could answer for them.  bench/bench_upper.py shows
what a dirty return costs the caller's code.

    python scripts/check_isa.py BUILD_DIR [MODULE.so ...]

Exits with 1 and lists the offenders (function, instruction offset and
text, and the instruction that last dirtied the state) when a check fails.
"""

import re
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

FMA = re.compile(r"\bv(fn?m(add|sub)|fmaddsub|fmsubadd)\w*")
FUNCTION = re.compile(r"^([0-9a-f]+) <(.*)>:$")
INSTRUCTION = re.compile(r"^\s+([0-9a-f]+):\t(.*)$")
RELOCATION = re.compile(r"^\s+[0-9a-f]+: R_X86_64_\w+\t(.*)$")
SECTION = re.compile(r"^Disassembly of section (.*):$")
# A register whose upper half legacy SSE code shares: ymm0-15 and zmm0-15.
LOW_WIDE = re.compile(r"%[yz]mm(?:1[0-5]|[0-9])\b")
WIDE_PATHS = ("velt::avx2::", "velt::avx512f::", "velt::avx2_c64::", "velt::avx512f_c64::")
# Calls on the way to raising an exception or ending the process: the
# kernels' guards against impossible arguments.  Their state costs nothing
# that matters, and GCC moves them to cold code where it adds no vzeroupper.
FAILING = re.compile(
    r"^(__cxa_\w+|_Unwind_Resume|abort|__assert_fail|__stack_chk_fail|std::terminate\(\)|std::__throw_\w+|"
    r"std::\w+::\w+\(char const\*\)|std::\w+::\w+\(std::__cxx11::basic_string)"
)
PREFIXES = {"notrack", "bnd", "rep", "repz", "repnz", "lock", "data16", "cs", "ds"}
PATHS = ("sse2", "avx2", "avx512f")
PRECISIONS = ("c128", "c64")
# An address operand of a jump or call ("1de <name+0x1de>"): differs with
# where a function lies in its object, not with its code.
ADDRESS = re.compile(r"\b[0-9a-f]+ <[^>]*>")


def disassemble(path, relocations=False):
    flags = "-dr" if relocations else "-d"
    out = subprocess.run(["objdump", flags, "-C", "--no-show-raw-insn", str(path)], capture_output=True, text=True)
    out.check_returncode()
    return out.stdout


def functions(text):
    name, body = None, []
    for line in text.splitlines():
        m = FUNCTION.match(line)
        if m:
            if name is not None:
                yield name, body
            name, body = m.group(2), []
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


def symbol_of(relocation):
    """The function a relocation names, without its addend."""
    return re.sub(r"[-+]0x[0-9a-f]+$", "", relocation.strip())


class Instruction:
    __slots__ = ("address", "text", "op", "operands", "target")

    def __init__(self, address, text):
        self.address = address
        self.text = text
        words = text.split()
        while words and words[0] in PREFIXES:
            words = words[1:]
        self.op = words[0] if words else ""
        self.operands = " ".join(words[1:])
        self.target = None  # the symbol of a relocation on this instruction


class Function:
    def __init__(self, name, section, address, path):
        self.name = name
        self.section = section
        self.address = address
        self.path = path
        self.code = []


def parse_functions(path):
    """Every function of an object file, its instructions and the symbols its
    relocations name.  A relocation against a section (a jump into the cold
    part of a function, .text.unlikely+0x44) names the function there."""
    section, current, found = "", None, []
    for line in disassemble(path, relocations=True).splitlines():
        m = SECTION.match(line)
        if m:
            section = m.group(1)
            continue
        m = FUNCTION.match(line)
        if m:
            current = Function(m.group(2), section, int(m.group(1), 16), path)
            found.append(current)
            continue
        if current is None:
            continue
        m = RELOCATION.match(line)
        if m and current.code:
            current.code[-1].target = m.group(1).strip()
            continue
        m = INSTRUCTION.match(line)
        if m:
            current.code.append(Instruction(int(m.group(1), 16), m.group(2).strip()))
    by_section = defaultdict(list)
    for f in found:
        by_section[f.section].append(f)
    for f in found:
        for i in f.code:
            if i.target is None:
                continue
            m = re.match(r"^(\.[\w.]+)([-+]0x[0-9a-f]+)?$", i.target)
            if m is None:
                i.target = symbol_of(i.target)
                continue
            # A pc-relative field 4 bytes before the end of its instruction.
            offset = int(m.group(2) or "0", 16) + 4
            inside = [g for g in by_section.get(m.group(1), []) if g.address <= offset]
            i.target = max(inside, key=lambda g: g.address).name if inside else m.group(1)
    return found


def is_wide(f):
    return f.name.startswith(WIDE_PATHS) or any("%ymm" in i.text or "%zmm" in i.text for i in f.code)


def transfer(f, index):
    """How instruction `index` of f leaves the function, if it does:
    ("ret", None), ("call", symbol), ("tail", symbol), ("indirect", None), or
    (None, internal successor indices)."""
    i = f.code[index]
    nxt = [index + 1] if index + 1 < len(f.code) else []
    if i.op.startswith("ret"):
        return "ret", None
    if i.op in ("ud2", "hlt") or i.op.startswith("int3"):
        return None, []
    branch = i.op.startswith("j")
    if not (branch or i.op.startswith("call")):
        return None, nxt
    if i.operands.startswith("*"):
        return ("indirect", None) if i.op.startswith("jmp") else ("call", None)
    if i.target is not None:  # relocated: another function (or a local one by its section)
        return ("call", i.target) if i.op.startswith("call") else ("tail", i.target)
    m = re.match(r"([0-9a-f]+) <(.*)>$", i.operands)
    if m is None:
        return None, nxt
    address, name = int(m.group(1), 16), re.sub(r"\+0x[0-9a-f]+$", "", m.group(2))
    if i.op.startswith("call"):
        return "call", name
    if name != f.name:
        return "tail", name
    where = [k for k, ins in enumerate(f.code) if ins.address == address]
    if i.op == "jmp":
        return None, where
    return None, where + nxt


def references(all_functions):
    """For each symbol: the functions that call or jump to it directly, and
    the symbols whose address the code takes (any other relocation)."""
    callers, taken = defaultdict(set), set()
    for f in all_functions:
        for index, i in enumerate(f.code):
            kind, target = transfer(f, index)
            if kind in ("call", "tail") and target is not None:
                callers[target].add(f.name)
            elif i.target is not None:
                taken.add(i.target)
    return callers, taken


def data_references(paths):
    """Symbols named by relocations outside the code (tables of function
    pointers, such as the kernel table)."""
    named = set()
    for path in paths:
        out = subprocess.run(["objdump", "-r", "-C", str(path)], capture_output=True, text=True)
        section = ""
        for line in out.stdout.splitlines():
            if line.startswith("RELOCATION RECORDS FOR"):
                section = line
                continue
            if "[.text" in section:
                continue
            fields = line.split(None, 2)
            if len(fields) == 3 and fields[1].startswith("R_X86_64"):
                named.add(symbol_of(fields[2]))
    return named


def shown(f, i):
    """An instruction as the report shows it: a call or jump by the symbol
    its relocation names, a jump inside f by offset alone."""
    if i.target is not None and (i.op.startswith("j") or i.op.startswith("call")):
        return f"{i.op} <{i.target}>"
    return i.text.replace(f"<{f.name}+", "<+").replace(f"<{f.name}>", "<+0x0>")


def upper_state_problems(objects):
    """Check 3.  Returns the number of functions followed and the offences.

    The state at an instruction is clean (None) or dirty, carried as the
    place that last dirtied it.  A function starts clean unless some wide
    function calls or jumps to it dirty; a wide function that may return
    dirty makes its wide callers dirty after the call.  Iterated until
    nothing changes."""
    everything = [f for path in objects for f in parse_functions(path)]
    wide = [f for f in everything if is_wide(f)]
    by_name = defaultdict(list)
    for f in wide:
        by_name[f.name].append(f)
    callers, taken = references(everything)
    taken |= data_references(objects)
    wide_names = set(by_name)
    # A wide function that only wide code calls directly may return dirty:
    # its callers then carry the dirty state.
    wide_only = {n for n in wide_names if n not in taken and callers[n] and callers[n] <= wide_names}

    entry = dict.fromkeys(wide_names)
    returns_dirty = dict.fromkeys(wide_names)
    problems = {}
    changed = True
    while changed:
        changed = False
        for f in wide:
            state = [None] * len(f.code)
            seen = [False] * len(f.code)
            work = [(0, entry[f.name])] if f.code else []
            while work:
                index, incoming = work.pop()
                if seen[index] and (state[index] is not None or incoming is None):
                    continue
                seen[index] = True
                state[index] = state[index] or incoming
                i = f.code[index]
                if i.op in ("vzeroupper", "vzeroall"):
                    dirty = None
                elif LOW_WIDE.search(i.operands):
                    dirty = f"+{i.address:#x} `{i.text}`"
                else:
                    dirty = state[index]
                kind, target = transfer(f, index)
                nxt = [index + 1] if index + 1 < len(f.code) else []
                where = f"{Path(f.path).name}: {f.name}\n      at +{i.address:#x} `{shown(f, i)}`"
                if kind is None:
                    work += [(k, dirty) for k in target]
                    continue
                if kind == "tail" and i.op != "jmp":  # a conditional jump out: it may fall through
                    work += [(k, dirty) for k in nxt]
                if kind in ("call", "tail") and target in wide_names:
                    if dirty is not None and entry[target] is None:
                        entry[target] = f"{f.name} {dirty}"
                        changed = True
                    after = returns_dirty[target]
                    dirty = after and f"the call of {target}, which returns it dirty ({after})"
                    if kind == "call":
                        work += [(k, dirty) for k in nxt]
                        continue
                elif kind in ("call", "tail") and target is not None and FAILING.match(target):
                    continue  # on the way to an exception or the end of the process
                elif kind in ("call", "tail", "indirect") and dirty is not None:
                    callee = target or "a function through a pointer"
                    problems[where] = (
                        f"{where}\n      calls {callee} (baseline code) with the upper state dirty since {dirty}"
                    )
                    work += [(k, dirty) for k in nxt if kind == "call"]
                    continue
                elif kind == "call":
                    work += [(k, dirty) for k in nxt]
                    continue
                # Leaves the function: ret, or a jump to another function.
                if dirty is None:
                    continue
                if f.name in wide_only:
                    if returns_dirty[f.name] is None:
                        returns_dirty[f.name] = dirty
                        changed = True
                else:
                    problems[where] = (
                        f"{where}\n      returns to baseline code with the upper state dirty since {dirty}"
                    )
    return len(wide), sorted(problems.values())


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
    checked, upper = upper_state_problems(objects)
    problems += upper
    print(
        f"checked {len(modules)} module(s) and {len(objects)} object files; {wide} functions use wide registers, "
        f"{shared} functions of the shared namespaces are defined for several paths or precisions; "
        f"the upper state followed through {checked} functions of the wide paths"
    )
    for p in problems:
        print("  " + p)
    print(
        "no FMA; wide registers and code only on their paths and precisions; "
        "every return to baseline code with a clean upper state"
        if not problems
        else f"{len(problems)} problem(s)"
    )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
