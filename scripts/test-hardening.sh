#!/usr/bin/env bash
# Hardening checks, run by scripts/test.sh after the ordinary builds:
#   1. a native clang build with AddressSanitizer and UndefinedBehaviorSanitizer
#      (leak checking included) and libFuzzer's coverage, and the whole native
#      test suite in it;
#   2. every fuzz target of fuzz/ for FUZZ_SECONDS over its seeds (a crash, a
#      leak, a sanitizer report or a slow input fails it);
#   3. clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions) over the
#      native sources; any finding fails.
# Prints a summary; the exit status is 0 only when every step passed.
# Environment: JOBS (default: number of cores), FUZZ_SECONDS (default 30),
# BRACKENFOLD_BUILD (build root, default build/test; this uses
# $BRACKENFOLD_BUILD/rel-hardening).
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
ROOT=${BRACKENFOLD_BUILD:-build/test}
BUILD=$ROOT/rel-hardening
LOGS=$ROOT/logs/hardening
mkdir -p "$LOGS"

summary=()
failed=0
step() {
  local name=$1 log="$LOGS/$(echo "$1" | tr -c 'A-Za-z0-9\n' '-').log" start=$SECONDS
  shift
  echo "=== $name"
  if "$@" >"$log" 2>&1; then
    summary+=("PASS  $name ($((SECONDS - start)) s)")
  else
    summary+=("FAIL  $name ($((SECONDS - start)) s, log: $log)")
    failed=1
    tail -n 40 "$log"
  fi
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

build() {
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBRACKENFOLD_SANITIZE=address,undefined -DBRACKENFOLD_FUZZ=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON &&
    cmake --build "$BUILD" -j"$JOBS"
}

FUZZERS=(blob_reader_fuzzer index_reader_fuzzer descriptor_fuzzer
         blob_list_fuzzer directory_path_fuzzer)
# Memory limits per target (default: -rss_limit_mb=2048). Extraction runs
# tight, so that a decompression bomb fails it even where no invariant does.
declare -A FUZZ_LIMITS=(
  [blob_reader_fuzzer]="-rss_limit_mb=1024 -malloc_limit_mb=64"
)

# fuzz NAME: runs one target over a scratch copy of its seeds, so the
# committed corpus is never touched; crash inputs go to $BUILD/fuzz-runs/NAME.
fuzz() {
  local name=$1 work="$BUILD/fuzz-runs/$1" dict=() limits
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/crashes"
  [ -f "fuzz/dict/$name.dict" ] && dict=(-dict="fuzz/dict/$name.dict")
  read -ra limits <<<"${FUZZ_LIMITS[$name]:--rss_limit_mb=2048}"
  "$BUILD/fuzz/$name" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
    "${limits[@]}" -max_len=8192 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="$work/crashes/" "$work/corpus" "fuzz/seeds/$name"
}

# The native sources in the compile database (the Win32-only ones are not).
native_sources() {
  python3 - "$BUILD/compile_commands.json" <<'PY'
import json, os, sys
root = os.getcwd()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(entry["file"], root)
    if path.split(os.sep)[0] in ("platform", "store", "blob", "component", "win32", "tools"):
        print(path)
PY
}

tidy() {
  local sources
  mapfile -t sources < <(native_sources | sort -u)
  [ ${#sources[@]} -gt 0 ] || { echo "no sources in the compile database"; return 1; }
  run-clang-tidy -quiet -j "$JOBS" -p "$BUILD" "${sources[@]}"
}

cppcheck_run() {
  cppcheck --quiet --enable=warning,performance,portability --std=c++17 \
    --language=c++ --inline-suppr --suppressions-list=.cppcheck-suppressions \
    --error-exitcode=1 -I . -D__linux__ -U_WIN32 \
    --template='{file}:{line}: {severity} ({id}): {message}' \
    platform/env.cc platform/env_posix.cc platform/env_posix_store_files.cc \
    platform/env_posix_snapshot.cc store blob component win32 tools
}

step "sanitizer build (clang, ASan+UBSan, libFuzzer)" build
if [ $failed -eq 0 ]; then
  step "native tests under ASan+UBSan" \
    ctest --test-dir "$BUILD" -L native -j"$JOBS" --output-on-failure
  for f in "${FUZZERS[@]}"; do
    step "fuzz $f (${FUZZ_SECONDS} s)" fuzz "$f"
  done
  step "clang-tidy" tidy
fi
step "cppcheck" cppcheck_run

echo
echo "=== Hardening summary"
printf '%s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "test-hardening: FAILED"
  exit 1
fi
echo "test-hardening: all passed"
