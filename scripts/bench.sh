#!/usr/bin/env bash
# Measures the installation: builds a Release build (build/bench-release),
# makes its inputs in a temporary directory (removed at the end), runs every
# measurement on this machine and writes bench/results/results.md, the raw
# timings and PNG charts. docs/benchmarks.md explains the numbers.
#
#   bash scripts/bench.sh [--quick] [--profile]
#
#   --quick    small inputs and two runs each, to try the script (minutes)
#   --profile  also record perf profiles of the two installs into the results
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
    -h | --help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
  libbenchmark-dev time zip unzip tar gzip gnuplot-nox python3; do need "$p"; done
[[ $PROFILE == 1 ]] && need linux-perf
if ((${#need_packages[@]})); then
  log "installing ${need_packages[*]}"
  apt-get update -qq && apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

# --- build ---------------------------------------------------------------------
log "building $BUILD (Release)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target bfold bench_inputs bench_inflate \
  bench_phases install_micro_bench >/dev/null
BFOLD=$BUILD/tools/bfold
B=$BUILD/bench
KEY=$ROOT/keys/demo-private.key

WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/bfold-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
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
  echo "tmp $WORK"
  echo "tools $(tar --version | head -1); $(unzip -v | head -1 | cut -c1-40); $(sha1sum --version | head -1); zlib $(awk '/define ZLIB_VERSION / { print $3 }' /usr/include/zlib.h | tr -d '"')"
} >"$RESULTS/meta.txt"

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
done
rm -rf "$OUT" "$WORK/payload.tar.gz" "$WORK/payload.zip"

# --- 2. many small components ------------------------------------------------------
log "2. $SMALL_COUNT small components ($RUNS runs)"
mkdir -p "$WORK/small"
"$B/bench_inputs" blobs "$WORK/small" "$SMALL_COUNT" 4096 "$KEY"
for ((r = 0; r <= RUNS; r++)); do
  fresh "$OUT"
  run "small" "$BFOLD" install --dir "$OUT/store" "$WORK"/small/*.blob
  fresh "$OUT"
  "$B/bench_phases" "$OUT/store" "$WORK"/small/*.blob >"$WORK/phases"
  [[ $r == 0 ]] || cat "$WORK/phases" >>"$RAW"
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
  mkdir -p "$WORK/small"
  "$B/bench_inputs" blobs "$WORK/small" "$SMALL_COUNT" 4096 "$KEY"
  perf_top small "$BFOLD" install --dir "$OUT/store" "$WORK"/small/*.blob
  rm -rf "$WORK/small" "$OUT"
fi

echo "load_end $(cut -d' ' -f1-3 /proc/loadavg)" >>"$RESULTS/meta.txt"
log "report"
python3 "$ROOT/bench/report.py" "$RESULTS"
log "done: $RESULTS/results.md"
