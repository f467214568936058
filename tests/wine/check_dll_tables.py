#!/usr/bin/env python3
"""usage: check_dll_tables.py OBJDUMP DLL: the DLL exports Wise_DoInstall alone,
undecorated, at ordinal 1, as Brackenfold.dll, and imports from system DLLs only."""
import re
import subprocess
import sys

SYSTEM_DLLS = set("kernel32 user32 advapi32 comdlg32 comctl32 gdi32 msvcrt ws2_32 "
                  "shell32 ole32 oleaut32 shlwapi version ntdll".split())


def problems(text):
    found = []
    if re.findall(r"^Name\s+[0-9a-fA-F]+\s+(\S+)\s*$", text, re.M) != ["Brackenfold.dll"]:
        found.append("the export table's module name is not Brackenfold.dll")
    base = re.search(r"Export Address Table -- Ordinal Base (\d+)\n((?:\t\[.*\n?)*)", text)
    names = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\t\[.*\n?)*)", text)
    exports = re.findall(r"\[\s*(\d+)\]\s+(\S+)", names[1]) if names else []
    if (not base or len(base[2].strip().splitlines()) != 1 or len(exports) != 1
            or exports[0][1] != "Wise_DoInstall" or int(base[1]) + int(exports[0][0]) != 1):
        found.append(f"exports {exports}, not Wise_DoInstall alone at ordinal 1")
    imports = re.findall(r"^\s*DLL Name: (\S+)", text, re.M)
    return found + [f"imports from {d}, not a system DLL" for d in imports
                    if d.lower().removesuffix(".dll") not in SYSTEM_DLLS] + \
        ([] if imports else ["no import table"])


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.splitlines()[0])
    found = problems(subprocess.run([sys.argv[1], "-p", sys.argv[2]], check=True,
                                    capture_output=True, text=True).stdout)
    for p in found:
        print(f"FAIL: {sys.argv[2]}: {p}")
    sys.exit(1 if found else 0)
