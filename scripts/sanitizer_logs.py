"""Judges the sanitizer logs of one test run (see scripts/sanitize.sh).

Every process of the run writes its reports into one folder.  A report of
AddressSanitizer or UndefinedBehaviorSanitizer is a finding whatever it names.
Leak records are different: the interpreter and NumPy do not free everything at
exit, so a leak record is a finding only when one of its frames lies in this
module's shared object.  A leak check that could not run (LeakSanitizer's
fatal error) is a finding too: its process was never checked.  Prints every
finding and a one-line summary; exits 1 when there was a finding.
"""

import re
import sys
from pathlib import Path

MODULE = re.compile(r"\(velt_core\.[^)]*\.so\+0x[0-9a-f]+\)")
LEAK = re.compile(r"^(Direct|Indirect) leak of .*?(?=^\s*$)", re.MULTILINE | re.DOTALL)
ERROR = re.compile(
    r"ERROR: AddressSanitizer|runtime error:|UndefinedBehaviorSanitizer|CHECK failed|LeakSanitizer has encountered"
)


def main(folder):
    findings, own_leaks, other_leaks = 0, 0, 0
    for path in sorted(Path(folder).iterdir()):
        text = path.read_text(errors="replace")
        if ERROR.search(text):
            findings += 1
            print(f"== sanitizer finding in {path.name}:\n{text}")
            continue
        for record in LEAK.finditer(text):
            if MODULE.search(record.group(0)):
                own_leaks += 1
                print(f"== leak through velt_core in {path.name}:\n{record.group(0)}")
            else:
                other_leaks += 1
    print(
        f"sanitizer logs: {findings} finding(s), {own_leaks} leak record(s) through velt_core, "
        f"{other_leaks} leak record(s) of the interpreter and other libraries ignored"
    )
    return 1 if findings or own_leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
