#!/usr/bin/env bash
# One Wise_DoInstall through the test host under Wine, for scripts/bench.sh:
#
#   host_install.sh LOADER HOST.exe PLUGIN.dll DATA_DIR BLOB_LIST LIBRARY
#
# LOADER is the Wine loader for HOST.exe (32- or 64-bit); the last three are
# Windows paths, as the host passes them to Wise_DoInstall. Wine's
# environment (WINEPREFIX, DISPLAY, ...) is the caller's. Exit status 0 only
# when the call returned 0; otherwise the host's output goes to stdout.
set -uo pipefail
out=$("$1" "$2" --timeout 3600 "${@:3}" | tr -d '\r')
grep -qx 'RESULT 0' <<<"$out" && exit 0
printf '%s\n' "$out"
exit 1
