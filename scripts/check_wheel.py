"""Checks a wheel repaired by auditwheel before anyone installs it.

    python scripts/check_wheel.py WHEEL

Runs `auditwheel show` (from the tools environment, on PATH) and prints its
report, then fails unless
- the wheel's platform tags are manylinux tags for x86-64, among them the
  one auditwheel finds the wheel consistent with, and that glibc is no newer
  than this machine's;
- no shared library outside the manylinux policy is left for the target
  system to provide (auditwheel lists none as external);
- the OpenMP runtime is bundled: a libgomp copy under velt_core.libs/ in the
  wheel, the one the extension's symbols are bound to;
- no instruction set beyond the x86-64 baseline is required.
"""

import json
import platform
import re
import subprocess
import sys
import zipfile
from pathlib import Path

MANYLINUX = re.compile(r"manylinux_(\d+)_(\d+)_x86_64")


def main(wheel_path):
    wheel = Path(wheel_path)
    subprocess.run(["auditwheel", "show", str(wheel)], check=True)
    shown = subprocess.run(["auditwheel", "show", "--json", str(wheel)], check=True, capture_output=True, text=True)
    report = json.loads(shown.stdout)
    failures = []

    tags = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    if not all(MANYLINUX.fullmatch(tag) for tag in tags):
        failures.append(f"platform tags {tags} are not all manylinux x86-64 tags")
    overall = report.get("overall_tag", "")
    if overall not in tags:
        failures.append(f"auditwheel finds the wheel consistent with {overall!r}, which its tags {tags} do not name")
    glibc = MANYLINUX.fullmatch(overall)
    here = tuple(int(part) for part in platform.libc_ver()[1].split("."))
    if glibc and tuple(map(int, glibc.groups())) > here:
        failures.append(f"{overall} asks for a newer glibc than this machine's {platform.libc_ver()[1]}")

    if report.get("external_libs"):
        failures.append(f"libraries left to the target system: {sorted(report['external_libs'])}")
    if report.get("unsupported_isa"):
        failures.append("the wheel requires instruction-set extensions beyond the x86-64 baseline")

    with zipfile.ZipFile(wheel) as archive:
        bundled = {Path(name).name for name in archive.namelist() if name.startswith("velt_core.libs/")}
    runtimes = sorted(name for name in bundled if name.startswith("libgomp"))
    bound = sorted(name for name in report.get("versioned_symbols", {}) if name.startswith("libgomp"))
    if not runtimes:
        failures.append(f"no OpenMP runtime under velt_core.libs/ (found {sorted(bundled)})")
    if bound != runtimes:
        failures.append(f"the extension binds OpenMP symbols to {bound}, the wheel bundles {runtimes}")

    for failure in failures:
        print(f"check_wheel: {failure}", file=sys.stderr)
    if failures:
        return 1
    print(f"check_wheel: {wheel.name}: {overall}, bundles {', '.join(runtimes)}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
