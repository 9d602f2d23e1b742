#!/bin/sh
# Readies Wine for the Windows program's tests: makes the prefix $WINEPREFIX
# on first use (about half a minute), then keeps one wineserver up, so that
# each run of the program costs tens of milliseconds instead of a second.
# The server goes by itself a minute after its last client, or at once with
# wine-down.sh.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix to use}"
export WINEDEBUG="${WINEDEBUG:--all}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  echo "making the Wine prefix $WINEPREFIX"
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init
  # Let the server that made the prefix finish and save it.
  wineserver -w
fi
# A server still up from an earlier run would keep the persistent one out.
wineserver -k 2>/dev/null || true
wineserver -w
# The server and the Wine processes it keeps outlive this script: none may
# hold its output open, or whoever reads that output waits for them.
wineserver -p60 </dev/null >/dev/null 2>&1
# Only a prefix that answers is ready: run one built-in program through it.
if ! wine cmd /c exit 0 </dev/null >"$WINEPREFIX/wine-up.log" 2>&1; then
  cat "$WINEPREFIX/wine-up.log"
  exit 1
fi
