#!/usr/bin/env sh
# host_c_run on Linux: in a fresh folder, on the stand-in's software encoder.
#   host_c_run.sh PROGRAM WORK_DIR
set -eu
rm -rf "$2"
mkdir -p "$2"
VISTREL_SOFTWARE_ENCODER=1 "$1" "$2" 1280 720 90
rm -rf "$2"
