#!/bin/sh
# Stops the wineserver that wine-up.sh kept up for the prefix $WINEPREFIX.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix to use}"
wineserver -k || true
