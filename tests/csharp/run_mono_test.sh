#!/usr/bin/env bash
# The C# binding on Mono against the Linux library: the numbered pictures written by the helper,
# the Mono program driving vistrel through VistrelHost.cs, then the helper reading the clip back.
#   run_mono_test.sh BIN_DIR WORK_DIR
set -euo pipefail
bin=$1
work=$2
rm -rf "$work"
mkdir -p "$work/out"
"$bin/csharp_test_helper" frames "$work/frames.raw" 320 180 90
# DllImport("vistrel_host") finds libvistrel_host.so through the library path; vistrel beside it.
VISTREL_SOFTWARE_ENCODER=1 LD_LIBRARY_PATH="$bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "${MONO:-mono}" "$bin/VistrelHostTest.exe" "$work/frames.raw" "$work/out" 320 180 90
"$bin/csharp_test_helper" check "$work/out" 320 180 90
rm -rf "$work"
