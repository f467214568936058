#!/usr/bin/env bash
# The main job: builds Brackenfold.dll (i686, the product, and x86_64, to run
# here), then plays one installation under Wine: the test host shows the
# Vantorium 3D Player window, loads the DLL and calls Wise_DoInstall with a
# data directory, a blob list with one small signed component blob, and the
# plug-in library; it prints what it saw and what ended up on disk and in the
# registry. Everything lands in demo-out/ (the Wine prefix is kept there for
# a look around: WINEPREFIX=demo-out/wineprefix).
# Environment: JOBS (parallel build jobs), BRACKENFOLD_BUILD (build root).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
ROOT=${BRACKENFOLD_BUILD:-build/demo}
OUT=$PWD/demo-out
DATA_DIR='C:\Program Files\Vantorium\Vantorium Player'

bash scripts/install-deps.sh
echo "demo: building (logs in $ROOT)"
mkdir -p "$ROOT"
cmake -S . -B "$ROOT/mingw-i686" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >"$ROOT/i686.log" 2>&1
cmake --build "$ROOT/mingw-i686" --target Brackenfold -j"$JOBS" >>"$ROOT/i686.log" 2>&1 ||
  { tail -n 40 "$ROOT/i686.log"; exit 1; }
cmake -S . -B "$ROOT/mingw-x86_64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >"$ROOT/x86_64.log" 2>&1
cmake --build "$ROOT/mingw-x86_64" --target Brackenfold install_host make_test_blob -j"$JOBS" \
  >>"$ROOT/x86_64.log" 2>&1 || { tail -n 40 "$ROOT/x86_64.log"; exit 1; }

rm -rf "$OUT"
mkdir -p "$OUT/dist" "$OUT/blobs"
cp "$ROOT/mingw-i686/resources/Brackenfold.dll" "$OUT/dist/Brackenfold.dll"
python3 tests/wine/check_dll_tables.py i686-w64-mingw32-objdump "$OUT/dist/Brackenfold.dll"

export BRACKENFOLD_WINEPREFIX=$OUT/wineprefix
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }
run() { scripts/wine-run.sh "$@" | tr -d '\r'; }
DLL=$ROOT/mingw-x86_64/resources/Brackenfold.dll
HOST=$ROOT/mingw-x86_64/tests/wine/install_host.exe

echo "demo: packing a component blob (viewer, version 3)"
run "$ROOT/mingw-x86_64/tests/wine/make_test_blob.exe" "$(winpath "$OUT/blobs")\\viewer.blob" \
  viewer 3 "viewer.dat=Vantorium viewer data"

echo "demo: installing under Wine"
echo "  data directory: $DATA_DIR"
echo "  blob list:      $(winpath "$OUT/blobs")\\viewer.blob"
echo "  plug-in:        $(winpath "$DLL")"
set +e
run "$HOST" --timeout 120 "$(winpath "$DLL")" "$DATA_DIR" "$(winpath "$OUT/blobs")\\viewer.blob" \
  "$(winpath "$DLL")" | sed 's/^/  host: /'
status=${PIPESTATUS[0]}
set -e

echo "demo: the registry afterwards"
run reg query 'HKLM\SOFTWARE\Vantorium\Vantorium Player' | sed '/^$/d; s/^/  /'
echo "demo: the data directory afterwards"
(cd "$OUT/wineprefix/drive_c/Program Files/Vantorium/Vantorium Player" 2>/dev/null &&
  find . -type f -printf '  %p (%s bytes)\n' | sort) || echo "  (missing)"
echo "demo: the product DLL is $OUT/dist/Brackenfold.dll"
exit "$status"
