#!/usr/bin/env bash
# The main job: builds Brackenfold.dll (i686, the product) with the test host,
# and the bfold tool, packs two demo components with the demo key (a
# core component, and a viewer that requires it, with an initialisation
# library and an expose list), installs them with `bfold install` into a demo
# store and shows its index, then plays one installation with the product DLL
# under 32-bit Wine over the same blobs: the test host shows the Vantorium 3D Player window, loads the DLL
# and calls Wise_DoInstall with a data directory, the blob list and the
# plug-in library; it prints what it saw and what ended up on disk and in the
# registry, the viewer's initialisation call included. Everything lands in
# demo-out/ (the Wine prefix is kept there for a look around:
# WINEPREFIX=demo-out/wineprefix).
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
cmake --build "$ROOT/mingw-i686" --target Brackenfold install_host init_recorder -j"$JOBS" \
  >>"$ROOT/i686.log" 2>&1 || { tail -n 40 "$ROOT/i686.log"; exit 1; }
cmake -S . -B "$ROOT/native" -DBRACKENFOLD_TESTS=OFF >"$ROOT/native.log" 2>&1
cmake --build "$ROOT/native" --target bfold -j"$JOBS" >>"$ROOT/native.log" 2>&1 ||
  { tail -n 40 "$ROOT/native.log"; exit 1; }
BFOLD=$ROOT/native/tools/bfold

rm -rf "$OUT"
mkdir -p "$OUT/dist" "$OUT/blobs"
cp "$ROOT/mingw-i686/win32/dll/Brackenfold.dll" "$OUT/dist/Brackenfold.dll"
python3 tests/wine/check_dll_tables.py i686-w64-mingw32-objdump "$OUT/dist/Brackenfold.dll"

export BRACKENFOLD_WINEPREFIX=$OUT/wineprefix
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }
run() { scripts/wine-run.sh "$@" | tr -d '\r'; }
# The product itself: wine-run.sh runs the 32-bit host under 32-bit Wine.
DLL=$OUT/dist/Brackenfold.dll
HOST=$ROOT/mingw-i686/tests/wine/install_host.exe

echo "demo: packing the components with the demo key"
mkdir -p "$OUT/src/core/component" "$OUT/src/viewer"
echo "Vantorium core data" >"$OUT/src/core/core.dat"
: >"$OUT/src/core/component/prereq"
echo "Vantorium viewer data" >"$OUT/src/viewer/viewer.dat"
# The viewer's initialisation library records the call it gets beside itself
# (viewerXXXXXXXX.dll.calls); it is a Windows DLL, so only the Wine run loads
# it, and the Linux tool passes it over.
cp "$ROOT/mingw-i686/tests/wine/init_recorder.dll" "$OUT/src/viewer/viewer.dll"
"$BFOLD" pack "$OUT/src/core" -o "$OUT/blobs/core.blob" --key keys/demo-private.key \
  --id core --version 2 --title "Vantorium core" --description "What every viewer needs" |
  sed 's/^/  /'
"$BFOLD" pack "$OUT/src/viewer" -o "$OUT/blobs/viewer.blob" --key keys/demo-private.key \
  --id viewer --version 3 --title "Vantorium viewer" --description "Shows Vantorium applets" \
  --prereq "1,CORE,2" --initialize viewer.dll --expose "Viewer.dll,viewer.dll" | sed 's/^/  /'

echo "demo: checking and installing with the tool into demo-out/store"
"$BFOLD" check "$OUT/blobs/viewer.blob" "$OUT/blobs/core.blob" | sed 's/^/  /'
"$BFOLD" install --dir "$OUT/store" "$OUT/blobs/core.blob" "$OUT/blobs/viewer.blob" | sed 's/^/  /'
"$BFOLD" index "$OUT/store" | sed 's/^/  /'
BLOBS="$(winpath "$OUT/blobs")\\core.blob,$(winpath "$OUT/blobs")\\viewer.blob"

echo "demo: installing with the product DLL under 32-bit Wine"
echo "  data directory: $DATA_DIR"
echo "  blob list:      $BLOBS"
echo "  plug-in:        $(winpath "$DLL")"
set +e
run "$HOST" --timeout 120 "$(winpath "$DLL")" "$DATA_DIR" "$BLOBS" \
  "$(winpath "$DLL")" | sed 's/^/  host: /'
status=${PIPESTATUS[0]}
set -e

echo "demo: the registry afterwards (the 32-bit view, where a 32-bit installer's keys land)"
run reg query 'HKLM\SOFTWARE\Vantorium\Vantorium Player' /reg:32 | sed '/^$/d; s/^/  /'
run reg query 'HKLM\SOFTWARE\Microsoft\Internet Explorer\Plugins' /s /reg:32 | sed '/^$/d; s/^/  /'
echo "demo: the data directory afterwards"
(cd "$OUT/wineprefix/drive_c/Program Files/Vantorium/Vantorium Player" 2>/dev/null &&
  find . -type f -printf '  %p (%s bytes)\n' | sort &&
  echo "demo: its component index" && sed 's/^/  /' components/compindx.dat &&
  echo "demo: the viewer's initialisation call" &&
  cat components/*.calls | sed 's/^/  /') || echo "  (missing)"
echo "demo: the product DLL is $OUT/dist/Brackenfold.dll"
exit "$status"
