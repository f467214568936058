#!/usr/bin/env bash
# Checks the release that scripts/release.sh makes:
#   - reproducible: a second build, from a copy of the sources in another
#     directory (no git there) and a few minutes later, gives the same bytes;
#   - signed: osslsigncode verifies the signature, and removing it gives back
#     the unsigned DLL, so the signature changes nothing the DLL does;
#   - the signed DLL's export and import tables, its version block (and that
#     bfold --version says the same), SHA256SUMS, and the 1 MiB size budget.
# Leaves the signed DLL in WORKDIR/dist/signed/Brackenfold.dll.
#
# usage: scripts/check-release.sh WORKDIR [BFOLD]
#   BFOLD: a bfold of the same sources, to compare its --version with the DLL's
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] && [ $# -le 2 ] || { sed -n 's/^# usage: //p' "$0" >&2; exit 2; }
WORK=$1
BFOLD=${2:-}
TRIPLE=i686-w64-mingw32
# The budget: today's size and a little room; docs/installer.md says what
# takes the space.
MAX_SIZE=$((2816 * 1024))

fail() { echo "check-release: FAIL: $*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(realpath "$WORK")
A=$WORK/dist
bash scripts/release.sh --out "$A" --build "$WORK/build"
dll=$A/Brackenfold.dll
signed=$A/signed/Brackenfold.dll
commit=$(sed -n 's/^source commit: //p' "$A/BUILDINFO")
epoch=$(sed -n 's/.*(SOURCE_DATE_EPOCH=\([0-9]*\))$/\1/p' "$A/BUILDINFO")

# The same sources elsewhere, outside any git work tree: the commit and its
# time come from the environment, as for a build from a source archive.
elsewhere=$(mktemp -d /tmp/brackenfold-release-XXXXXX)
trap 'rm -rf "$elsewhere"' EXIT
other=$elsewhere/src
mkdir -p "$other"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$other"
env SOURCE_DATE_EPOCH="$epoch" BRACKENFOLD_COMMIT="$commit" \
  bash "$other/scripts/release.sh" --out "$elsewhere/dist" --build "$elsewhere/build" \
  --cert keys/demo-codesign.crt --key keys/demo-codesign.key
cmp "$dll" "$elsewhere/dist/Brackenfold.dll" || fail "two builds of $commit differ"
echo "check-release: two builds of $commit are identical"

(cd "$A" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

osslsigncode verify -in "$signed" -CAfile keys/demo-codesign.crt ||
  fail "the signature does not verify"
osslsigncode remove-signature -in "$signed" -out "$WORK/unsigned.dll" >/dev/null
cmp "$dll" "$WORK/unsigned.dll" || fail "the signed DLL is more than the DLL and a signature"

python3 tests/wine/check_dll_tables.py "$TRIPLE-objdump" "$signed"

version=$(sed -n 's/^Brackenfold.dll //p' "$A/BUILDINFO")
strings -el "$signed" | grep -qxF "$version" || fail "the version block lacks '$version'"
if [ -n "$BFOLD" ]; then
  [ "$("$BFOLD" --version)" = "bfold $version" ] ||
    fail "bfold --version says '$("$BFOLD" --version)', the DLL '$version'"
fi

size=$(stat -c %s "$signed")
[ "$size" -le "$MAX_SIZE" ] || fail "the signed DLL has $size bytes, more than $MAX_SIZE"
echo "check-release: passed ($size bytes signed, $(stat -c %s "$dll") unsigned)"
