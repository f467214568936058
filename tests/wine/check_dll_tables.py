#!/usr/bin/env python3
"""Checks Brackenfold.dll's export and import tables with objdump -p.

The host finds the entry by name, so the DLL must export exactly one function,
Wise_DoInstall, undecorated, at ordinal 1, with the module name Brackenfold.dll
in its export table; and it must run on a bare Windows, so every import comes
from a DLL that Windows itself carries (the runtimes are linked in).

usage: check_dll_tables.py OBJDUMP DLL
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "comdlg32.dll",
    "comctl32.dll", "gdi32.dll", "msvcrt.dll", "ws2_32.dll", "shell32.dll",
    "ole32.dll", "oleaut32.dll", "shlwapi.dll", "version.dll", "ntdll.dll",
}


def check(text):
    """Returns the list of problems found in objdump -p output."""
    problems = []
    names = re.findall(r"^Name\s+[0-9a-fA-F]+\s+(\S+)\s*$", text, re.M)
    if names != ["Brackenfold.dll"]:
        problems.append(f"export table module name is {names}, not Brackenfold.dll")
    base = re.search(r"Export Address Table -- Ordinal Base (\d+)", text)
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\t\[.*\n?)*)", text)
    exports = re.findall(r"\[\s*(\d+)\]\s+(\S+)", table.group(1)) if table else []
    if not base or len(exports) != 1:
        problems.append(f"expected exactly one named export, found {exports}")
    else:
        ordinal = int(base.group(1)) + int(exports[0][0])
        if exports[0][1] != "Wise_DoInstall" or ordinal != 1:
            problems.append(
                f"export is {exports[0][1]} at ordinal {ordinal}, "
                "not Wise_DoInstall at 1")
    addresses = re.search(r"Export Address Table -- Ordinal Base \d+\n((?:\t\[.*\n?)*)", text)
    if addresses and len(addresses.group(1).strip().splitlines()) != 1:
        problems.append("export address table has more than one entry")
    imports = re.findall(r"^\s*DLL Name: (\S+)", text, re.M)
    if not imports:
        problems.append("no import table found")
    for dll in imports:
        if dll.lower() not in SYSTEM_DLLS:
            problems.append(f"imports from {dll}, which is not a system DLL")
    return problems, imports


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    out = subprocess.run([sys.argv[1], "-p", sys.argv[2]], check=True,
                         capture_output=True, text=True).stdout
    problems, imports = check(out)
    for p in problems:
        print(f"FAIL: {sys.argv[2]}: {p}")
    if problems:
        return 1
    print(f"ok: {sys.argv[2]} exports Wise_DoInstall @1 as Brackenfold.dll; "
          f"imports {', '.join(imports)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
