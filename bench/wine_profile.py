#!/usr/bin/env python3
"""Names the hot code of a PE DLL in a perf profile of a Wine process.

usage: wine_profile.py PERF_DATA DLL NM [COMM]

Wine copies a MinGW DLL into anonymous memory (its sections are not
page-aligned in the file), so perf cannot name the DLL's functions: its
samples show as "[JIT]" addresses. This reads the samples of COMM (the first
15 characters of the process name, default install_host.ex) with
`perf script`, takes the DLL's address range from its preferred image base
(Wine loads it there when the range is free, which the report checks: few
samples outside any symbol mean a relocation), names each address with the
DLL's symbol table (NM, the MinGW nm), and prints the share of samples per
shared object and per symbol of the DLL.
"""
import bisect
import collections
import re
import subprocess
import sys


def image_range(dll, objdump):
    text = subprocess.run([objdump, "-p", dll], capture_output=True,
                          text=True, check=True).stdout
    base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", text).group(1), 16)
    size = int(re.search(r"SizeOfImage\s+([0-9a-fA-F]+)", text).group(1), 16)
    return base, base + size


def symbols(dll, nm):
    text = subprocess.run([nm, "-C", "--defined-only", "-n", dll],
                          capture_output=True, text=True, check=True).stdout
    table = []
    for line in text.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tT" and not parts[2].startswith(".text"):
            table.append((int(parts[0], 16), parts[2]))
    return table


def main():
    data, dll, nm = sys.argv[1:4]
    comm = sys.argv[4] if len(sys.argv) > 4 else "install_host.ex"
    objdump = nm[:-2] + "objdump"
    low, high = image_range(dll, objdump)
    table = symbols(dll, nm)
    starts = [a for a, _ in table]
    out = subprocess.run(["perf", "script", "-i", data, "-F", "comm,ip,dso"],
                         capture_output=True, text=True, check=True).stdout
    by_dso = collections.Counter()
    by_sym = collections.Counter()
    total = 0
    for line in out.splitlines():
        m = re.match(r"\s*(.*?)\s+([0-9a-f]+) \((.*)\)\s*$", line)
        if not m or m.group(1) != comm:
            continue
        total += 1
        ip = int(m.group(2), 16)
        dso = m.group(3).rsplit("/", 1)[-1]
        if low <= ip < high:
            dso = "Brackenfold.dll"
            i = bisect.bisect_right(starts, ip) - 1
            by_sym[table[i][1] if i >= 0 else "?"] += 1
        elif dso.startswith("[JIT]"):
            dso = "[anonymous]"
        by_dso[dso] += 1
    if not total:
        sys.exit(f"wine_profile.py: no samples of {comm}")
    print(f"{total} samples of {comm}; by shared object:")
    for dso, n in by_dso.most_common(12):
        print(f"  {100 * n / total:6.2f} %  {dso}")
    print("Brackenfold.dll by symbol (share of all samples):")
    for sym, n in by_sym.most_common(25):
        if 100 * n / total < 0.3:
            break
        print(f"  {100 * n / total:6.2f} %  {sym}")


if __name__ == "__main__":
    main()
