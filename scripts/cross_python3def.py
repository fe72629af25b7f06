"""Writes the module-definition file of python3.dll from PC/python3dll.c.

python3dll.c lists every name of the stable ABI once, as EXPORT_FUNC(name)
or EXPORT_DATA(name); the .def file gives dlltool (and the test stub) the
same list, with data marked DATA so that only its __imp_ pointer is made.
"""

import re
import sys

EXPORT = re.compile(r"^\s*EXPORT_(FUNC|DATA)\((\w+)\)", re.MULTILINE)


def main(source_path: str, def_path: str) -> None:
    with open(source_path, encoding="utf-8") as source:
        exports = EXPORT.findall(source.read())
    if len(exports) < 500:
        sys.exit(f"{source_path}: only {len(exports)} exports found; is it python3dll.c?")
    names = [name for _, name in exports]
    if len(set(names)) != len(names):
        sys.exit(f"{source_path}: an export is listed twice")
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    lines += [f"    {name}" + (" DATA" if kind == "DATA" else "") for kind, name in exports]
    with open(def_path, "w", encoding="ascii", newline="\n") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
