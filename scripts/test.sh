#!/usr/bin/env bash
# Builds and tests everything, as CI does:
#   1. installs what is missing (scripts/install-deps.sh);
#   2. native build with GCC, and its tests (CTest label native);
#   3. native build with Clang of the libraries and tools (build only: the
#      same sources under another compiler's warnings);
#   4. the release (scripts/check-release.sh): two builds of the signed
#      release DLL in different directories are identical; signature, tables
#      and version block checked;
#   5. i686 MinGW build: Brackenfold.dll, the product, its test host and its
#      Windows tests; the sessions load the signed release DLL of step 4;
#   6. the Windows tests on the product under 32-bit Wine (CTest label wine:
#      the GoogleTest suites, the install sessions, and the check of the DLL's
#      export and import tables);
#   7. scripts/test-hardening.sh: the native tests under ASan and UBSan, the
#      fuzz targets for a bounded time, clang-tidy and cppcheck.
# Prints a summary; the exit status is 0 only when every step passed.
# Environment: JOBS (parallel build jobs, default: number of cores),
# BRACKENFOLD_BUILD (build root, default build/test).
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
ROOT=${BRACKENFOLD_BUILD:-build/test}
LOGS=$ROOT/logs
mkdir -p "$LOGS"

summary=()
failed=0
# step NAME COMMAND...: runs the command, its output into a log, and records
# the outcome.
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

configure() {  # configure DIR [CMAKE ARGS...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

native_gcc() {
  configure "$ROOT/native-gcc" -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ &&
    cmake --build "$ROOT/native-gcc" -j"$JOBS"
}
native_clang() {
  configure "$ROOT/native-clang" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBRACKENFOLD_TESTS=OFF &&
    cmake --build "$ROOT/native-clang" -j"$JOBS"
}
mingw32() {
  configure "$ROOT/mingw-i686" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DBRACKENFOLD_SESSION_DLL="$(realpath "$ROOT")/release/dist/signed/Brackenfold.dll" &&
    cmake --build "$ROOT/mingw-i686" -j"$JOBS"
}

step "install dependencies" bash scripts/install-deps.sh
if [ $failed -ne 0 ]; then
  echo "test: dependencies could not be installed; nothing else was tried" >&2
  exit 1
fi
step "native build (GCC)" native_gcc
step "native tests" ctest --test-dir "$ROOT/native-gcc" -j"$JOBS" --output-on-failure
step "native build (Clang)" native_clang
step "release: reproducible, signed, versioned" \
  env JOBS="$JOBS" bash scripts/check-release.sh "$ROOT/release" "$ROOT/native-gcc/tools/bfold"
step "i686 MinGW build (the product)" mingw32
step "Wine tests (i686 under 32-bit Wine)" ctest --test-dir "$ROOT/mingw-i686" -j"$JOBS" --output-on-failure
step "hardening: sanitizers, fuzzing, static analysis" \
  env BRACKENFOLD_BUILD="$ROOT" JOBS="$JOBS" bash scripts/test-hardening.sh

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
# One closing count over every CTest run above.
passed=0
failures=0
for log in "$LOGS"/*.log; do
  while read -r total bad; do
    passed=$((passed + total - bad))
    failures=$((failures + bad))
  done < <(sed -n 's/.*tests passed, \([0-9]*\) tests\? failed out of \([0-9]*\).*/\2 \1/p' "$log")
done
if [ $failed -ne 0 ]; then
  echo "test: FAILED"
else
  echo "test: all passed"
fi
echo "tests: $passed passed, $failures failed"
exit $failed
