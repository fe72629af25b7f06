"""Checks what a cross-built _kiln.pyd asks of Windows and offers to it.

Usage: cross_check_pe.py OBJDUMP PYD i686|x86_64

It may import from python3.dll (the stable ABI; never python3XY.dll, which
would tie it to one interpreter version), KERNEL32.dll, ntdll.dll and the C
runtime, and must export PyInit__kiln and nothing else. Prints one line for
the summary, or the problems and exits 1.
"""

import re
import subprocess
import sys

FORMATS = {"i686": "pei-i386", "x86_64": "pei-x86-64"}
REQUIRED = {"python3.dll", "kernel32.dll"}
ALLOWED = REQUIRED | {"ntdll.dll", "msvcrt.dll"}
UCRT = re.compile(r"api-ms-win-crt-[a-z0-9-]+\.dll")
VERSIONED_PYTHON = re.compile(r"python3\d+\.dll")


def exported_names(dump: str) -> list[str]:
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
        if not match:
            break
        names.append(match.group(1))
    return names


def main(objdump: str, pyd: str, arch: str) -> int:
    header = subprocess.run([objdump, "-f", pyd], check=True, capture_output=True, text=True).stdout
    dump = subprocess.run([objdump, "-p", pyd], check=True, capture_output=True, text=True).stdout
    problems = []

    if f"file format {FORMATS[arch]}" not in header:
        problems.append(f"not a {FORMATS[arch]} image")

    imports = re.findall(r"DLL Name: (\S+)", dump)
    lowered = {name.lower() for name in imports}
    for name in imports:
        low = name.lower()
        if VERSIONED_PYTHON.fullmatch(low):
            problems.append(f"imports {name}: a build for one Python version, not the stable ABI")
        elif low not in ALLOWED and not UCRT.fullmatch(low):
            problems.append(f"imports {name}")
    for name in sorted(REQUIRED - lowered):
        problems.append(f"does not import {name}")

    exports = exported_names(dump)
    if exports != ["PyInit__kiln"]:
        shown = ", ".join(exports[:5]) + (f" and {len(exports) - 5} more" if len(exports) > 5 else "")
        problems.append(f"exports {shown or 'nothing'}, not just PyInit__kiln")

    if problems:
        for problem in problems:
            print(f"{pyd}: {problem}", file=sys.stderr)
        return 1
    print(f"imports {' '.join(imports)}; exports {' '.join(exports)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
