#!/usr/bin/env bash
# Measures the installation: builds a Release build (build/bench-release)
# and Release builds of Brackenfold.dll and the test host for both MinGW
# targets (build/bench-release-i686, build/bench-release-x86_64), makes its
# inputs in a temporary directory (removed at the end), runs every
# measurement on this machine and writes bench/results/results.md, the raw
# timings and PNG charts. docs/benchmarks.md explains the numbers.
#
#   bash scripts/bench.sh [--quick] [--profile]
#
#   --quick    small inputs and two runs each, to try the script (minutes)
#   --profile  also record perf profiles of the installs into the results
#              (bfold, and the i686 DLL under Wine)
#
# The DLLs install under Wine (the i686 one under 32-bit Wine) through the
# test host (tests/wine/install_host.cc), in one Wine prefix made for the
# run, with one Xvfb display and one wineserver kept for the whole run.
#
# Environment: BENCH_RUNS (default 5 timed runs per case, after one warm-up),
# BENCH_TMP (where the inputs go; default $TMPDIR or /tmp), BENCH_BUILD,
# BENCH_RESULTS.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench-release}
RESULTS=${BENCH_RESULTS:-$ROOT/bench/results}
RUNS=${BENCH_RUNS:-5}
QUICK=0
PROFILE=0
for arg in "$@"; do
  case $arg in
    --quick) QUICK=1 ;;
    --profile) PROFILE=1 ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

MiB=$((1024 * 1024))
if [[ $QUICK == 1 ]]; then
  RUNS=${BENCH_RUNS:-2}
  MAIN_SIZE=$((16 * MiB)); SIZES="$((4 * MiB)) $((16 * MiB)) $((64 * MiB))"
  SMALL_COUNT=100; INDEX_SIZES="0 1000 10000"; LARGE_RUNS=1
else
  MAIN_SIZE=$((256 * MiB)); SIZES="$((64 * MiB)) $((256 * MiB)) $((1024 * MiB))"
  SMALL_COUNT=1000; INDEX_SIZES="0 1000 10000 100000"; LARGE_RUNS=2
fi
FILES=400

log() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "error: $*"; exit 1; }

# --- tools ---------------------------------------------------------------------
need_packages=()
need() { dpkg -s "$1" >/dev/null 2>&1 || need_packages+=("$1"); }
for p in cmake g++ make zlib1g-dev libcrypto++-dev libcli11-dev \
  libbenchmark-dev time zip unzip tar gzip gnuplot-nox python3 xvfb xauth \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 \
  libz-mingw-w64-dev wine wine64; do need "$p"; done
[[ $PROFILE == 1 ]] && need linux-perf
if ((${#need_packages[@]})); then
  log "installing ${need_packages[*]}"
  apt-get update -qq && apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi
# 32-bit Wine, and Crypto++ cross-built for MinGW once per machine, come from
# the project's dependency script.
CACHE=${BRACKENFOLD_CACHE:-/var/cache/brackenfold}
if ! compgen -G "$CACHE/cryptopp-*-cpu-dispatch-*.done" >/dev/null ||
  [[ ! -f $CACHE/i686-w64-mingw32/lib/libcryptopp.a ]] ||
  [[ ! -f $CACHE/x86_64-w64-mingw32/lib/libcryptopp.a ]] ||
  ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  log "running scripts/install-deps.sh (32-bit Wine, Crypto++ for MinGW)"
  bash "$ROOT/scripts/install-deps.sh" >&2
fi

# --- build ---------------------------------------------------------------------
log "building $BUILD (Release)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target bfold bench_inputs bench_inflate \
  bench_phases install_micro_bench >/dev/null
BFOLD=$BUILD/tools/bfold
B=$BUILD/bench
KEY=$ROOT/keys/demo-private.key
# The product: Brackenfold.dll, and the test host that loads it, per target.
for arch in i686 x86_64; do
  log "building $BUILD-$arch (Release, MinGW $arch)"
  cmake -S "$ROOT" -B "$BUILD-$arch" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" \
    -DBRACKENFOLD_TESTS=OFF >/dev/null
  cmake --build "$BUILD-$arch" -j"$(nproc)" --target Brackenfold >/dev/null
  "$arch-w64-mingw32-g++-posix" -std=c++17 -O2 -static \
    -o "$BUILD-$arch/install_host.exe" "$ROOT/tests/wine/install_host.cc" \
    -luser32 -lcomdlg32
done

WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/bfold-bench.XXXXXX")
WINESERVER=/usr/lib/wine/wineserver64
XVFB_PID=
cleanup() {
  if [[ -n ${WINEPREFIX:-} ]]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
  if [[ -n $XVFB_PID ]]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$RESULTS"
RAW=$RESULTS/raw.txt
: >"$RAW"

# One timed run: "LABEL WALL_SECONDS CPU_SECONDS PEAK_RSS_KIB" into the raw
# file (CPU: user + system, of the process and its children).
timed() {
  local label=$1
  shift
  local t0=$EPOCHREALTIME
  if ! /usr/bin/time -f '%U %S %M' -o "$WORK/time.out" "$@" >"$WORK/stdout" 2>"$WORK/stderr"; then
    cat "$WORK/stdout" "$WORK/stderr" >&2
    die "$label failed: $*"
  fi
  local t1=$EPOCHREALTIME
  echo "$label $(tail -n 1 "$WORK/time.out" | awk -v a="$t0" -v b="$t1" \
    '{ printf "%.6f %.2f %d", b - a, $1 + $2, $3 }')" >>"$RAW"
}
# Empties an output directory and writes back what is dirty, untimed.
fresh() { rm -rf "$1"; mkdir -p "$1"; sync; }
# One run of round $r: round 0 warms the caches and is not recorded.
run() {
  if [[ $r == 0 ]]; then
    "${@:2}" >/dev/null 2>&1 || die "$1 failed: ${*:2}"
  else
    timed "$@"
  fi
}

{
  echo "date $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "cpu $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "cores $(nproc)"
  echo "memory_kib $(awk '/MemTotal/ { print $2 }' /proc/meminfo)"
  echo "load_start $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "runs $RUNS"
  echo "large_runs $LARGE_RUNS"
  echo "quick $QUICK"
  echo "small_count $SMALL_COUNT"
  echo "tmp $WORK"
  echo "tools $(tar --version | head -1); $(unzip -v | head -1 | cut -c1-40); $(sha1sum --version | head -1); zlib $(awk '/define ZLIB_VERSION / { print $3 }' /usr/include/zlib.h | tr -d '"')"
} >"$RESULTS/meta.txt"

# --- Wine ----------------------------------------------------------------------
# One 64-bit prefix (both DLLs run in it; a 32-bit process's HKLM\Software is
# its WOW6432Node view), one X display and one wineserver for the whole run:
# every DLL run then pays the same Wine start-up, which the runs with the
# tiny blob measure and the report subtracts.
WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64
[[ -x $WINE32 ]] || die "no 32-bit Wine ($WINE32): apt-get install wine32:i386"
log "Wine: prefix, Xvfb display, wineserver"
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$WORK/display" 2>/dev/null &
XVFB_PID=$!
for ((i = 0; i < 100; i++)); do [[ -s $WORK/display ]] && break; sleep 0.1; done
[[ -s $WORK/display ]] || die "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$WORK/display")"
export WINEPREFIX=$WORK/wineprefix WINEDEBUG=-all WINELOADER=$WINE32 \
  WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p
"$WINE64" wineboot -i >/dev/null 2>&1 || true
[[ -d $WINEPREFIX/drive_c/windows/syswow64 ]] || die "wineboot made no 64-bit prefix"
# A window kept open for the whole run keeps Wine's session (the desktop
# process, services) up between runs: otherwise each run starts it again,
# which on a busy machine sometimes stalls for seconds.
"$WINE64" notepad.exe >/dev/null 2>&1 &
head -c 4096 /dev/urandom >"$WORK/plugin.dll"  # any file will do as the plug-in
# The Windows path of a Linux path (Z: is the root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# dll ARCH BLOB_LIST: sets DLL to the command of one Wise_DoInstall of that
# target's DLL, into $OUT/data.
dll() {
  local loader=$WINE64 dir=$BUILD-$1
  [[ $1 == i686 ]] && loader=$WINE32
  DLL=("$ROOT/bench/host_install.sh" "$loader" "$dir/install_host.exe"
    "$(winpath "$dir/win32/dll/Brackenfold.dll")" "$(winpath "$OUT/data")" "$2"
    "$(winpath "$WORK/plugin.dll")")
}
{
  echo "wine $("$WINE32" --version)"
  echo "mingw_gcc $(i686-w64-mingw32-gcc-posix -dumpversion)"
  echo "mingw_zlib $(awk '/define ZLIB_VERSION / { print $3 }' /usr/i686-w64-mingw32/include/zlib.h | tr -d '"')"
} >>"$RESULTS/meta.txt"

# --- inputs --------------------------------------------------------------------
make_payload() {  # SIZE -> $WORK/payload-SIZE and its signed blob
  local size=$1 dir=$WORK/payload-$1
  mkdir -p "$dir"
  "$B/bench_inputs" payload "$dir" "$size" "$FILES" 1
  timed "pack $size" "$BFOLD" pack "$dir" -o "$WORK/bench-$size.blob" \
    --key "$KEY" --id BENCH --version 1 --title Benchmark --description "mixed payload"
}
log "inputs: $((MAIN_SIZE / MiB)) MiB payload of $FILES files, blob, .tar.gz, .zip"
make_payload "$MAIN_SIZE"
BLOB=$WORK/bench-$MAIN_SIZE.blob
(cd "$WORK/payload-$MAIN_SIZE" && tar -czf "$WORK/payload.tar.gz" . && zip -q -r "$WORK/payload.zip" .)
{
  echo "payload_bytes $MAIN_SIZE"
  echo "payload_files $FILES"
  echo "blob_bytes $(stat -c %s "$BLOB")"
  echo "tgz_bytes $(stat -c %s "$WORK/payload.tar.gz")"
  echo "zip_bytes $(stat -c %s "$WORK/payload.zip")"
} >>"$RESULTS/meta.txt"
# The tiny blob (one 4 KiB file): its DLL runs are Wine's start-up and the
# call's fixed costs, which the report subtracts from the DLL's runs.
mkdir -p "$WORK/tiny"
"$B/bench_inputs" blobs "$WORK/tiny" 1 4096 "$KEY"
TINY=$(winpath "$WORK/tiny/small00000.blob")

# --- 1. install throughput -------------------------------------------------------
log "1. install throughput ($RUNS runs each)"
OUT=$WORK/out
for ((r = 0; r <= RUNS; r++)); do
  fresh "$OUT"
  run "install" "$BFOLD" install --dir "$OUT/store" "$BLOB"
  fresh "$OUT"
  run "tar" tar -xzf "$WORK/payload.tar.gz" -C "$OUT"
  fresh "$OUT"
  run "unzip" unzip -q "$WORK/payload.zip" -d "$OUT"
  fresh "$OUT"
  run "sha1sum2" sh -c 'sha1sum "$1" && sha1sum "$1"' - "$BLOB"
  fresh "$OUT"
  run "inflate" "$B/bench_inflate" "$BLOB" "$OUT"
  fresh "$OUT"
  run "unavoidable" sh -c \
    'sha1sum "$1" && sha1sum "$1" && "$2" "$1" "$3"' - "$BLOB" "$B/bench_inflate" "$OUT"
  fresh "$OUT"
  run "sha1sum2_tar" sh -c \
    'sha1sum "$1" && sha1sum "$1" && tar -xzf "$2" -C "$3"' - "$BLOB" "$WORK/payload.tar.gz" "$OUT"
  for arch in i686 x86_64; do
    fresh "$OUT"
    dll "$arch" "$(winpath "$BLOB")"
    run "dll $arch" "${DLL[@]}"
    fresh "$OUT"
    dll "$arch" "$TINY"
    run "dll $arch tiny" "${DLL[@]}"
  done
done
rm -rf "$OUT" "$WORK/payload.tar.gz" "$WORK/payload.zip"

# --- 2. many small components ------------------------------------------------------
log "2. $SMALL_COUNT small components ($RUNS runs)"
mkdir -p "$WORK/small"
"$B/bench_inputs" blobs "$WORK/small" "$SMALL_COUNT" 4096 "$KEY"
# For the DLL, drive D: is the blob directory: the blob list
# (D:\small00000.blob,...) then fits a Windows command line.
ln -sfn "$WORK/small" "$WINEPREFIX/dosdevices/d:"
SMALL_LIST=$(cd "$WORK/small" && printf 'D:\\%s,' *.blob)
SMALL_LIST=${SMALL_LIST%,}
for ((r = 0; r <= RUNS; r++)); do
  fresh "$OUT"
  run "small" "$BFOLD" install --dir "$OUT/store" "$WORK"/small/*.blob
  fresh "$OUT"
  "$B/bench_phases" "$OUT/store" "$WORK"/small/*.blob >"$WORK/phases"
  [[ $r == 0 ]] || cat "$WORK/phases" >>"$RAW"
  fresh "$OUT"
  dll i686 "$SMALL_LIST"
  run "dll i686 small" "${DLL[@]}"
  fresh "$OUT"
  dll i686 'D:\small00000.blob'
  run "dll i686 small one" "${DLL[@]}"
done

# --- 3. index scaling ----------------------------------------------------------------
log "3. index scaling: $INDEX_SIZES entries ($RUNS runs each)"
ONE=$WORK/small/small00000.blob
for n in $INDEX_SIZES; do
  "$B/bench_inputs" index "$WORK/index-$n.dat" "$n"
  for ((r = 0; r <= RUNS; r++)); do
    fresh "$OUT/store"
    cp "$WORK/index-$n.dat" "$OUT/store/compindx.dat"
    run "index $n" "$BFOLD" install --dir "$OUT/store" "$ONE"
  done
  rm -f "$WORK/index-$n.dat"
done
rm -rf "$WORK/small" "$OUT"

# --- 4. memory -----------------------------------------------------------------------
log "4. peak memory: payloads of $(for s in $SIZES; do printf '%s ' $((s / MiB)); done)MiB"
for size in $SIZES; do
  [[ -f $WORK/bench-$size.blob ]] || make_payload "$size"
  rm -rf "$WORK/payload-$size"
  runs=$RUNS
  ((size > 256 * MiB)) && runs=$LARGE_RUNS
  for ((r = 1; r <= runs; r++)); do
    fresh "$OUT"
    timed "memory $size" "$BFOLD" install --dir "$OUT/store" "$WORK/bench-$size.blob"
    fresh "$OUT"
    dll i686 "$(winpath "$WORK/bench-$size.blob")"
    timed "dllmemory $size" "${DLL[@]}"
  done
  rm -rf "$OUT"
  [[ $size == "$MAIN_SIZE" ]] || rm -f "$WORK/bench-$size.blob"
done

# --- 5. micro benchmarks: signature checks, digest, index ----------------------------
log "5. micro benchmarks (Google Benchmark)"
"$B/install_micro_bench" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$RESULTS/micro.json" --benchmark_out_format=json >/dev/null

# --- profiles -------------------------------------------------------------------------
if [[ $PROFILE == 1 ]]; then
  log "profiles (perf)"
  fresh "$OUT"
  perf_top() {  # NAME COMMAND...: the hottest symbols of one run
    local name=$1
    shift
    fresh "$OUT"
    perf record -q -o "$WORK/perf.data" "$@" >/dev/null 2>&1
    { perf report -i "$WORK/perf.data" --stdio --sort dso 2>/dev/null
      perf report -i "$WORK/perf.data" --stdio --sort dso,sym --percent-limit 0.8 2>/dev/null
    } | grep '%' >"$RESULTS/profile-$name.txt"
  }
  perf_top install "$BFOLD" install --dir "$OUT/store" "$BLOB"
  # The i686 DLL under Wine: perf cannot name the DLL's code (Wine copies it
  # to anonymous memory), so wine_profile.py names it from its symbols. The
  # tiny blob's profile is Wine's start-up, to set against it.
  dll_profile() {  # NAME BLOB_LIST
    fresh "$OUT"
    dll i686 "$2"
    perf record -q -o "$WORK/perf.data" "${DLL[@]}" >/dev/null 2>&1
    python3 "$ROOT/bench/wine_profile.py" "$WORK/perf.data" \
      "$BUILD-i686/win32/dll/Brackenfold.dll" i686-w64-mingw32-nm \
      >"$RESULTS/profile-$1.txt"
  }
  dll_profile dll-i686 "$(winpath "$BLOB")"
  dll_profile dll-i686-tiny "$TINY"
  mkdir -p "$WORK/small"
  "$B/bench_inputs" blobs "$WORK/small" "$SMALL_COUNT" 4096 "$KEY"
  perf_top small "$BFOLD" install --dir "$OUT/store" "$WORK"/small/*.blob
  rm -rf "$WORK/small" "$OUT"
fi

echo "load_end $(cut -d' ' -f1-3 /proc/loadavg)" >>"$RESULTS/meta.txt"
log "report"
python3 "$ROOT/bench/report.py" "$RESULTS"
log "done: $RESULTS/results.md"
