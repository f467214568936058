#!/usr/bin/env bash
# Builds the release of Brackenfold.dll from a clean build directory and
# writes dist/:
#   Brackenfold.dll         i686, Release, stripped: the bytes that anyone can
#                           rebuild from the same commit (docs/installer.md)
#   signed/Brackenfold.dll  the same DLL with an Authenticode signature
#   SHA256SUMS              of both (sha256sum -c SHA256SUMS)
#   BUILDINFO               version, commit, compiler, zlib and Crypto++
#
# usage: scripts/release.sh [OPTIONS]
#   --out DIR          where to write (default: dist)
#   --build DIR        the build directory, emptied first (default: build/release)
#   --public-key FILE  the blob public key built in (default: keys/demo-public.der,
#                      DEMO AND TEST ONLY)
#   --cert FILE        signing certificate (PEM, with its chain), with --key
#   --key FILE         its private key (PEM)
#   --pkcs12 FILE      or certificate and key in one PKCS#12 file
#   --pass-file FILE   the password of the key or PKCS#12 file
#   --timestamp URL    an RFC 3161 time-stamping service for the signature
# Without --cert/--key or --pkcs12 the DLL is signed with the demo certificate
# keys/demo-codesign.crt, made with its key on first use: DEMO AND TEST ONLY.
#
# Environment: SOURCE_DATE_EPOCH and BRACKENFOLD_COMMIT name the commit's
# time (seconds since 1970) and id; taken from git when unset, and required
# for a tree without git (an exported source tree). JOBS: build jobs.
set -euo pipefail
SRC=$(realpath "$(dirname "$0")/..")

usage() { sed -n '/^# usage:/,/^# Without/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
die() { echo "release: $*" >&2; exit 1; }

OUT=$SRC/dist
BUILD=$SRC/build/release
PUBLIC_KEY=$SRC/keys/demo-public.der
CERT='' KEY='' PKCS12='' PASS_FILE='' TIMESTAMP=''
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --out) OUT=$(realpath -m "$2") ;;
    --build) BUILD=$(realpath -m "$2") ;;
    --public-key) PUBLIC_KEY=$(realpath "$2") ;;
    --cert) CERT=$(realpath "$2") ;;
    --key) KEY=$(realpath "$2") ;;
    --pkcs12) PKCS12=$(realpath "$2") ;;
    --pass-file) PASS_FILE=$(realpath "$2") ;;
    --timestamp) TIMESTAMP=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ -n "$PKCS12" ] && [ -n "$CERT$KEY" ]; then usage; fi
if { [ -n "$CERT" ] && [ -z "$KEY" ]; } || { [ -z "$CERT" ] && [ -n "$KEY" ]; }; then
  die "--cert and --key go together"
fi
cd "$SRC"

bash scripts/install-deps.sh

TRIPLE=i686-w64-mingw32
JOBS=${JOBS:-$(nproc)}

# The commit and its time pin everything that would differ between builds.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$SRC" log -1 --format=%ct 2>/dev/null) ||
    die "no git here: set SOURCE_DATE_EPOCH and BRACKENFOLD_COMMIT"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH is not a number of seconds"
export SOURCE_DATE_EPOCH

# A clean build: nothing of an earlier commit or configuration is reused.
if [ -e "$BUILD" ]; then
  [ -e "$BUILD/CMakeCache.txt" ] || die "$BUILD exists and is not a build directory"
  rm -rf "$BUILD"
fi
cmake -S "$SRC" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBRACKENFOLD_TESTS=OFF -DBRACKENFOLD_PUBLIC_KEY="$PUBLIC_KEY" \
  -DBRACKENFOLD_COMMIT="${BRACKENFOLD_COMMIT:-}" >/dev/null
cmake --build "$BUILD" --target Brackenfold -j"$JOBS" >/dev/null
version_header=$BUILD/generated/brackenfold_version.h
version_text=$(sed -n 's/^#define BRACKENFOLD_VERSION_TEXT "\(.*\)"$/\1/p' "$version_header")
commit=$(sed -n 's/^#define BRACKENFOLD_COMMIT "\(.*\)"$/\1/p' "$version_header")
case $commit in
  unknown) die "no git here: set BRACKENFOLD_COMMIT" ;;
  *-dirty) echo "release: WARNING: uncommitted changes; this build cannot be reproduced" >&2 ;;
esac

mkdir -p "$OUT/signed"
rm -f "$OUT/Brackenfold.dll" "$OUT/signed/Brackenfold.dll" "$OUT/SHA256SUMS" "$OUT/BUILDINFO"
cp "$BUILD/win32/dll/Brackenfold.dll" "$OUT/Brackenfold.dll"

# Signing. The demo certificate is self-signed and published nowhere; it
# shows the mechanics and lets tests verify a signature, nothing more.
demo=''
if [ -z "$CERT" ] && [ -z "$PKCS12" ]; then
  demo=' (DEMO AND TEST ONLY)'
  CERT=$SRC/keys/demo-codesign.crt
  KEY=$SRC/keys/demo-codesign.key
  if [ ! -s "$CERT" ] || [ ! -s "$KEY" ]; then
    echo "release: making the demo code-signing certificate $CERT (DEMO AND TEST ONLY)"
    (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
       -subj "/CN=Brackenfold DEMO AND TEST ONLY/O=DEMO AND TEST ONLY - do not trust" \
       -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
       -keyout "$KEY.tmp" -out "$CERT.tmp" 2>/dev/null)
    mv "$KEY.tmp" "$KEY" && mv "$CERT.tmp" "$CERT"
  fi
fi
sign=(osslsigncode sign -h sha256 -n "Vantorium 3D Player plug-in installer")
if [ -n "$PKCS12" ]; then sign+=(-pkcs12 "$PKCS12"); else sign+=(-certs "$CERT" -key "$KEY"); fi
if [ -n "$PASS_FILE" ]; then sign+=(-readpass "$PASS_FILE"); fi
if [ -n "$TIMESTAMP" ]; then sign+=(-ts "$TIMESTAMP"); fi
"${sign[@]}" -in "$OUT/Brackenfold.dll" -out "$OUT/signed/Brackenfold.dll" >/dev/null
if [ -n "$PKCS12" ]; then
  signer=$(openssl pkcs12 -in "$PKCS12" -nokeys -clcerts ${PASS_FILE:+-passin file:"$PASS_FILE"} |
           openssl x509 -noout -subject -nameopt oneline)
else
  signer=$(openssl x509 -in "$CERT" -noout -subject -nameopt oneline)
fi

(cd "$OUT" && sha256sum Brackenfold.dll signed/Brackenfold.dll > SHA256SUMS)

key_note=''
if cmp -s "$PUBLIC_KEY" "$SRC/keys/demo-public.der"; then
  key_note=' (DEMO AND TEST ONLY)'
  echo "release: WARNING: built with the demo blob key; see keys/README.md" >&2
fi
pkg_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }
zlib_version=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' /usr/$TRIPLE/include/zlib.h)
cryptopp_root=$(sed -n 's/^BRACKENFOLD_CRYPTOPP_ROOT:PATH=//p' "$BUILD/CMakeCache.txt")
cryptopp_version=$(tr -d '\r' < "$cryptopp_root/include/cryptopp/config_ver.h" |
  sed -n 's/^#define CRYPTOPP_\(MAJOR\|MINOR\|REVISION\) \([0-9]*\)$/\2/p' | paste -sd.)
cat > "$OUT/BUILDINFO" <<EOF
Brackenfold.dll $version_text
source commit: $commit
source date: $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC') (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)
target: $TRIPLE, Release, stripped
compiler: $($TRIPLE-g++-posix --version | head -n 1) (Debian g++-mingw-w64-i686-posix $(pkg_version g++-mingw-w64-i686-posix))
linker: $($TRIPLE-ld --version | head -n 1)
zlib: $zlib_version (Debian libz-mingw-w64-dev $(pkg_version libz-mingw-w64-dev))
Crypto++: $cryptopp_version (Debian source libcrypto++ $(pkg_version libcrypto++-dev), built by scripts/install-deps.sh)
blob public key$key_note: $(basename "$PUBLIC_KEY"), sha256 $(sha256sum "$PUBLIC_KEY" | cut -d' ' -f1)
signed by$demo: $signer
EOF
echo "release: $OUT/Brackenfold.dll ($(stat -c %s "$OUT/Brackenfold.dll") bytes), signed copy in $OUT/signed/"
cat "$OUT/BUILDINFO"
