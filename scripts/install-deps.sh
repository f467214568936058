#!/usr/bin/env bash
# Installs everything the builds and tests need, idempotently:
#  - Debian packages (native toolchain, zlib, Crypto++, GoogleTest, Google Benchmark,
#    CLI11, both MinGW-w64 g++ posix variants, MinGW zlib, Wine, Xvfb);
#  - 32-bit Wine (the i386 architecture and wine32), which runs the product DLL;
#  - Crypto++ cross-built for both MinGW targets from Debian's own source package,
#    with its CPU-specific code chosen at run time, cached outside the work tree ($BRACKENFOLD_CACHE, default /var/cache/brackenfold)
#    so a machine builds it once.
set -euo pipefail

CACHE=${BRACKENFOLD_CACHE:-/var/cache/brackenfold}
PKGS=(cmake make g++ clang lld llvm zlib1g-dev libcrypto++-dev libgtest-dev libgmock-dev
      libbenchmark-dev libcli11-dev dpkg-dev
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
      libz-mingw-w64-dev wine wine64 xvfb xauth clang-format clang-tidy cppcheck
      libclang-rt-14-dev nlohmann-json3-dev help2man osslsigncode openssl
      python3)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# 32-bit Wine: the product DLL is a 32-bit program.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
  echo "install-deps: installing wine32:i386"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi

# The MinGW compilers must use the posix threads variant.
for t in i686 x86_64; do
  for tool in gcc g++; do
    if [ -e "/usr/bin/$t-w64-mingw32-$tool-posix" ]; then
      as_root update-alternatives --set "$t-w64-mingw32-$tool" "/usr/bin/$t-w64-mingw32-$tool-posix" >/dev/null 2>&1 || true
    fi
  done
done

# Crypto++ for MinGW, from Debian's source package of the same version as the native one.
CRYPTOPP_VERSION=$(dpkg-query -W -f='${source:Version}' libcrypto++-dev)
# The stamp names the build flavour, so a change of flags rebuilds.
FLAVOUR=cpu-dispatch-gc-sections
CXXFLAGS_CRYPTOPP="-DNDEBUG -O2 -ffunction-sections -fdata-sections"
STAMP="$CACHE/cryptopp-$CRYPTOPP_VERSION-$FLAVOUR.done"
if [ ! -e "$STAMP" ]; then
  as_root mkdir -p "$CACHE"
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    as_root sh -c 'sed -e "s/^Types: deb$/Types: deb-src/" /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/brackenfold-src.sources'
    as_root apt-get update -qq
  fi
  work="$CACHE/src"
  as_root rm -rf "$work" && as_root mkdir -p "$work"
  (cd "$work" && as_root apt-get source -qq "libcrypto++=$CRYPTOPP_VERSION" >/dev/null 2>&1 \
     || as_root apt-get source -qq libcrypto++ >/dev/null)
  src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -n 1)
  for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    echo "install-deps: building Crypto++ for $triple (a few minutes, once per machine)"
    b="$CACHE/build-$triple"
    as_root rm -rf "$b" && as_root cp -a "$src" "$b"
    (cd "$b" && as_root make -s -j"$(nproc)" -f GNUmakefile static \
        CXX="$triple-g++" AR="$triple-ar" RANLIB="$triple-ranlib" \
        CXXFLAGS="$CXXFLAGS_CRYPTOPP" >/dev/null 2>"$b.log") \
      || { echo "install-deps: Crypto++ build for $triple failed, see $b.log" >&2; exit 1; }
    dest="$CACHE/$triple"
    as_root rm -rf "$dest" && as_root mkdir -p "$dest/include/cryptopp" "$dest/lib"
    as_root cp "$b"/*.h "$dest/include/cryptopp/"
    lib=$(ls "$b"/libcrypto*.a | head -n 1)
    as_root cp "$lib" "$dest/lib/libcryptopp.a"
    as_root rm -rf "$b"
  done
  as_root rm -rf "$work"
  as_root touch "$STAMP"
fi
echo "install-deps: ready (Crypto++ for MinGW in $CACHE)"
