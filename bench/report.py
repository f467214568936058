#!/usr/bin/env python3
"""Turns the raw timings of scripts/bench.sh into results.md and PNG charts.

usage: report.py RESULTS_DIR
Reads raw.txt ("LABEL WALL_SECONDS PEAK_RSS_KIB" per timed run, and "phases
..." lines), meta.txt and micro.json (Google Benchmark) from RESULTS_DIR;
writes results.md, the chart data (*.dat) and the charts (*.png, gnuplot).
Medians throughout.
"""
import json
import os
import statistics
import subprocess
import sys
from collections import defaultdict

MiB = 1024 * 1024


def read_meta(path):
    meta = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            meta[key] = value
    return meta


def read_raw(path):
    runs = defaultdict(list)  # label -> [(wall, cpu, rss_kib)]
    phases = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "phases":
                phases.append({k: float(v) for k, v in
                               (f.split("=") for f in fields[1:])})
                continue
            label = " ".join(fields[:-3])
            runs[label].append((float(fields[-3]), float(fields[-2]),
                                int(fields[-1])))
    return runs, phases


def med(values):
    return statistics.median(values) if values else float("nan")


def wall(runs, label):
    return med([w for w, _, _ in runs.get(label, [])])


def cpu(runs, label):
    return med([c for _, c, _ in runs.get(label, [])])


def rss_mib(runs, label):
    return med([r for _, _, r in runs.get(label, [])]) / 1024.0


def micro(path):
    """name -> median aggregate of Google Benchmark's JSON output."""
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    return out


def extra(runs, label, base):
    """(wall, cpu) of label over base: medians of the differences of runs
    made one after the other (scripts/bench.sh alternates them)."""
    pairs = list(zip(runs.get(label, []), runs.get(base, [])))
    return (med([a[0] - b[0] for a, b in pairs]),
            med([a[1] - b[1] for a, b in pairs]))


def fmt_s(seconds):
    return f"{seconds:.3f} s" if seconds >= 0.1 else f"{seconds * 1000:.1f} ms"


def product(w, runs, meta, results):
    """The DLLs under Wine against the native tool on the same blob."""
    if "dll i686" not in runs:
        return
    payload = int(meta["payload_bytes"])
    install = (wall(runs, "install"), cpu(runs, "install"))
    dll32 = extra(runs, "dll i686", "dll i686 tiny")
    dll64 = extra(runs, "dll x86_64", "dll x86_64 tiny")
    w(f"## 0. Where users run it: Brackenfold.dll under Wine, "
      f"{payload // MiB} MiB payload\n")
    w(f"{meta.get('wine', 'Wine')}; the DLLs and the test host built by "
      f"MinGW-w64 GCC {meta.get('mingw_gcc', '?')} (Release), MinGW zlib "
      f"{meta.get('mingw_zlib', '?')}. A DLL's time is its run minus the "
      "run with a tiny blob just before or after it (Wine's start-up, the "
      "host window, the plug-in copy and registry work): medians of those "
      "differences. CPU of the Wine process only (the wineserver's share "
      "is not counted).\n")
    w("| what installs the blob | wall (median) | ratio to `bfold install` | "
      "CPU user+sys | CPU ratio |")
    w("|---|---:|---:|---:|---:|")
    rows = [("`bfold install` (native)", install),
            ("**i686 DLL (the product), 32-bit Wine**", dll32),
            ("x86_64 DLL, 64-bit Wine", dll64),
            ("`sha1sum` ×2 + zlib inflate", (wall(runs, "unavoidable"),
                                             cpu(runs, "unavoidable"))),
            ("`tar -xzf`", (wall(runs, "tar"), cpu(runs, "tar")))]
    for text, (t, c) in rows:
        w(f"| {text} | {fmt_s(t)} | {t / install[0]:.2f} | {c:.2f} s | "
          f"{c / install[1]:.2f} |")
    r32 = dll32[0] / install[0]
    native = install[0] / wall(runs, "unavoidable")
    w("")
    w(f"Targets: i686 DLL / `bfold install` = **{r32:.2f}** on wall time "
      f"(≤ 1.15: {'met' if r32 <= 1.15 else 'NOT met'}), "
      f"{dll32[1] / install[1]:.2f} on CPU; `bfold install` / (sha1sum ×2 "
      f"+ inflate) = **{native:.2f}** on wall time (≤ 0.9: "
      f"{'met' if native <= 0.9 else 'NOT met'}), "
      f"{install[1] / cpu(runs, 'unavoidable'):.2f} on CPU.\n")
    with open(os.path.join(results, "product.dat"), "w") as f:
        for label, (t, c) in [("bfold install", install), ("i686 DLL", dll32),
                              ("x86_64 DLL", dll64),
                              ("sha1sum x2 + inflate", rows[3][1]),
                              ("tar -xzf", rows[4][1])]:
            f.write(f'"{label}" {t:.6f} {c:.3f}\n')

    small = extra(runs, "dll i686 small", "dll i686 small one")
    count = int(meta.get("small_count", 0))
    if count > 1 and "dll i686 small" in runs:
        per = small[0] / (count - 1)
        native = wall(runs, "small") / count
        w(f"{count} small components (one 4 KiB file each) in one call of "
          f"the i686 DLL: **{per * 1000:.2f} ms per component** "
          f"({small[1] / (count - 1) * 1000:.2f} ms CPU); `bfold install` "
          f"of the same blobs: {native * 1000:.2f} ms per component "
          f"({cpu(runs, 'small') / count * 1000:.2f} ms CPU).\n")

    mem = []
    for label in sorted((l for l in runs if l.startswith("dllmemory ")),
                        key=lambda l: int(l.split()[1])):
        mem.append((int(label.split()[1]), rss_mib(runs, label)))
    if mem:
        w("| payload | i686 DLL: peak resident memory of the Wine process |")
        w("|---:|---:|")
        for size, m in mem:
            w(f"| {size // MiB} MiB | {m:.1f} MiB |")
        spread = max(m for _, m in mem) - min(m for _, m in mem)
        w(f"\nSpread from {mem[0][0] // MiB} MiB to {mem[-1][0] // MiB} MiB: "
          f"**{spread:.1f} MiB** (target ≤ 8 MiB: "
          f"{'met' if spread <= 8 else 'NOT met'}); the level is Wine's own "
          "(its DLLs and the host), the same for the tiny blob.\n")


def main():
    results = sys.argv[1]
    meta = read_meta(os.path.join(results, "meta.txt"))
    runs, phases = read_raw(os.path.join(results, "raw.txt"))
    bench = micro(os.path.join(results, "micro.json"))
    payload = int(meta["payload_bytes"])
    md = []
    w = md.append

    w("# Installation benchmarks\n")
    w(f"Measured {meta['date']} on {meta['cpu']}, {meta['cores']} cores, "
      f"{int(meta['memory_kib']) // 1024} MiB memory; commit {meta['commit']}. "
      f"Load average (1, 5, 15 min) at the start {meta['load_start']}, at the "
      f"end {meta.get('load_end', '?')}: other work shares this machine. "
      f"Whole processes, warm page cache; median of {meta['runs']} runs after "
      f"one warm-up ({meta['large_runs']} for the largest memory case).")
    if meta.get("quick") == "1":
        w("\n**Quick run (--quick): small inputs, not the reference sizes.**")
    w(f"\nTools: {meta['tools']}.\n")

    # 0. the product
    product(w, runs, meta, results)

    # 1. throughput
    install = wall(runs, "install")
    unavoidable = wall(runs, "unavoidable")
    sha_tar = wall(runs, "sha1sum2_tar")
    w(f"## 1. Install throughput: {payload // MiB} MiB, "
      f"{meta['payload_files']} files\n")
    w(f"Blob {int(meta['blob_bytes']) / MiB:.1f} MiB, .tar.gz "
      f"{int(meta['tgz_bytes']) / MiB:.1f} MiB, .zip "
      f"{int(meta['zip_bytes']) / MiB:.1f} MiB.\n")
    w("| what | wall (median) | MiB/s | wall ratio to the install | "
      "CPU user+sys (median) | CPU ratio to the install | peak RSS |")
    w("|---|---:|---:|---:|---:|---:|---:|")
    rows = [
        ("install", "`bfold install` (two signature checks, extraction, index)"),
        ("unavoidable", "unavoidable work: `sha1sum` ×2 + zlib inflate to disk"),
        ("sha1sum2_tar", "`sha1sum` ×2 then `tar -xzf`"),
        ("tar", "`tar -xzf` of the .tar.gz"),
        ("unzip", "`unzip` of the .zip"),
        ("sha1sum2", "`sha1sum` of the blob ×2"),
        ("inflate", "zlib inflate of the forks to disk (bench_inflate)"),
    ]
    chart = []
    install_cpu = cpu(runs, "install")
    for label, text in rows:
        t = wall(runs, label)
        c = cpu(runs, label)
        w(f"| {text} | {fmt_s(t)} | {payload / MiB / t:.0f} | "
          f"{t / install:.2f} | {c:.2f} s | {c / install_cpu:.2f} | "
          f"{rss_mib(runs, label):.1f} MiB |")
        chart.append((label, t, c))
    ratio_unavoidable = install / unavoidable
    ratio_tar = install / sha_tar
    cpu_unavoidable = install_cpu / cpu(runs, "unavoidable")
    cpu_tar = install_cpu / cpu(runs, "sha1sum2_tar")
    w("")
    w(f"Targets, on wall time: install / unavoidable = "
      f"**{ratio_unavoidable:.3f}** (target ≤ 0.9: "
      f"{'met' if ratio_unavoidable <= 0.9 else 'NOT met'}); install / "
      f"(sha1sum ×2 + tar -xzf) = **{ratio_tar:.3f}** (target ≤ 1.00: "
      f"{'met' if ratio_tar <= 1.0 else 'NOT met'}). On CPU time (less "
      f"disturbed by other work on the machine): {cpu_unavoidable:.3f} and "
      f"{cpu_tar:.3f}.\n")
    with open(os.path.join(results, "throughput.dat"), "w") as f:
        for label, t, c in chart:
            f.write(f'"{label}" {t:.6f} {c:.3f}\n')

    # 2. small components
    small = wall(runs, "small")
    count = int(phases[0]["blobs"]) if phases else 0
    w(f"## 2. Many small components: {count} blobs of one 4 KiB file, "
      "one run\n")
    if phases and small == small:
        w(f"`bfold install` of all {count}: {fmt_s(small)}, "
          f"**{count / small:.0f} components/s**, peak RSS "
          f"{rss_mib(runs, 'small'):.1f} MiB.\n")
        w("Where the time goes (bench_phases: the same steps as the install, "
          "timed one by one; medians):\n")
        w("| phase | median | share | per component |")
        w("|---|---:|---:|---:|")
        total = med([p["total"] for p in phases])
        split = []
        for key, text in [("signature", "signature checks (both opens: digest, "
                           "signature, descriptor)"),
                          ("index", "index work (search, lock, read, rewrite)"),
                          ("files", "file writes (unique names, extraction)"),
                          ("other", "other")]:
            t = med([p[key] for p in phases])
            split.append((key, t))
            w(f"| {text} | {fmt_s(t)} | {100 * t / total:.0f} % | "
              f"{1e6 * t / count:.0f} µs |")
        w(f"| total (in-process) | {fmt_s(total)} | 100 % | "
          f"{1e6 * total / count:.0f} µs |\n")
        with open(os.path.join(results, "small.dat"), "w") as f:
            for key, t in split:
                f.write(f'"{key}" {t:.6f}\n')

    # 3. index scaling
    w("## 3. Index scaling: one component into a store of N entries\n")
    w("| entries | `bfold install` wall | per entry, wall (over the empty "
      "store) | per entry, CPU | peak RSS | in-process read + replace | "
      "per entry |")
    w("|---:|---:|---:|---:|---:|---:|---:|")
    base = wall(runs, "index 0")
    base_cpu = cpu(runs, "index 0")
    scaling = []
    for label in sorted((l for l in runs if l.startswith("index ")),
                        key=lambda l: int(l.split()[1])):
        n = int(label.split()[1])
        t = wall(runs, label)
        per = (t - base) / n * 1e6 if n else float("nan")
        b = bench.get(f"BM_IndexReadAndReplace/{n}")
        inproc = per_inproc = ""
        if b:
            inproc = fmt_s(b["real_time"] / 1000.0)  # ms unit
            per_inproc = f"{b['per_entry'] * 1e6:.2f} µs"
        per_cpu = (cpu(runs, label) - base_cpu) / n * 1e6 if n else 0
        w(f"| {n} | {fmt_s(t)} | "
          f"{'—' if not n else f'{per:.2f} µs'} | "
          f"{'—' if not n else f'{per_cpu:.2f} µs'} | "
          f"{rss_mib(runs, label):.1f} MiB | {inproc} | {per_inproc} |")
        if n:
            scaling.append((n, per, b["per_entry"] * 1e6 if b else per))
    w("")
    with open(os.path.join(results, "index.dat"), "w") as f:
        for n, per, per_inproc in scaling:
            f.write(f"{n} {per:.4f} {per_inproc:.4f}\n")

    # 4. memory
    w("## 4. Peak resident memory of an install\n")
    w("| payload | `bfold install` peak RSS | install median | "
      "`bfold pack` peak RSS |")
    w("|---:|---:|---:|---:|")
    mem = []
    for label in sorted((l for l in runs if l.startswith("memory ")),
                        key=lambda l: int(l.split()[1])):
        size = int(label.split()[1])
        pack = f"pack {size}"
        mem.append((size, rss_mib(runs, label), rss_mib(runs, pack)))
        w(f"| {size // MiB} MiB | {rss_mib(runs, label):.1f} MiB | "
          f"{fmt_s(wall(runs, label))} | {rss_mib(runs, pack):.1f} MiB |")
    if mem:
        spread = max(m for _, m, _ in mem) - min(m for _, m, _ in mem)
        w(f"\nInstall peak RSS spread from {mem[0][0] // MiB} MiB to "
          f"{mem[-1][0] // MiB} MiB: **{spread:.1f} MiB** (target ≤ 8 MiB: "
          f"{'met' if spread <= 8 else 'NOT met'}).\n")
    with open(os.path.join(results, "memory.dat"), "w") as f:
        for size, m, p in mem:
            f.write(f"{size // MiB} {m:.2f} {p:.2f}\n")

    # 5. signature checks and other micro benchmarks
    w("## 5. Signature check and micro benchmarks (Google Benchmark, "
      "median of 3 repetitions)\n")
    w("| benchmark | wall time | CPU time | rate (per CPU second) |")
    w("|---|---:|---:|---:|")
    for name, b in sorted(bench.items()):
        unit = b.get("time_unit", "ns")
        rate = ""
        if "items_per_second" in b:
            rate = f"{b['items_per_second']:.0f} /s"
        if "bytes_per_second" in b:
            rate = f"{b['bytes_per_second'] / MiB:.0f} MiB/s"
        if "per_entry" in b:
            rate = f"{b['per_entry'] * 1e6:.2f} µs per entry"
        w(f"| {name.replace('BM_', '')} | {b['real_time']:.2f} {unit} | "
          f"{b['cpu_time']:.2f} {unit} | {rate} |")
    verify = bench.get("BM_VerifyBlobSignature")
    if verify:
        w(f"\nBuilt-in key check: **{verify['items_per_second']:.0f} "
          "verifications per CPU second** "
          f"({1e6 / verify['real_time']:.0f} per wall second under this "
          "machine's load).")
    w("")
    w("Charts: product.png, throughput.png, small.png, index.png, memory.png.")

    with open(os.path.join(results, "results.md"), "w") as f:
        f.write("\n".join(md) + "\n")
    charts(results)


GNUPLOT = r"""
set terminal pngcairo size 900,480 font ",10" noenhanced
set datafile separator whitespace
set style fill solid 0.8 border -1
set grid ytics

set output "product.png"
set title "Where users run it: install time over Wine's start-up (median)"
set ylabel "seconds"
set boxwidth 0.6
set style data histograms
set style histogram clustered gap 1
plot "product.dat" using 2:xtic(1) title "wall" lc rgb "#4a7ab5", \
     "" using 3 title "CPU user+sys" lc rgb "#e69138"

set output "throughput.png"
set title "Mixed payload: whole-process time (median)"
set ylabel "seconds"
set boxwidth 0.6
set xtics rotate by -20
set style data histograms
set style histogram clustered gap 1
plot "throughput.dat" using 2:xtic(1) title "wall" lc rgb "#4a7ab5", \
     "" using 3 title "CPU user+sys" lc rgb "#e69138"

set style data boxes
set output "small.png"
set title "Many small components: where the time goes (median)"
set ylabel "seconds"
plot "small.dat" using 0:2:xtic(1) with boxes notitle lc rgb "#6aa84f", \
     "" using 0:2:(sprintf("%.3f s", $2)) with labels offset 0,0.7 notitle

set output "index.png"
set title "Index scaling: time per index entry of one install"
set xtics norotate
set logscale x
set xlabel "entries in the store index"
set ylabel "µs per entry"
set yrange [0:*]
plot "index.dat" using 1:2 with linespoints lw 2 title "bfold install (over the empty store)", \
     "" using 1:3 with linespoints lw 2 title "index read + replace (in-process)"

set output "memory.png"
set title "Peak resident memory against payload size"
set xlabel "payload (MiB)"
set ylabel "peak RSS (MiB)"
set logscale x 2
plot "memory.dat" using 1:2 with linespoints lw 2 title "bfold install", \
     "" using 1:3 with linespoints lw 2 title "bfold pack"
"""


def charts(results):
    with open(os.path.join(results, "charts.gp"), "w") as f:
        f.write(GNUPLOT)
    try:
        subprocess.run(["gnuplot", "charts.gp"], cwd=results, check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"report.py: no charts: {e}", file=sys.stderr)


if __name__ == "__main__":
    main()
