#!/usr/bin/env bash
# Runs a Windows program under Wine, under Xvfb, in a throwaway Wine prefix,
# and passes its exit status through. It is the CTest emulator of the MinGW
# builds (cmake/mingw-common.cmake) and the way the Wine tests start programs.
#
#   wine-run.sh PROGRAM [ARGS...]      run in a fresh prefix, then remove it
#   wine-run.sh --new-prefix DIR       make DIR a fresh prefix (for a session of
#                                      several runs) and exit
#   BRACKENFOLD_WINEPREFIX=DIR wine-run.sh PROGRAM [ARGS...]
#                                      run in the prefix DIR and keep it
#   BRACKENFOLD_WINEPREFIX=DIR wine-run.sh --kill
#                                      end every Wine process of DIR (after a
#                                      run was killed from outside)
#
# A prefix is copied from a template that `wineboot -i` makes once per Wine
# version (about 10 s) and keeps in $BRACKENFOLD_CACHE; a copy takes a second.
# Every run ends with the prefix's wineserver gone, so the registry is on disk
# when the script returns and the next run may use another X display.
# PROGRAM may also be a Windows command such as `reg` or `cmd`.
set -euo pipefail

CACHE=${BRACKENFOLD_CACHE:-/var/cache/brackenfold}
if ! mkdir -p "$CACHE" 2>/dev/null || [ ! -w "$CACHE" ]; then
  CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brackenfold
  mkdir -p "$CACHE"
fi

# Debian installs the loaders as /usr/lib/wine/wine64 and /usr/lib/wine/wine
# (32-bit, package wine32:i386); "wine" is a wrapper that asks for the 32-bit
# one first. Prefixes are 64-bit (WoW64), so they run both kinds of program:
# a 32-bit PE file (such as the product, Brackenfold.dll, and its i686 test
# programs) runs under the 32-bit loader, everything else (the 64-bit build,
# Windows commands such as `reg`) under the 64-bit one.
WINE=${BRACKENFOLD_WINE:-}
if [ -z "$WINE" ]; then
  for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then WINE=$(command -v "$w"); break; fi
  done
fi
[ -n "$WINE" ] || { echo "wine-run: no Wine found (run scripts/install-deps.sh)" >&2; exit 127; }
WINE32=${BRACKENFOLD_WINE32:-}
if [ -z "$WINE32" ]; then
  for w in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
    if [ -x "$w" ]; then WINE32=$w; break; fi
  done
fi
WINESERVER=${BRACKENFOLD_WINESERVER:-}
if [ -z "$WINESERVER" ]; then
  for w in wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
    if command -v "$w" >/dev/null 2>&1; then WINESERVER=$(command -v "$w"); break; fi
  done
fi

# is_pe32 FILE: true when FILE is a PE image for i386 (machine 0x14c).
is_pe32() {
  [ -f "$1" ] || return 1
  [ "$(head -c 2 "$1" 2>/dev/null)" = MZ ] || return 1
  local pe machine
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ -n "$pe" ] || return 1
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
  [ "$machine" = 014c ]
}

export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers: nothing here needs .NET or HTML. No winedbg:
# a crashing program then just ends with an error status, where the debugger
# would wait for a user that Xvfb does not have.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}
export WINESERVER
unset DISPLAY

wine_version=$("$WINE" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')
# A prefix made while 32-bit Wine was missing cannot run 32-bit programs.
[ -n "$WINE32" ] && wine_version=$wine_version-wow64
TEMPLATE=$CACHE/wineprefix-template-$wine_version

make_template() {
  [ -e "$TEMPLATE/.ready" ] && return 0
  # Several tests may start at once: one makes the template, the rest wait.
  exec 9>"$CACHE/wineprefix-template.lock"
  flock 9
  if [ ! -e "$TEMPLATE/.ready" ]; then
    local tmp="$TEMPLATE.tmp.$$"
    rm -rf "$tmp"
    mkdir -p "$tmp"
    WINEPREFIX=$tmp WINELOADER=$WINE "$WINE" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$tmp "$WINESERVER" -w || true
    if [ ! -e "$tmp/system.reg" ]; then
      echo "wine-run: wineboot could not make a prefix" >&2
      rm -rf "$tmp"
      exit 127
    fi
    rm -rf "$TEMPLATE"
    mv "$tmp" "$TEMPLATE"
    touch "$TEMPLATE/.ready"
  fi
  flock -u 9
  exec 9>&-
}

new_prefix() {
  make_template
  rm -rf "$1"
  mkdir -p "$(dirname "$1")"
  cp -a "$TEMPLATE" "$1"
  rm -f "$1/.ready"
}

if [ "${1:-}" = "--new-prefix" ]; then
  [ $# -eq 2 ] || { echo "usage: wine-run.sh --new-prefix DIR" >&2; exit 2; }
  new_prefix "$2"
  exit 0
fi
if [ "${1:-}" = "--kill" ]; then
  [ -n "${BRACKENFOLD_WINEPREFIX:-}" ] || { echo "wine-run: --kill needs BRACKENFOLD_WINEPREFIX" >&2; exit 2; }
  WINEPREFIX=$BRACKENFOLD_WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1 || true
  exit 0
fi
[ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }

if [ -n "${BRACKENFOLD_WINEPREFIX:-}" ]; then
  prefix=$BRACKENFOLD_WINEPREFIX
  [ -e "$prefix/system.reg" ] || new_prefix "$prefix"
  keep=1
else
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/bf-wine.XXXXXX")
  new_prefix "$prefix"
  keep=0
fi
export WINEPREFIX=$prefix

loader=$WINE
if is_pe32 "$1"; then
  [ -n "$WINE32" ] || { echo "wine-run: $1 is a 32-bit program and 32-bit Wine is missing (run scripts/install-deps.sh)" >&2; exit 127; }
  loader=$WINE32
fi
# Wine starts further processes through WINELOADER (adding or dropping "64"
# for the other kind).
export WINELOADER=$loader

cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  [ "$keep" = 1 ] || rm -rf "$prefix"
}
trap cleanup EXIT

# -a picks a free display; starting from one drawn from the PID keeps
# parallel tests from racing for the same number. The prefix's wineserver is
# ended while the X server still runs, so Wine's desktop process does not
# complain about a lost display.
set +e
xvfb-run -a -n $((100 + $$ % 3000)) -s "-screen 0 1024x768x24 -nolisten tcp" \
  bash -c '"$0" "$@"; s=$?; "$WINESERVER" -k >/dev/null 2>&1; "$WINESERVER" -w >/dev/null 2>&1; exit $s' \
  "$loader" "$@"
status=$?
set -e
exit $status
